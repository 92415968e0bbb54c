#include "monitor/recorder.h"

#include "common/conversions.h"
#include "common/datetext.h"
#include "store/database.h"
#include "store/totals.h"
#include "store/lease.h"

#include <QCollator>
#include <QElapsedTimer>
#include <QHash>
#include <QLocale>
#include <QSet>
#include <QTimer>

#include <algorithm>
#include <deque>

namespace sentrok {

namespace {

// Rows written by one multi-row statement.
constexpr int kRowsPerStatement = 200;
// Between two attempts at a batch while another program holds the lock.
constexpr int kRetryMs = 100;
// A wait this long is shown to the user.
constexpr qint64 kTellAfterMs = 1000;
// Between attempts at writing a request for a pass that the database could not take.
constexpr int kRequestRetryMs = 1000;

// "(?,?),(?,?)" for `rows` rows of `columns` values.
QString valueRows(int rows, int columns)
{
    QString one = QStringLiteral("(?");
    for (int c = 1; c < columns; ++c) one += QStringLiteral(",?");
    one += u')';
    QStringList all;
    all.reserve(rows);
    for (int r = 0; r < rows; ++r) all << one;
    return all.join(u',');
}

// "?,?,?" for n values.
QString marks(int n)
{
    QString out;
    out.reserve(2 * n);
    for (int i = 0; i < n; ++i) out += i ? QStringLiteral(",?") : QStringLiteral("?");
    return out;
}

template <typename T, typename Fn>
void inChunks(const std::vector<T>& items, Fn&& fn)
{
    for (std::size_t at = 0; at < items.size(); at += kRowsPerStatement) {
        const std::size_t end = std::min(items.size(), at + std::size_t(kRowsPerStatement));
        fn(at, end);
    }
}

bool failed(const QString& result) { return toInt32(result, QLocale::c()).value_or(-1) < 0; }

// One check as a unit of its own: the log row, and the outage opened or closed when the state
// changed. The outage belongs to the first host record with the address.
RecordResult recordOne(Database& db, const CheckRecord& c)
{
    RecordResult out;
    try {
        db.savepoint([&] {
            db.execute(QStringLiteral(
                           "insert into log (id_ip,time_echo,time_wait,dt) values (?,?,?,?)"),
                       {c.hostId, c.result, c.vw, c.when});
            addChecksToTotals(db, {{c.hostId, c.when, toInt32(c.result, QLocale::c()).value_or(-1)}});
            Result open = db.execute(
                QStringLiteral("SELECT noconnect.id as id FROM address INNER JOIN noconnect ON "
                               "address.id = noconnect.id_ip WHERE address.ip = ? AND "
                               "noconnect.dt2 = ? ORDER BY noconnect.id"),
                {c.ip, kZeroDate});
            const bool down = !open.eof();
            const QVariant outageId = down ? open.field(0) : QVariant();
            open.close();
            if (!failed(c.result) && down) {
                db.execute(QStringLiteral("update noconnect set dt2=? where id=?"),
                           {c.when, outageId});
                out.change = Change::Up;
            } else if (failed(c.result) && !down) {
                Result first = db.execute(
                    QStringLiteral("SELECT id from address where ip=? ORDER BY id"), {c.ip});
                const QVariant hostId = first.field(0);
                first.close();
                db.execute(QStringLiteral("insert into noconnect (id_ip,dt1) values (?,?)"),
                           {hostId, c.when});
                out.change = Change::Down;
            }
        });
    } catch (const DbError& e) {
        if (e.isBusy() || e.isGone()) throw;
        out.change = Change::None;
        out.error = e.userText();
    }
    return out;
}

// The whole batch in a few statements. Throws DbError when any of them fails; the caller then
// falls back to recordOne for each check.
std::vector<RecordResult> recordBatch(Database& db, const std::vector<CheckRecord>& checks)
{
    std::vector<RecordResult> out(checks.size());
    inChunks(checks, [&](std::size_t at, std::size_t end) {
        QVariantList values;
        values.reserve(int(end - at) * 4);
        for (std::size_t i = at; i < end; ++i)
            values << checks[i].hostId << checks[i].result << checks[i].vw << checks[i].when;
        db.execute(QStringLiteral("insert into log (id_ip,time_echo,time_wait,dt) values ") +
                       valueRows(int(end - at), 4),
                   values);
    });
    // The hourly and daily totals follow the log in the same transaction.
    std::vector<RecordedCheck> totals;
    totals.reserve(checks.size());
    for (const CheckRecord& c : checks)
        totals.push_back({c.hostId, c.when, toInt32(c.result, QLocale::c()).value_or(-1)});
    addChecksToTotals(db, totals);

    // The state of every address of the batch: its open outages, oldest first, and the first
    // host record that carries it.
    std::vector<QString> ips;
    {
        QSet<QString> seen;
        for (const CheckRecord& c : checks)
            if (!seen.contains(c.ip)) {
                seen.insert(c.ip);
                ips.push_back(c.ip);
            }
    }
    QHash<QString, std::deque<qint64>> open;
    QHash<QString, qint64> first;
    inChunks(ips, [&](std::size_t at, std::size_t end) {
        QVariantList values{kZeroDate};
        for (std::size_t i = at; i < end; ++i) values << ips[i];
        for (Result r = db.execute(
                 QStringLiteral("SELECT address.ip, noconnect.id FROM address INNER JOIN "
                                "noconnect ON address.id = noconnect.id_ip WHERE noconnect.dt2 = ? "
                                "AND address.ip IN (") +
                     marks(int(end - at)) + QStringLiteral(") ORDER BY noconnect.id"),
                 values);
             !r.eof(); r.moveNext())
            open[r.field(0).toString()].push_back(r.field(1).toLongLong());
        values.removeFirst();
        for (Result r = db.execute(QStringLiteral("SELECT ip, min(id) FROM address WHERE ip IN (") +
                                       marks(int(end - at)) + QStringLiteral(") GROUP BY ip"),
                                   values);
             !r.eof(); r.moveNext())
            first.insert(r.field(0).toString(), r.field(1).toLongLong());
    });

    struct Closing {
        qint64 outage;
        QString when;
    };
    struct Opening {
        qint64 host;
        QString when;
    };
    std::vector<Closing> closings;
    std::vector<Opening> openings;
    for (std::size_t i = 0; i < checks.size(); ++i) {
        const CheckRecord& c = checks[i];
        std::deque<qint64>& outages = open[c.ip];
        if (!failed(c.result) && !outages.empty()) {
            closings.push_back({outages.front(), c.when});
            outages.pop_front();
            out[i].change = Change::Up;
        } else if (failed(c.result) && outages.empty()) {
            openings.push_back({first.value(c.ip), c.when});
            outages.push_back(0);  // open now; its id is the engine's, and no later check needs it
            out[i].change = Change::Down;
        }
    }
    inChunks(closings, [&](std::size_t at, std::size_t end) {
        QString cases, ids;
        QVariantList caseValues, idValues;
        for (std::size_t i = at; i < end; ++i) {
            cases += QStringLiteral(" WHEN ? THEN ?");
            caseValues << closings[i].outage << closings[i].when;
            idValues << closings[i].outage;
        }
        db.execute(QStringLiteral("update noconnect set dt2 = CASE id") + cases +
                       QStringLiteral(" END WHERE id IN (") + marks(int(end - at)) + u')',
                   caseValues + idValues);
    });
    inChunks(openings, [&](std::size_t at, std::size_t end) {
        QVariantList values;
        for (std::size_t i = at; i < end; ++i) values << openings[i].host << openings[i].when;
        db.execute(QStringLiteral("insert into noconnect (id_ip,dt1) values ") +
                       valueRows(int(end - at), 2),
                   values);
    });
    return out;
}

// A batch can be written in a few statements when no address comes twice in it (a second check of
// the same address would depend on the outage the first one opened) and every host has a record.
bool batchable(const std::vector<CheckRecord>& checks)
{
    QSet<QString> ips;
    for (const CheckRecord& c : checks) {
        if (ips.contains(c.ip)) return false;
        ips.insert(c.ip);
    }
    return true;
}

// The changes of state of a batch, for the windows that follow the monitoring from elsewhere.
void writeEvents(Database& db, qint64 passId, const std::vector<CheckRecord>& checks,
                 const std::vector<RecordResult>& results)
{
    std::vector<std::size_t> changed;
    for (std::size_t i = 0; i < results.size(); ++i)
        if (results[i].error.isEmpty() && results[i].change != Change::None) changed.push_back(i);
    inChunks(changed, [&](std::size_t at, std::size_t end) {
        QVariantList values;
        for (std::size_t k = at; k < end; ++k) {
            const CheckRecord& c = checks[changed[k]];
            const bool down = results[changed[k]].change == Change::Down;
            values << passId << c.hostId << (down ? QStringLiteral("down") : QStringLiteral("up"))
                   << c.when << c.result << c.vw
                   << (down && c.ancestor ? QVariant(c.ancestor)
                                          : QVariant(QMetaType::fromType<qint64>()));
        }
        db.execute(QStringLiteral("insert into events (pass_id,id_ip,kind,dt,time_echo,time_wait,"
                                  "ancestor) values ") +
                       valueRows(int(end - at), 7),
                   values);
    });
}

// The lease went while a transaction was under way: what it wrote is undone.
struct LeaseLost {};

}  // namespace

// Lives in the recorder's thread; every member is used there only.
class RecorderWorker : public QObject {
public:
    RecorderWorker(QString database, Recorder* owner)
        : m_database(std::move(database)), m_owner(owner)
    {
    }

