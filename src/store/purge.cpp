#include "store/purge.h"

#include "store/database.h"
#include "store/schema.h"

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
    : QObject(parent), m_database(std::move(database)), m_tables(std::move(tables)),
      m_wholeAtStart(std::move(wholeAtStart))
{
}

TablePurge::~TablePurge()
{
    m_stop = true;
    if (m_thread) m_thread->wait();
}

bool TablePurge::running() const { return m_thread && m_thread->isRunning(); }

void TablePurge::start()
{
    if (m_thread) return;
    m_thread.reset(QThread::create([this] { run(); }));
    m_thread->setObjectName(QStringLiteral("purge"));
    connect(m_thread.get(), &QThread::finished, this, [this] { emit finished(m_error); });
    m_thread->start();
}

void TablePurge::run()
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
    try {
        DatabaseOptions options;
        options.busyTimeoutMs = kRetryMs;
        options.patienceMs = 0;
        Database db(m_database, Database::uniqueName(QStringLiteral("purge")), options);
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
        for (int t = 0; t < m_tables.size(); ++t) {
            const QString sql = QStringLiteral("delete from %1 where %2 >= ? and %2 <= ?")
                                    .arg(m_tables[t], keys[t]);
            for (qint64 low = bounds[std::size_t(t)].low; low <= bounds[std::size_t(t)].high;
                 low += kBatchRows) {
                const qint64 high = std::min(low + kBatchRows - 1, bounds[std::size_t(t)].high);
                if (!patiently([&] { db.transaction([&] { db.execute(sql, {low, high}); }); }))
                    return;
                if (m_stop) return;
                QThread::msleep(kPauseMs);
            }
        }
    } catch (const DbError& e) {
        m_error = e.userText();
    }
}

}  // namespace sentrok
