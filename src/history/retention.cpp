#include "history/retention.h"

#include "common/clock.h"
#include "common/datetext.h"
#include "store/database.h"
#include "store/dbworker.h"
#include "store/schema.h"

#include <QElapsedTimer>
#include <QTimer>

namespace sentrok {

int logKeepDays(Database& db)
{
    Result r = db.execute(QStringLiteral("SELECT log_keep_days FROM options"));
    return r.eof() ? 0 : std::max(0, r.field(0).toInt());
}

void setLogKeepDays(Database& db, int days)
{
    db.execute(QStringLiteral("UPDATE options SET log_keep_days = ?"), {std::max(0, days)});
}

bool deleteOldLogRows(Database& db, qint64 host, const QString& before, int limit)
{
    // By the host-and-time index: the oldest rows of one host, never a scan of the whole log.
    const QString key = rowKey(db, QStringLiteral("log"));
    db.execute(QStringLiteral("DELETE FROM log WHERE %1 IN (SELECT %1 FROM log WHERE id_ip = ? "
                              "AND dt < ? ORDER BY dt LIMIT ?)")
                   .arg(key),
               {host, before, limit});
    Result r = db.execute(QStringLiteral("SELECT 1 FROM log WHERE id_ip = ? AND dt < ? LIMIT 1"),
                          {host, before});
    return !r.eof();
}

LogRetention::LogRetention(const QString& file, const Clock& clock, QObject* parent)
    : QObject(parent),
      m_clock(clock),
      m_thread(std::make_unique<DbWorker>(
          file, DbWorker::Options{.connectionBase = QStringLiteral("retention"),
                                  .nice = DbWorker::kBackgroundNice}))
{
}

LogRetention::~LogRetention() = default;

void LogRetention::runNow()
{
    if (m_running) return;
    m_running = true;
    const QDateTime now = m_clock.now();
    m_thread->run<QString>(
        this,
        [now](Database& db) {
            const int days = logKeepDays(db);
            return days > 0 ? storedDateText(now.addDays(-days)) : QString();
        },
        [this](QString before) {
            if (before.isEmpty()) {
                m_running = false;
                emit swept(0);
                return;
            }
            sweep(0, before, 0);
        },
        [this](const DbError& e) {
            m_running = false;
            emit failed(e.userText());
        });
}

// One batch on the worker, then back here to wait a little and go on: between batches the
// recording and the windows get the file.
void LogRetention::sweep(qint64 afterHost, const QString& before, qint64 batches)
{
    struct Step {
        qint64 host = 0;  // 0: no host left
        bool more = false;
        qint64 tookNs = 0;
    };
    const qint64 limit = m_batch.size();
    m_thread->run<Step>(
        this,
        [afterHost, before, limit](Database& db) {
            QElapsedTimer took;
            took.start();
            Step s;
            Result r = db.execute(QStringLiteral("SELECT min(id) FROM address WHERE id >= ?"),
                                  {afterHost});
            if (r.field(0).isNull()) return s;
            s.host = r.field(0).toLongLong();
            r.close();
            s.more = deleteOldLogRows(db, s.host, before, int(limit));
            s.tookNs = took.nsecsElapsed();
            return s;
        },
        [this, before, batches, limit](Step s) {
            if (!s.host) {
                m_running = false;
                emit swept(batches);
                return;
            }
            // A batch that found fewer rows than it could take tells nothing of the rate.
            if (s.more) m_batch.done(limit, s.tookNs);
            const qint64 next = s.more ? s.host : s.host + 1;
            QTimer::singleShot(kPauseMs, this,
                               [this, next, before, n = batches + 1] { sweep(next, before, n); });
        },
        [this](const DbError& e) {
            m_running = false;
            emit failed(e.userText());
        });
}

}  // namespace sentrok