    void loadHosts(std::function<void(HostsOutcome)> done)
    {
        HostsOutcome out;
        try {
            out.requests = newestRequestId(db());
            out.hosts = readHosts();
            if (m_pass) m_pass->requests = out.requests;
        } catch (const DbError& e) {
            if (e.isBusy()) {
                // A lock that keeps even readers out: try again, as a batch would.
                QTimer::singleShot(kRetryMs, this, [this, done] { loadHosts(done); });
                return;
            }
            out.error = e.userText();
            out.gone = e.isGone();
        }
        deliver([done, out = std::move(out)]() mutable { done(std::move(out)); });
    }

    void record(std::vector<CheckRecord> checks, std::function<void(BatchOutcome)> done)
    {
        m_pending = Pending{std::move(checks), std::move(done), {}, false};
        m_pending->waited.start();
        attempt();
    }

    void acquireLease(const QString& me, std::function<void(LeaseState)> done)
    {
        LeaseState out;
        try {
            Database& d = db();
            if (!m_lease) m_lease = Lease::of(d);
            out.held = m_lease->tryAcquire(me);
            out.holder = out.held ? me : m_lease->holder();
            // Where the monitoring left off: the next pass is due one interval after the last.
            Result last = d.execute(QStringLiteral(
                "select started, finished from passes order by id desc limit 1"));
            if (!last.eof()) {
                out.lastPassOpen = last.field(1).isNull();
                out.lastPass = fromStored(out.lastPassOpen ? last.field(0) : last.field(1));
            }
        } catch (const DbError& e) {
            out.error = e.userText();
            out.gone = e.isGone();
        }
        deliver([done, out] { done(out); });
    }

