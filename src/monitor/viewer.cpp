#include "monitor/viewer.h"

#include "common/conversions.h"
#include "common/datetext.h"
#include "monitor/alertlists.h"
#include "store/database.h"
#include "store/hosts.h"
#include "store/outages.h"
#include "store/parents.h"

#include <QTextStream>

namespace sentrok {

Viewer::Viewer(ViewerDeps deps, QObject* parent) : QObject(parent), m_deps(std::move(deps))
{
    m_timer.setInterval(kPollMs);
    connect(&m_timer, &QTimer::timeout, this, &Viewer::poll);
}

Viewer::~Viewer() = default;

void Viewer::start()
{
    m_lastEvent = -1;
    m_timer.start();
    poll();
}

void Viewer::stop()
{
    m_timer.stop();
    m_passes.clear();
    m_db.reset();
    m_subscribed = false;
}

void Viewer::poll()
{
    if (!m_timer.isActive()) return;
    try {
        if (!m_db) {
            m_db = std::make_unique<Database>(m_deps.database,
                                              Database::uniqueName(QStringLiteral("viewer")));
            m_subscribed = m_db->listen(kNewsChannel, [this] { poll(); });
        }
        Database& db = *m_db;
        // What was recorded before the window came is history, not news.
        const bool first = m_lastEvent < 0;
        if (first) m_lastEvent = newestEvent(db);
        bool news = false;
        for (EventRow& e : eventsAfter(db, m_lastEvent)) {
            m_lastEvent = e.id;
            emit changeAnnounced(changeOf(e));
            m_passes[e.passId].push_back(std::move(e));
            news = true;
        }
        if (const std::optional<LastPass> pass = lastPass(db)) {
            m_lastPassTime = pass->time;
            if (!pass->open && pass->id != m_lastPass) {
                m_lastPass = pass->id;
                m_deps.view->setPanelText(3, pass->hosts.toString());
                m_deps.view->setPanelText(4, pass->failed.toString());
                m_deps.view->setPanelText(5, QStringLiteral("100%"));
                if (!first) passEnded(*pass);
                news = true;
            }
        }
        if (news && m_deps.getNoCon) m_deps.getNoCon();
    } catch (const DbError& e) {
        // Told once per kind of trouble; the next poll tries again.
        if (e.userText() != m_lastError)
            QTextStream(stderr) << "sentrok: " << printableLine(e.userText()) << "\n";
        m_lastError = e.userText();
        if (e.isGone()) m_db.reset();
        return;
    }
    m_lastError.clear();
}

HostChange Viewer::changeOf(const EventRow& e) const
{
    // Gone down behind an ancestor that was down: unreachable, and the ancestor's sound is enough.
    const bool unreachable = e.down && e.ancestor != 0;
    HostChange c{.host = {.id = e.hostId, .ip = e.ip, .desc = e.desc},
                 .kind = e.maintenance ? ChangeKind::Maintenance
                         : !e.down     ? ChangeKind::Up
                         : unreachable ? ChangeKind::Unreachable
                                       : ChangeKind::Down,
                 .ancestor = std::nullopt,
                 .when = fromStored(e.dt),
                 .wait = e.wait,
                 .reply = e.reply,
                 .maintenance = e.maintenance.value_or(QString())};
    if (e.maintenance) return c;
    if (unreachable)
        c.ancestor = HostRef{.id = e.ancestor, .ip = e.ancestorIp, .desc = e.ancestorDesc};
    return c;
}

// A pass of the other process has ended: it and the passes before it whose end was not seen (a
// process that died in the middle of one) are announced, each with its own changes.
void Viewer::passEnded(const LastPass& pass)
{
    const auto end = m_passes.upper_bound(pass.id);
    bool announcedThis = false;
    for (auto it = m_passes.begin(); it != end; it = m_passes.erase(it)) {
        PassReport report = reportOf(it->second);
        if (it->first == pass.id) {
            report.time = pass.time;
            report.checkedBy = pass.monitor;
            announcedThis = true;
        }
        emit passAnnounced(report);
    }
    if (!announcedThis)
        emit passAnnounced(PassReport{
            .time = pass.time, .checkedBy = pass.monitor, .changes = {}, .alertText = {}});
}

// The report of a pass from its changes as recorded. The alert text is put together as the other
// process put it together, with the hosts as they are now: their order by description, who depends
// on whom, and which ancestors are down (one that had no change in the pass but carries hosts that
// went down behind it is still down).
PassReport Viewer::reportOf(const std::vector<EventRow>& events) const
{
    PassReport out;
    if (events.empty()) return out;
    out.time = fromStored(events.back().dt);
    for (const EventRow& e : events) out.changes.push_back(changeOf(e));
    try {
        const HostTree tree = HostTree::read(*m_db);
        const QSet<QString> down = addressesDown(*m_db);
        // The pass's order: the hosts by description.
        std::vector<HostNode> hosts = tree.hosts();
        sortByDescription(hosts, [](const HostNode& h) -> const QString& { return h.desc; });
        QHash<qint64, std::size_t> position;
        for (std::size_t i = 0; i < hosts.size(); ++i) position.insert(hosts[i].id, i);
        QHash<qint64, bool> wentDown, cameUp;  // in this pass
        for (const EventRow& e : events)
            if (!e.maintenance) (e.down ? wentDown : cameUp).insert(e.hostId, true);
        const auto label = [&](qint64 id) {
            const HostNode* h = tree.find(id);
            return h ? hostLabel(h->desc, h->ip) : QString();
        };
        // A circle of parents counts as no parents at all, as the monitor counts it.
        const auto parentOf = [&](qint64 id) -> qint64 {
            const HostNode* h = tree.find(id);
            return h && h->parent && !tree.dependsOn(h->parent, id) ? h->parent : 0;
        };
        const auto nearestDown = [&](qint64 id) -> qint64 {
            for (qint64 a = parentOf(id); a; a = parentOf(a)) {
                const HostNode* h = tree.find(a);
                if (wentDown.contains(a) || (!cameUp.contains(a) && h && down.contains(h->ip)))
                    return a;
            }
            return 0;
        };
        std::vector<AlertEntry> entries;
        QSet<qint64> listed;
        for (std::size_t k = 0; k < events.size(); ++k) {
            const EventRow& e = events[k];
            if (e.maintenance) continue;  // never in the alert
            if (!e.down) {
                qint64 with = 0;
                for (qint64 a = parentOf(e.hostId); a && !with; a = parentOf(a))
                    if (cameUp.contains(a)) with = a;
                entries.push_back({.id = e.hostId,
                                   .label = label(e.hostId),
                                   .change = Change::Up,
                                   .anchor = with});
                if (with) {
                    const HostNode* h = tree.find(with);
                    out.changes[k].ancestor = HostRef{.id = with, .ip = h->ip, .desc = h->desc};
                }
                continue;
            }
            entries.push_back({.id = e.hostId,
                               .label = label(e.hostId),
                               .change = Change::Down,
                               .anchor = e.ancestor});
            listed.insert(e.hostId);
            for (qint64 a = e.ancestor; a && !listed.contains(a) && !wentDown.contains(a);) {
                const qint64 next = nearestDown(a);
                entries.push_back(
                    {.id = a, .label = label(a), .change = Change::None, .anchor = next});
                listed.insert(a);
                a = next;
            }
        }
        std::stable_sort(
            entries.begin(), entries.end(), [&](const AlertEntry& x, const AlertEntry& y) {
                return position.value(x.id, hosts.size()) < position.value(y.id, hosts.size());
            });
        const AlertLists lists = composeAlertLists(entries);
        if (!lists.down.isEmpty() || !lists.up.isEmpty())
            out.alertText = alertText(lists.down, lists.up);
    } catch (const DbError&) {
        // Without the hosts the changes are announced all the same; only the text is missing.
    }
    return out;
}

}  // namespace sentrok
