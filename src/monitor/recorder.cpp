#include "monitor/recorder.h"

#include "common/conversions.h"
#include "common/datetext.h"
#include "store/database.h"
#include "store/dbworker.h"
#include "store/lease.h"
#include "store/passes.h"

#include <QElapsedTimer>
#include <QTimer>

namespace sentrok {

namespace {

// Between two attempts at a batch while another program holds the lock.
constexpr int kRetryMs = 100;
// A wait this long is shown to the user.
constexpr qint64 kTellAfterMs = 1000;
// Between attempts at writing a request for a pass that the database could not take.
constexpr int kRequestRetryMs = 1000;

// The lease went while a transaction was under way: what it wrote is undone.
struct LeaseLost {};

}  // namespace

// The recorder's state on its worker's thread; every member is used there only.
class RecorderWorker {
public:
    RecorderWorker(DbWorker& worker, Recorder* owner) : m_worker(worker), m_owner(owner) {}

    void loadHosts(const QDateTime& now, std::function<void(HostsOutcome)> done)
    {
        HostsOutcome out;
        try {
            out.requests = newestPassRequest(db());
            out.hosts = readPassHosts(db(), now);
            if (m_pass) m_pass->requests = out.requests;
        } catch (const DbError& e) {
            if (e.isBusy()) {
                // A lock that keeps even readers out: try again, as a batch would.
                QTimer::singleShot(kRetryMs, m_worker.context(),
                                   [this, now, done] { loadHosts(now, done); });
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
            if (const std::optional<LastPass> last = sentrok::lastPass(d)) {
                out.lastPassOpen = last->open;
                out.lastPass = last->time;
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
                if (passId(d) > 0) finishPassRecord(d, m_pass->id, finished, hosts, failed);
                // Answered: a request made since waits for the next pass, and a monitor taking
                // over from this one answers what this one has not.
                if (m_pass->requests > 0 && m_lease) removeAnsweredRequests(d, m_pass->requests);
                d.notify(kNewsChannel);
            });
        } catch (const LeaseLost&) {
        } catch (const DbError& e) {
            if (e.isBusy()) {
                QTimer::singleShot(kRetryMs, m_worker.context(), [this, finished, hosts, failed] {
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
            newest = newestPassRequest(db());
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
            writePassRequest(d, m_request->by, m_request->when);
            d.notify(kNewsChannel);
            m_request.reset();
        } catch (const DbError& e) {
            if (!e.isBusy() && !e.isGone()) {
                m_request.reset();  // refused for good: the passes at the interval go on anyway
                return;
            }
            QTimer::singleShot(kRequestRetryMs, m_worker.context(), [this] { writeRequest(); });
        }
    }

    // The running pass's record, written now if it is not yet (inside the caller's transaction).
    qint64 passId(Database& d)
    {
        if (!m_pass) return 0;
        if (m_pass->id == 0) m_pass->id = insertPass(d, m_pass->monitor, m_pass->started);
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

    Database& db() { return m_worker.db(); }

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
                        out.results = recordChecks(d, checks);
                        writeEvents(d, passId(d), checks, out.results);
                        d.notify(kNewsChannel);
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
                    for (const CheckRecord& c : checks) out.results.push_back(recordCheck(d, c));
                    writeEvents(d, passId(d), checks, out.results);
                    d.notify(kNewsChannel);
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
                out.results.assign(m_pending->checks.size(),
                                   RecordResult{Change::None, e.userText()});
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
        QTimer::singleShot(kRetryMs, m_worker.context(), [this] { attempt(); });
    }

    DbWorker& m_worker;
    Recorder* m_owner;
    std::unique_ptr<Lease> m_lease;  // released before the worker's connection goes
    std::optional<Pending> m_pending;
    std::optional<PassRecord> m_pass;
    std::optional<Request> m_request;  // a request for a pass not yet written
};

Recorder::Recorder(const QString& database, QObject* parent)
    : QObject(parent),
      m_thread(std::make_unique<DbWorker>(
          database, DbWorker::Options{.connectionBase = QStringLiteral("recorder"),
                                      // The waiting is done here, between attempts.
                                      .database = {.busyTimeoutMs = kRetryMs, .patienceMs = 0}}))
{
    m_worker = new RecorderWorker(*m_thread, this);
    m_thread->atEnd([w = m_worker] { delete w; });
}

Recorder::~Recorder() = default;

void Recorder::loadHosts(const QDateTime& now, std::function<void(HostsOutcome)> done)
{
    m_thread->post([w = m_worker, now, done = std::move(done)]() mutable {
        w->loadHosts(now, std::move(done));
    });
}

void Recorder::record(std::vector<CheckRecord> checks, std::function<void(BatchOutcome)> done)
{
    m_thread->post([w = m_worker, checks = std::move(checks), done = std::move(done)]() mutable {
        w->record(std::move(checks), std::move(done));
    });
}

void Recorder::acquireLease(const QString& me, std::function<void(LeaseState)> done)
{
    m_thread->post([w = m_worker, me, done = std::move(done)] { w->acquireLease(me, done); });
}

void Recorder::releaseLease()
{
    m_thread->postAndWait([w = m_worker] { w->releaseLease(); });
}

void Recorder::beginPass(const QString& me, const QString& started)
{
    m_thread->post([w = m_worker, me, started] { w->beginPass(me, started); });
}

void Recorder::endPass(const QString& finished, qint64 hosts, qint64 failed)
{
    m_thread->post(
        [w = m_worker, finished, hosts, failed] { w->endPass(finished, hosts, failed); });
}

void Recorder::requestPass(const QString& by, const QString& when)
{
    m_thread->post([w = m_worker, by, when] { w->requestPass(by, when); });
}

void Recorder::newestRequest(std::function<void(std::optional<qint64>)> done)
{
    m_thread->post([w = m_worker, done = std::move(done)] { w->newestRequest(done); });
}

}  // namespace sentrok