    void releaseLease()
    {
        if (m_lease) m_lease->release();
    }

    // The pass's record is written with its first batch (or at its end), so a pass that waits
    // for a lock waits for it with its checks, not before them.
    void beginPass(const QString& me, const QString& started)
    {
        m_pass = PassRecord{me, started, 0, 0};
    }

    void endPass(const QString& finished, qint64 hosts, qint64 failed)
    {
        if (!m_pass) return;
        try {
            Database& d = db();
            d.transaction([&] {
                if (m_lease && !m_lease->held()) throw LeaseLost{};
                if (passId(d) > 0)
                    d.execute(QStringLiteral(
                                  "update passes set finished=?, hosts=?, failed=? where id=?"),
                              {finished, hosts, failed, m_pass->id});
                // Answered: a request made since waits for the next pass, and a monitor taking
                // over from this one answers what this one has not.
                if (m_pass->requests > 0 && m_lease)
                    d.execute(QStringLiteral("delete from pass_requests where id <= ?"),
                              {m_pass->requests});
                d.notify(QStringLiteral("sentrok"));
            });
        } catch (const LeaseLost&) {
        } catch (const DbError& e) {
            if (e.isBusy()) {
                QTimer::singleShot(kRetryMs, this, [this, finished, hosts, failed] {
                    endPass(finished, hosts, failed);
                });
                return;
            }
            // The pass's totals are lost, not its checks: they are in the log already.
        }
        m_pass.reset();
    }

    void requestPass(const QString& by, const QString& when)
    {
        const bool waiting = m_request.has_value();
        m_request = Request{by, when};
        if (!waiting) writeRequest();
    }

    void newestRequest(std::function<void(std::optional<qint64>)> done)
    {
        std::optional<qint64> newest;
        try {
            newest = newestRequestId(db());
        } catch (const DbError&) {
            // Asked again at the next tick.
        }
        deliver([done, newest] { done(newest); });
    }

private:
    struct PassRecord {
        QString monitor, started;
        qint64 id;
        qint64 requests;  // the newest request for a pass this pass answers
    };
    struct Request {
        QString by, when;
    };

