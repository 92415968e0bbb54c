#pragma once

#include "web/statussnapshot.h"

#include <QMutex>
#include <QObject>

#include <functional>
#include <memory>

namespace sentrok::web {

// What the web server asks of the monitoring. Every function may be called from the server's
// thread while the monitoring runs on another.
class StatusProvider {
public:
    virtual ~StatusProvider() = default;

    // The newest snapshot; null until the first has been made.
    virtual std::shared_ptr<const StatusSnapshot> snapshot() const = 0;
    // When the monitoring was last looked at successfully (ms since the epoch; -1: never), which
    // may be later than the snapshot when nothing had changed.
    virtual qint64 lastLookMs() const = 0;

    // A host's history and its events need the database: they are answered later, through `done`
    // on `context`'s thread (and never once `context` is gone). False, and `done` never called,
    // when too many questions wait already.
    virtual bool hostReport(const HostQuery& query, QObject* context,
                            std::function<void(HostReport)> done) = 0;
    virtual bool eventsAfter(qint64 after, int limit, QObject* context,
                             std::function<void(EventsAnswer)> done) = 0;
};

// The newest snapshot, handed over between threads: publishing replaces it, readers keep the
// one they took for as long as they need it.
class SnapshotSlot {
public:
    std::shared_ptr<const StatusSnapshot> get() const
    {
        QMutexLocker lock(&m_mutex);
        return m_snapshot;
    }
    // Numbers the snapshot after the one before.
    void publish(std::shared_ptr<StatusSnapshot> snapshot)
    {
        QMutexLocker lock(&m_mutex);
        snapshot->generation = ++m_generation;
        m_snapshot = std::move(snapshot);
    }

private:
    mutable QMutex m_mutex;
    std::shared_ptr<const StatusSnapshot> m_snapshot;
    quint64 m_generation = 0;
};

}  // namespace sentrok::web
