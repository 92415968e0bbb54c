#pragma once

#include "store/batchsizer.h"

#include <QObject>
#include <QString>

#include <memory>

namespace sentrok {

class Clock;
class Database;
class DbWorker;

// How many days of detailed log rows are kept; 0 keeps them for ever. Totals and outages
// are always kept, so the figures of any period stay exact.
int logKeepDays(Database& db);
void setLogKeepDays(Database& db, int days);

// Deletes at most `limit` log rows of one host dated before `before`; true when older rows of
// the host are left.
bool deleteOldLogRows(Database& db, qint64 host, const QString& before, int limit);

// Thins the log out to the kept days on a thread and connection of its own, a small batch at
// a time with a pause between, so that no window and no recording waits on it for long: each
// batch is sized to hold the database for about BatchSizer's time.
class LogRetention final : public QObject {
    Q_OBJECT
public:
    static constexpr qint64 kFirstBatch = 1000;
    static constexpr qint64 kMostBatch = 20000;
    static constexpr int kPauseMs = 10;

    LogRetention(const QString& file, const Clock& clock, QObject* parent = nullptr);
    ~LogRetention() override;

    // Starts a sweep now, unless one is under way.
    void runNow();
    bool running() const { return m_running; }

signals:
    // A sweep has ended after so many batches, or went wrong.
    void swept(qint64 batches);
    void failed(const QString& message);

private:
    void sweep(qint64 afterHost, const QString& before, qint64 batches);

    const Clock& m_clock;
    bool m_running = false;
    BatchSizer m_batch{kFirstBatch, 1, kMostBatch};
    std::unique_ptr<DbWorker> m_thread;
};

}  // namespace sentrok
