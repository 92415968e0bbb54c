#pragma once

// What the benchmarks share: a meter of the event loop's stalls, the process's memory, and
// stand-ins for the sound and the message boxes that a benchmark has no use for.

#include "alerts/sound.h"
#include "common/messages.h"
#include "store/database.h"

#include <QElapsedTimer>
#include <QFile>
#include <QTextStream>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <ctime>
#include <memory>

namespace sentrok::bench {

// The worst lateness of a 10 ms timer while it runs: how long the event loop was kept from its
// work. On a machine shared with other work that includes the time the thread waited for a
// core; the CPU time the thread spent between two ticks does not, and bounds from above the
// longest turn of the loop (no turn is cut by a tick).
class StallMeter {
public:
    StallMeter()
    {
        m_timer.setTimerType(Qt::PreciseTimer);
        QObject::connect(&m_timer, &QTimer::timeout, [this] {
            const qint64 now = m_clock.nsecsElapsed(), cpu = threadCpuNs();
            if (now - m_lastNs - 10'000'000 > m_worstNs) {
                m_worstNs = now - m_lastNs - 10'000'000;
                m_worstAtNs = now;
            }
            m_worstCpuNs = std::max(m_worstCpuNs, cpu - m_lastCpuNs);
            m_lastNs = now;
            m_lastCpuNs = cpu;
            ++m_ticks;
        });
    }
    void start()
    {
        m_worstNs = 0;
        m_worstCpuNs = 0;
        m_worstAtNs = 0;
        m_ticks = 0;
        m_clock.start();
        m_lastNs = 0;
        m_lastCpuNs = threadCpuNs();
        m_timer.start(10);
    }
    // The most CPU time the thread spent between two ticks.
    double worstCpuMs() const { return double(m_worstCpuNs) / 1e6; }
    double stopMs()
    {
        m_timer.stop();
        return worstMs();
    }
    double worstMs() const { return double(m_worstNs) / 1e6; }
    // When the worst stall ended, in ms from start().
    double worstAtMs() const { return double(m_worstAtNs) / 1e6; }
    int ticks() const { return m_ticks; }

private:
    static qint64 threadCpuNs()
    {
        timespec ts{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
        return qint64(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
    }

    QTimer m_timer;
    QElapsedTimer m_clock;
    qint64 m_lastNs = 0, m_worstNs = 0, m_lastCpuNs = 0, m_worstCpuNs = 0, m_worstAtNs = 0;
    int m_ticks = 0;
};

// How long a pass's recording would wait on background work: another connection, on a thread of
// its own, writes a small transaction every 20 ms as the recorder does (the write lock from its
// start), trying again at once while the lock is held elsewhere, and keeps the longest time one
// took from its first attempt to its commit.
class WriteWaitMeter {
public:
    explicit WriteWaitMeter(QString location) : m_location(std::move(location)) {}
    ~WriteWaitMeter() { stop(); }

    void start()
    {
        m_stop = false;
        m_worstNs = 0;
        m_writes = 0;
        m_thread.reset(QThread::create([this] { run(); }));
        m_thread->start();
    }
    // The longest write, in ms.
    double stopMs()
    {
        m_stop = true;
        if (m_thread) m_thread->wait();
        m_thread.reset();
        return double(m_worstNs) / 1e6;
    }
    void stop() { stopMs(); }
    int writes() const { return m_writes; }

private:
    void run()
    {
        sentrok::Database db(m_location, sentrok::Database::uniqueName(QStringLiteral("writer")),
                             {.busyTimeoutMs = 1, .patienceMs = 0});
        while (!m_stop) {
            QElapsedTimer took;
            took.start();
            for (;;) {
                try {
                    db.transaction([&] {
                        db.execute(
                            QStringLiteral("update options set refresh_time = refresh_time"));
                    });
                    break;
                } catch (const sentrok::DbError& e) {
                    if (!e.isBusy() || m_stop) return;
                }
            }
            m_worstNs = std::max<qint64>(m_worstNs, took.nsecsElapsed());
            ++m_writes;
            QThread::msleep(20);
        }
    }

    QString m_location;
    std::unique_ptr<QThread> m_thread;
    std::atomic<bool> m_stop{false};
    std::atomic<qint64> m_worstNs{0};
    std::atomic<int> m_writes{0};
};

// A field of /proc/self/status in kB ("VmRSS:", "RssAnon:", "VmHWM:"...); -1 when unknown.
inline long statusKb(const char* key)
{
    QFile f(QStringLiteral("/proc/self/status"));
    if (!f.open(QIODevice::ReadOnly)) return -1;
    for (const QByteArray& line : f.readAll().split('\n'))
        if (line.startsWith(key))
            return line.mid(qstrlen(key)).trimmed().split(' ').first().toLong();
    return -1;
}

class SilentPlayer final : public SoundPlayer {
public:
    void play(const QString&) override {}
};

// Answers every question with Yes; notices go to standard output.
class NoBoxes final : public MessageBoxes {
public:
    MsgAnswer ask(const Message&) override { return MsgAnswer::Yes; }
    void tell(const Message& m) override { QTextStream(stdout) << "message: " << m.text << "\n"; }
};

}  // namespace sentrok::bench
