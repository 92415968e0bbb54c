#pragma once

// What the benchmarks share: a meter of the event loop's stalls, the process's memory, and
// stand-ins for the sound and the message boxes that a benchmark has no use for.

#include "alerts/sound.h"
#include "common/messages.h"

#include <QElapsedTimer>
#include <QFile>
#include <QTextStream>
#include <QTimer>

#include <algorithm>
#include <ctime>

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
            m_worstNs = std::max(m_worstNs, now - m_lastNs - 10'000'000);
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
    qint64 m_lastNs = 0, m_worstNs = 0, m_lastCpuNs = 0, m_worstCpuNs = 0;
    int m_ticks = 0;
};

// A field of /proc/self/status in kB ("VmRSS:", "RssAnon:", "VmHWM:"...); -1 when unknown.
inline long statusKb(const char* key)
{
    QFile f(QStringLiteral("/proc/self/status"));
    if (!f.open(QIODevice::ReadOnly)) return -1;
    for (const QByteArray& line : f.readAll().split('\n'))
        if (line.startsWith(key)) return line.mid(qstrlen(key)).trimmed().split(' ').first().toLong();
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
