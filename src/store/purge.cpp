#include "store/purge.h"

#include "store/batchsizer.h"
#include "store/database.h"
#include "store/dbworker.h"
#include "store/schema.h"

#include <QElapsedTimer>
#include <QThread>

#include <vector>

namespace sentrok {

namespace {

// After a batch: lets a writer waiting for the lock have it before the next one.
constexpr int kPauseMs = 10;
// Between attempts while another program holds the lock.
constexpr int kRetryMs = 100;

}  // namespace

TablePurge::TablePurge(QString database, QStringList tables, QStringList wholeAtStart,
                       QObject* parent)
    : QObject(parent),
      m_database(std::move(database)),
      m_tables(std::move(tables)),
      m_wholeAtStart(std::move(wholeAtStart))
{
}

TablePurge::~TablePurge()
{
    m_stop = true;
    m_worker.reset();  // waits for the batch under way
}

bool TablePurge::running() const { return m_running; }

void TablePurge::start()
{
    if (m_worker) return;
    m_running = true;
    m_worker = std::make_unique<DbWorker>(
        m_database, DbWorker::Options{.connectionBase = QStringLiteral("purge"),
                                      .database = {.busyTimeoutMs = kRetryMs, .patienceMs = 0}});
    m_worker->post([this] {
        QString error;
        try {
            run(m_worker->db());
        } catch (const DbError& e) {
            error = e.userText();
        }
        QMetaObject::invokeMethod(
            this,
            [this, error] {
                m_running = false;
                emit finished(error);
            },
            Qt::QueuedConnection);
    });
}

void TablePurge::run(Database& db)
{
    // Tries `fn` until no other program holds the lock; false when told to stop meanwhile.
    const auto patiently = [this](auto&& fn) {
        for (;;) {
            try {
                fn();
                return true;
            } catch (const DbError& e) {
                if (!e.isBusy()) throw;
            }
            if (m_stop) return false;
            QThread::msleep(kRetryMs);
        }
    };
    struct Bounds {
        qint64 low = 0, high = -1;
    };
    std::vector<Bounds> bounds(std::size_t(m_tables.size()));
    QStringList keys;
    const bool taken = patiently([&] {
        keys.clear();
        db.transaction([&] {
            for (int t = 0; t < m_tables.size(); ++t) {
                keys << rowKey(db, m_tables[t]);
                Result r = db.execute(QStringLiteral("select min(%1), max(%1) from %2")
                                          .arg(keys.last(), m_tables[t]));
                if (!r.field(0).isNull())
                    bounds[std::size_t(t)] = {r.field(0).toLongLong(), r.field(1).toLongLong()};
            }
            for (const QString& table : m_wholeAtStart)
                db.execute(QStringLiteral("delete from %1").arg(table));
        });
    });
    if (!taken) return;
    emit boundsTaken();
    BatchSizer batch(kFirstBatchRows, 1, kMostBatchRows);
    for (int t = 0; t < m_tables.size(); ++t) {
        const QString sql =
            QStringLiteral("delete from %1 where %2 >= ? and %2 <= ?").arg(m_tables[t], keys[t]);
        const Bounds& b = bounds[std::size_t(t)];
        for (qint64 low = b.low; low <= b.high;) {
            const qint64 high = std::min(low + batch.size() - 1, b.high);
            QElapsedTimer took;
            took.start();
            if (!patiently([&] { db.transaction([&] { db.execute(sql, {low, high}); }); })) return;
            batch.done(high - low + 1, took.nsecsElapsed());
            low = high + 1;
            if (m_stop) return;
            QThread::msleep(kPauseMs);
        }
    }
}

}  // namespace sentrok
