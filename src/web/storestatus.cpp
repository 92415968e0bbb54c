#include "web/storestatus.h"

#include "common/clock.h"
#include "store/statusqueries.h"
#include "web/statusbuilder.h"

#include <QDateTime>
#include <QMutexLocker>

namespace sentrok::web {

namespace {

const QString kChannel = QStringLiteral("sentrok");

}  // namespace

StoreStatusProvider::StoreStatusProvider(const QString& database, const Clock& clock,
                                         StoreStatusOptions options, QObject* parent)
    : QObject(parent),
      m_clock(clock),
      m_options(options),
      m_builder(std::make_unique<StatusBuilder>(options.recentEvents)),
      m_thread(std::make_unique<DbWorker>(database,
                                          DbWorker::Options{.connectionBase = QStringLiteral("web"),
                                                            .nice = DbWorker::kBackgroundNice}))
{
    m_poll.setInterval(m_options.pollMs);
    connect(&m_poll, &QTimer::timeout, this, [this] { look(false); });
}

StoreStatusProvider::~StoreStatusProvider()
{
    m_poll.stop();
    m_thread.reset();
}

void StoreStatusProvider::start()
{
    m_poll.start();
    look(true);
}

void StoreStatusProvider::refresh() { look(true); }

void StoreStatusProvider::setMonitoring(bool monitoring)
{
    {
        QMutexLocker lock(&m_factsMutex);
        if (m_monitoring == monitoring) return;
        m_monitoring = monitoring;
    }
    refresh();
}

void StoreStatusProvider::setProblems(const QStringList& problems)
{
    {
        QMutexLocker lock(&m_factsMutex);
        if (m_problems == problems) return;
        m_problems = problems;
    }
    refresh();
}

// Runs on the worker thread; a look already waiting there makes a second one of its kind needless
// (many changes told at once make one snapshot), while one asked for during a build is made after.
void StoreStatusProvider::look(bool force)
{
    if ((force ? m_forced : m_looking).exchange(true)) return;
    m_thread->post([this, force] {
        if (force) m_forced.store(false);
        Database* db = nullptr;
        try {
            db = &m_thread->db();
            // The monitor tells of a pass's end at once where the engine notifies.
            if (!m_listening) m_listening = db->listen(kChannel, [this] { look(false); });
            const qint64 now = m_clock.now().toMSecsSinceEpoch();
            const StatusBuilder::Marks marks = m_builder->look(*db);
            m_lastLook.store(now);
            if (force ||
                m_builder->due(marks, now, m_options.checksEveryMs, m_options.quietEveryMs)) {
                StatusFacts facts;
                {
                    QMutexLocker lock(&m_factsMutex);
                    facts = {m_monitoring, m_problems};
                }
                m_slot.publish(m_builder->build(*db, now, facts));
                const quint64 generation = m_slot.get()->generation;
                QMetaObject::invokeMethod(
                    this, [this, generation] { emit published(generation); }, Qt::QueuedConnection);
            }
            m_lastError.clear();
        } catch (const DbError& e) {
            // Told once; the next look tries again, with a connection opened afresh if it was lost.
            if (e.userText() != m_lastError) {
                m_lastError = e.userText();
                QMetaObject::invokeMethod(
                    this, [this, text = e.userText()] { emit failed(text); }, Qt::QueuedConnection);
            }
        }
        if (!force) m_looking.store(false);
    });
}

bool StoreStatusProvider::admit()
{
    if (m_queued.fetch_add(1) >= m_options.maxQueued) {
        --m_queued;
        return false;
    }
    return true;
}

bool StoreStatusProvider::hostReport(const HostQuery& query, QObject* context,
                                     std::function<void(HostReport)> done)
{
    if (!admit()) return false;
    m_thread->run<HostReport>(
        context,
        [this, query](Database& db) {
            HostReport r;
            try {
                r.found = hostExists(db, query.id);
                if (r.found) {
                    const QDateTime to = QDateTime::fromMSecsSinceEpoch(query.toMs);
                    r.history =
                        hostHistory(db, query.id, QDateTime::fromMSecsSinceEpoch(query.fromMs), to);
                    if (query.periods)
                        for (std::size_t i = 0; i < kPeriodSecs.size(); ++i) {
                            const auto f =
                                availabilityOf(db, to.addSecs(-kPeriodSecs[i]), to, query.id);
                            if (!f.empty()) r.periods[i] = f.front();
                        }
                }
            } catch (const DbError& e) {
                r.error = e.userText();
            }
            --m_queued;
            return r;
        },
        std::move(done), [](const DbError&) {});
    return true;
}

bool StoreStatusProvider::eventsAfter(qint64 after, int limit, QObject* context,
                                      std::function<void(EventsAnswer)> done)
{
    if (!admit()) return false;
    m_thread->run<EventsAnswer>(
        context,
        [this, after, limit](Database& db) {
            EventsAnswer a;
            try {
                for (const StatusEventRow& e : readEventsAfter(db, after, limit))
                    a.events.push_back(statusEvent(e));
            } catch (const DbError& e) {
                a.error = e.userText();
            }
            --m_queued;
            return a;
        },
        std::move(done), [](const DbError&) {});
    return true;
}

}  // namespace sentrok::web