    // Written once, however many clicks came while the database could not take it.
    void writeRequest()
    {
        if (!m_request) return;
        try {
            Database& d = db();
            d.execute(QStringLiteral("insert into pass_requests (requested,requested_by) values (?,?)"),
                      {m_request->when, m_request->by});
            d.notify(QStringLiteral("sentrok"));
            m_request.reset();
        } catch (const DbError& e) {
            if (!e.isBusy() && !e.isGone()) {
                m_request.reset();  // refused for good: the passes at the interval go on anyway
                return;
            }
            QTimer::singleShot(kRequestRetryMs, this, [this] { writeRequest(); });
        }
    }

    static qint64 newestRequestId(Database& d)
    {
        const QVariant v = d.execute(QStringLiteral("select max(id) from pass_requests")).field(0);
        return v.isNull() ? 0 : v.toLongLong();
    }

    // The running pass's record, written now if it is not yet (inside the caller's transaction).
    qint64 passId(Database& d)
    {
        if (!m_pass) return 0;
        if (m_pass->id == 0)
            m_pass->id = d.execute(QStringLiteral("insert into passes (monitor,started) values "
                                                  "(?,?) returning id"),
                                   {m_pass->monitor, m_pass->started})
                             .field(0)
                             .toLongLong();
        return m_pass->id;
    }

    struct Pending {
        std::vector<CheckRecord> checks;
        std::function<void(BatchOutcome)> done;
        QElapsedTimer waited;
        bool told;
    };

    template <typename Fn>
    void deliver(Fn&& fn)
    {
        QMetaObject::invokeMethod(m_owner, std::forward<Fn>(fn), Qt::QueuedConnection);
    }

    Database& db()
    {
        if (!m_db) {
            DatabaseOptions options;
            options.busyTimeoutMs = kRetryMs;
            options.patienceMs = 0;  // the waiting is done here, between attempts
            m_db = std::make_unique<Database>(
                m_database, Database::uniqueName(QStringLiteral("recorder")), options);
        }
        return *m_db;
    }

    std::vector<HostRecord> readHosts()
    {
        static const char* const names[] = {"id", "ip", "desc", "vw", "vi", "vn", "vl"};
        std::vector<HostRecord> hosts;
        Database& d = db();
        // The addresses down now: an ancestor among them makes its hosts unreachable.
        QSet<QString> down;
        for (Result r = d.execute(QStringLiteral("SELECT DISTINCT address.ip FROM address INNER "
                                                 "JOIN noconnect ON address.id = noconnect.id_ip "
                                                 "WHERE noconnect.dt2 = ?"),
                                  {kZeroDate});
             !r.eof(); r.moveNext())
            down.insert(r.field(0).toString());
        for (Result r = d.execute(
                 QStringLiteral("select id,ip,[desc],vw,vi,vn,vl,parent from address order by id"));
             !r.eof(); r.moveNext()) {
            HostRecord h;
            QString* texts[] = {nullptr, &h.ip, &h.desc, &h.vw, &h.vi, &h.vn, &h.vl};
            for (int i = 0; i < 7; ++i) {
                const QVariant v = r.field(i);
                if (v.isNull()) {
                    if (!h.readError.isEmpty()) h.readError += QStringLiteral(", ");
                    h.readError += QStringLiteral("поле %1 пусто (NULL)").arg(QLatin1String(names[i]));
                } else if (i == 0) {
                    h.id = v.toLongLong();
                } else {
                    *texts[i] = v.toString();
                }
            }
            h.parent = r.field(7).toLongLong();  // NULL reads 0
            h.downBefore = down.contains(h.ip);
            hosts.push_back(std::move(h));
        }
        // Descriptions in the user's alphabetical order; equal ones keep the database's order.
        QCollator collator;
        collator.setCaseSensitivity(Qt::CaseInsensitive);
        std::stable_sort(hosts.begin(), hosts.end(), [&](const HostRecord& a, const HostRecord& b) {
            return collator.compare(a.desc, b.desc) < 0;
        });
        return hosts;
    }

