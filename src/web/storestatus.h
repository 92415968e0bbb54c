#pragma once

#include "web/statusprovider.h"

#include "store/dbworker.h"

#include <QMutex>
#include <QObject>
#include <QStringList>
#include <QTimer>

#include <atomic>
#include <memory>

namespace sentrok {
class Clock;
}

namespace sentrok::web {

class StatusBuilder;

struct StoreStatusOptions {
    int pollMs = 1500;           // how often the database is asked whether there is news
    int checksEveryMs = 10'000;  // checks alone (a pass under way, no change) refresh this often
    int quietEveryMs = 60'000;   // and time alone (the strips move on) this often
    int maxQueued = 8;           // questions of the web server waiting at most
    int recentEvents = 500;      // events kept in the snapshot
};

// The status of the monitoring as the database holds it, for any process, whether it runs the
// passes or follows another: a thread of its own with a connection of its own looks at the
// database every pollMs (and when PostgreSQL says there is news) with three small statements, and
// when a pass has ended or recorded a change of state it makes a new snapshot. Making one reads
// the host list, the outages of the last 30 days and only the log rows and events written since
// the last; counters, the last reply and the hour strips are carried on in memory. The first
// snapshot reads every host's totals once.
//
// A host's history and the events before the snapshot's newest are asked of the same thread, a
// few at a time (maxQueued); nothing waits on the caller's thread.
class StoreStatusProvider final : public QObject, public StatusProvider {
    Q_OBJECT
public:
    StoreStatusProvider(const QString& database, const Clock& clock,
                        StoreStatusOptions options = {}, QObject* parent = nullptr);
    ~StoreStatusProvider() override;

    // Makes the first snapshot and goes on watching.
    void start();
    // A new snapshot now, whether or not the database shows news: after a pass here has ended,
    // or a fact below has changed.
    void refresh();
    // What only the program knows: whether this process runs the passes, and the conditions that
    // keep checks from being recorded (a lock held by another program, a database file gone).
    void setMonitoring(bool monitoring);
    void setProblems(const QStringList& problems);

    std::shared_ptr<const StatusSnapshot> snapshot() const override { return m_slot.get(); }
    qint64 lastLookMs() const override { return m_lastLook.load(); }
    bool hostReport(const HostQuery& query, QObject* context,
                    std::function<void(HostReport)> done) override;
    bool eventsAfter(qint64 after, int limit, QObject* context,
                     std::function<void(EventsAnswer)> done) override;

signals:
    // A snapshot has been published (on this object's thread).
    void published(quint64 generation);
    // Making one failed: the database's words, told once for each new kind of failure.
    void failed(const QString& error);

private:
    void look(bool force);
    bool admit();

    const Clock& m_clock;
    StoreStatusOptions m_options;
    SnapshotSlot m_slot;
    std::atomic<qint64> m_lastLook{-1};
    std::atomic<int> m_queued{0};
    std::atomic<bool> m_looking{false};  // a look of the timer's waits on the worker thread
    std::atomic<bool> m_forced{false};   // one that must publish waits there
    QTimer m_poll;
    mutable QMutex m_factsMutex;
    bool m_monitoring = false;
    QStringList m_problems;
    QString m_lastError;                       // used on the worker thread only
    std::unique_ptr<StatusBuilder> m_builder;  // used on the worker thread only
    bool m_listening = false;                  // used on the worker thread only
    // Last: it stops first, before anything its jobs use is gone.
    std::unique_ptr<DbWorker> m_thread;
};

}  // namespace sentrok::web