    void attempt()
    {
        if (!m_pending) return;
        BatchOutcome out;
        try {
            Database& d = db();
            const std::vector<CheckRecord>& checks = m_pending->checks;
            // Whoever holds the lease writes: asked inside the transaction, on its connection.
            const auto leased = [this] {
                if (m_lease && !m_lease->held()) throw LeaseLost{};
            };
            bool whole = batchable(checks);
            if (whole) {
                try {
                    d.transaction([&] {
                        leased();
                        out.results = recordBatch(d, checks);
                        writeEvents(d, passId(d), checks, out.results);
                        d.notify(QStringLiteral("sentrok"));
                    });
                } catch (const DbError& e) {
                    if (e.isBusy() || e.isGone()) throw;
                    whole = false;  // one check spoils it: write them one by one
                }
            }
            if (!whole) {
                out.results.clear();
                d.transaction([&] {
                    leased();
                    for (const CheckRecord& c : checks) out.results.push_back(recordOne(d, c));
                    writeEvents(d, passId(d), checks, out.results);
                    d.notify(QStringLiteral("sentrok"));
                });
            }
        } catch (const LeaseLost&) {
            out.results.clear();
            out.leaseLost = true;
            out.leaseHolder = holderNow();
        } catch (const DbError& e) {
            if (e.isBusy()) {
                waitAndRetry(e);
                return;
            }
            out.results.clear();
            if (e.isGone()) {
                out.gone = true;
                out.goneText = e.description();
            } else {
                // The commit failed: nothing of the batch is in the file.
                out.results.assign(m_pending->checks.size(), RecordResult{Change::None, e.userText()});
            }
        }
        if (m_pending->told) emit m_owner->waiting({});
        auto done = std::move(m_pending->done);
        m_pending.reset();
        deliver([done = std::move(done), out = std::move(out)]() mutable { done(std::move(out)); });
    }

    // Who holds the lease now, when it can be asked.
    QString holderNow()
    {
        try {
            return m_lease ? m_lease->holder() : QString();
        } catch (const DbError&) {
            return {};
        }
    }

    void waitAndRetry(const DbError& e)
    {
        if (!m_pending->told && m_pending->waited.elapsed() >= kTellAfterMs) {
            m_pending->told = true;
            emit m_owner->waiting(
                QStringLiteral("Запись в базу ждёт: база данных занята другой программой.\n"
                               "Проверки продолжаются, их результаты будут записаны по порядку, "
                               "как только база освободится.\n(%1)")
                    .arg(e.description()));
        }
        QTimer::singleShot(kRetryMs, this, [this] { attempt(); });
    }

    QString m_database;
    Recorder* m_owner;
    std::unique_ptr<Database> m_db;
    std::unique_ptr<Lease> m_lease;  // after m_db: released before the connection goes
    std::optional<Pending> m_pending;
    std::optional<PassRecord> m_pass;
    std::optional<Request> m_request;  // a request for a pass not yet written
};

Recorder::Recorder(const QString& database, QObject* parent) : QObject(parent)
{
    m_thread.setObjectName(QStringLiteral("recorder"));
    m_worker = new RecorderWorker(database, this);
    m_worker->moveToThread(&m_thread);
    connect(&m_thread, &QThread::finished, m_worker, &QObject::deleteLater);
    m_thread.start();
}

Recorder::~Recorder()
{
    m_thread.quit();
    m_thread.wait();
}

void Recorder::loadHosts(std::function<void(HostsOutcome)> done)
{
    QMetaObject::invokeMethod(
        m_worker, [w = m_worker, done = std::move(done)]() mutable { w->loadHosts(std::move(done)); },
        Qt::QueuedConnection);
}

void Recorder::record(std::vector<CheckRecord> checks, std::function<void(BatchOutcome)> done)
{
    QMetaObject::invokeMethod(
        m_worker,
        [w = m_worker, checks = std::move(checks), done = std::move(done)]() mutable {
            w->record(std::move(checks), std::move(done));
        },
        Qt::QueuedConnection);
}

void Recorder::acquireLease(const QString& me, std::function<void(LeaseState)> done)
{
    QMetaObject::invokeMethod(
        m_worker, [w = m_worker, me, done = std::move(done)] { w->acquireLease(me, done); },
        Qt::QueuedConnection);
}

void Recorder::releaseLease()
{
    QMetaObject::invokeMethod(m_worker, [w = m_worker] { w->releaseLease(); },
                              Qt::BlockingQueuedConnection);
}

void Recorder::beginPass(const QString& me, const QString& started)
{
    QMetaObject::invokeMethod(m_worker, [w = m_worker, me, started] { w->beginPass(me, started); },
                              Qt::QueuedConnection);
}

void Recorder::endPass(const QString& finished, qint64 hosts, qint64 failed)
{
    QMetaObject::invokeMethod(
        m_worker, [w = m_worker, finished, hosts, failed] { w->endPass(finished, hosts, failed); },
        Qt::QueuedConnection);
}

void Recorder::requestPass(const QString& by, const QString& when)
{
    QMetaObject::invokeMethod(m_worker, [w = m_worker, by, when] { w->requestPass(by, when); },
                              Qt::QueuedConnection);
}

void Recorder::newestRequest(std::function<void(std::optional<qint64>)> done)
{
    QMetaObject::invokeMethod(
        m_worker, [w = m_worker, done = std::move(done)] { w->newestRequest(done); },
        Qt::QueuedConnection);
}

}  // namespace sentrok
