#include "web/statusbuilder.h"

#include "common/datetext.h"
#include "store/database.h"
#include "store/lease.h"
#include "store/maintenance.h"
#include "store/parents.h"
#include "store/settings.h"
#include "store/statusqueries.h"

#include <QCollator>
#include <QDateTime>

#include <algorithm>

namespace sentrok::web {

namespace {

// The write probe holds the write lock for a moment: now and then is enough for /healthz.
constexpr qint64 kProbeEveryMs = 30'000;

qint64 msOf(const QString& stored)
{
    if (stored.isEmpty() || stored == kZeroDate) return -1;
    const QDateTime t = fromStored(stored);
    return t.isValid() ? t.toMSecsSinceEpoch() : -1;
}

QString hourKey(qint64 ms)
{
    return QDateTime::fromMSecsSinceEpoch(ms).toString(QStringLiteral("yyyy-MM-dd HH"));
}

PassInfo passInfo(const PassRow& p)
{
    return {p.id, p.monitor, msOf(p.started), msOf(p.finished), p.hosts, p.failed};
}

}  // namespace

StatusEvent statusEvent(const StatusEventRow& e)
{
    const HostState kind = e.kind != QLatin1String("down") ? HostState::Up
                           : e.behindAncestor              ? HostState::Unreachable
                                                           : HostState::Down;
    return {e.id, e.hostId, e.ip, e.desc, kind, msOf(e.dt), e.timeEcho};
}

// What is carried on for one host between snapshots.
struct StatusBuilder::Track {
    qint64 checksOk = 0, checksFailed = 0;
    QString lastDt, firstDt;
    qint64 lastEcho = -1;
    QMap<QString, HourCell> hours;  // by hour key, the last day or so

    void add(const QString& dt, qint64 echo)
    {
        ++(echo < 0 ? checksFailed : checksOk);
        if (dt >= lastDt) {
            lastDt = dt;
            lastEcho = echo;
        }
        if (firstDt.isEmpty() || dt < firstDt) firstDt = dt;
    }
};

StatusBuilder::StatusBuilder(int recentEvents, int rowsPerRead)
    : m_recentEvents(std::max(1, recentEvents)), m_rowsPerRead(std::max(1, rowsPerRead))
{
}

StatusBuilder::~StatusBuilder() = default;

StatusBuilder::Marks StatusBuilder::look(Database& db) const
{
    Marks m;
    m.check = newestCheckId(db);
    m.oldestCheck = oldestCheckId(db);
    m.event = newestEventId(db);
    const PassRows passes = readPasses(db);
    if (passes.running) {
        m.pass = passes.running->id;
        m.passOpen = true;
    } else if (passes.lastFinished) {
        m.pass = passes.lastFinished->id;
    }
    return m;
}

bool StatusBuilder::due(const Marks& now, qint64 nowMs, int checksEveryMs, int quietEveryMs) const
{
    if (!m_loaded || m_builtMs < 0) return true;
    if (now.event != m_built.event || now.pass != m_built.pass || now.passOpen != m_built.passOpen)
        return true;
    if (logStartedAgain(now)) return true;
    if (now.check != m_built.check && nowMs - m_builtMs >= checksEveryMs) return true;
    return nowMs - m_builtMs >= quietEveryMs;
}

bool StatusBuilder::logStartedAgain(const Marks& m) const
{
    // SQLite may hand out the keys of deleted rows again; PostgreSQL goes on from the last.
    return m.check < m_checkCursor ||
           (m_checkCursor > 0 && (m.oldestCheck == 0 || m.oldestCheck > m_checkCursor));
}

void StatusBuilder::loadAll(Database& db, qint64 nowMs)
{
    m_tracks.clear();
    m_events.clear();
    m_buckets = {};
    m_replySum = 0;
    m_newestCheck.clear();
    const auto track = [this](qint64 id) -> Track& {
        auto& t = m_tracks[id];
        if (!t) t = std::make_shared<Track>();
        return *t;
    };
    // Read in this order so that a check recorded meanwhile is missed by the strip or the last
    // reply until the next one (never counted twice); the totals and the log's mark are one
    // statement and agree.
    for (const HourRow& h : readHoursFrom(db, hourKey(nowMs - qint64(kStripHours) * 3'600'000)))
        track(h.hostId).hours[h.hour] = {qint32(h.checks), qint32(h.failed)};
    for (auto [id, first] : readFirstChecks(db).asKeyValueRange()) track(id).firstDt = first;
    for (const CheckRow& c : readLastChecks(db)) {
        Track& t = track(c.hostId);
        t.lastDt = c.dt;
        t.lastEcho = c.timeEcho;
        m_newestCheck = std::max(m_newestCheck, c.dt);
    }
    m_lastRecovery = readLastRecoveries(db);
    const AllTotals totals = readAllTotals(db);
    for (auto [id, t] : totals.byHost.asKeyValueRange()) {
        Track& tr = track(id);
        tr.checksOk = t.replies();
        tr.checksFailed = t.failed;
        if (tr.firstDt.isEmpty()) tr.firstDt = t.firstDt;
        for (std::size_t k = 0; k < m_buckets.size(); ++k) m_buckets[k] += t.buckets[k];
        m_replySum += t.replySum;
    }
    m_checkCursor = totals.newestCheckId;
    const std::vector<StatusEventRow> newest = readNewestEvents(db, m_recentEvents);
    m_eventsFloor = newest.empty() ? newestEventId(db) : newest.front().id - 1;
    m_eventCursor = m_eventsFloor;
    for (const StatusEventRow& e : newest) addEvent(statusEvent(e));
    m_lease = Lease::of(db);
    m_loaded = true;
}

void StatusBuilder::readNewChecks(Database& db)
{
    for (;;) {
        const std::vector<CheckRow> rows = readChecksAfter(db, m_checkCursor, m_rowsPerRead);
        for (const CheckRow& c : rows) {
            auto& t = m_tracks[c.hostId];
            if (!t) t = std::make_shared<Track>();
            t->add(c.dt, c.timeEcho);
            HourCell& cell = t->hours[c.dt.left(13)];
            ++cell.checks;
            if (c.timeEcho < 0) {
                ++cell.failed;
            } else {
                ++m_buckets[std::size_t(replyBucket(c.timeEcho))];
                m_replySum += c.timeEcho;
            }
            m_newestCheck = std::max(m_newestCheck, c.dt);
            m_checkCursor = c.id;
        }
        if (int(rows.size()) < m_rowsPerRead) return;
    }
}

void StatusBuilder::addEvent(StatusEvent e)
{
    m_eventCursor = std::max(m_eventCursor, e.id);
    m_events.push_back(std::move(e));
    while (int(m_events.size()) > m_recentEvents) {
        m_eventsFloor = m_events.front().id;
        m_events.pop_front();
    }
}

void StatusBuilder::readNewEvents(Database& db)
{
    for (;;) {
        const std::vector<StatusEventRow> rows = readEventsAfter(db, m_eventCursor, m_rowsPerRead);
        for (const StatusEventRow& e : rows) addEvent(statusEvent(e));
        if (int(rows.size()) < m_rowsPerRead) return;
    }
}

void StatusBuilder::probeWrites(Database& db, qint64 nowMs)
{
    if (m_probedMs >= 0 && nowMs - m_probedMs < kProbeEveryMs) return;
    m_probedMs = nowMs;
    const QString error = writeProbe(db);
    m_writeProblem =
        error.isEmpty() ? QString() : QStringLiteral("база данных не принимает записи: ") + error;
}

std::shared_ptr<StatusSnapshot> StatusBuilder::build(Database& db, qint64 nowMs,
                                                     const StatusFacts& facts)
{
    try {
        const Marks marks = look(db);
        if (!m_loaded || logStartedAgain(marks)) loadAll(db, nowMs);
        readNewChecks(db);
        readNewEvents(db);
        probeWrites(db, nowMs);
        auto s = std::make_shared<StatusSnapshot>();
        s->takenMs = nowMs;
        fillHosts(db, *s, nowMs);
        const PassRows passes = readPasses(db);
        if (passes.lastFinished) s->lastPass = passInfo(*passes.lastFinished);
        if (passes.running) s->runningPass = passInfo(*passes.running);
        try {
            s->intervalSecs = readMainSettings(db).checkInterval;
        } catch (const DbError&) {
            s->intervalSecs = 0;  // no interval to be late against
        }
        s->leaseHolder = m_lease->holder();
        s->monitoring = facts.monitoring;
        s->problems = facts.problems;
        if (!m_writeProblem.isEmpty()) s->problems << m_writeProblem;
        s->newestCheckMs = msOf(m_newestCheck);
        s->lastEventId = m_eventCursor;
        s->recentEvents.assign(m_events.begin(), m_events.end());
        s->eventsFloor = m_eventsFloor;
        s->replyBuckets = m_buckets;
        s->replySumMs = m_replySum;
        m_built = marks;
        m_builtMs = nowMs;
        return s;
    } catch (...) {
        m_loaded = false;
        m_builtMs = -1;
        throw;
    }
}

void StatusBuilder::fillHosts(Database& db, StatusSnapshot& s, qint64 nowMs)
{
    const std::vector<StatusHostRow> rows = readStatusHosts(db);
    std::vector<HostNode> nodes;
    nodes.reserve(rows.size());
    for (const StatusHostRow& r : rows) nodes.push_back({r.id, r.parent, r.ip, r.desc});
    const HostTree tree(std::move(nodes));
    // The same windows the monitor asks before it announces a change, at the snapshot's time.
    const QHash<qint64, QString> underMaintenance =
        hostsUnderMaintenance(maintenanceWindows(db), tree, QDateTime::fromMSecsSinceEpoch(nowMs));
    QHash<qint64, std::vector<Outage>> outages;
    QHash<qint64, qint64> openSince;
    for (const OutageRow& o : readOutagesSince(db, storedDateText(QDateTime::fromMSecsSinceEpoch(
                                                       nowMs - kPeriodSecs.back() * 1000)))) {
        const bool open = o.end == kZeroDate;
        outages[o.hostId].push_back({msOf(o.start), open ? -1 : msOf(o.end)});
        if (open) {
            const qint64 start = msOf(o.start);
            const auto it = openSince.find(o.hostId);
            if (it == openSince.end() || start < *it) openSince.insert(o.hostId, start);
        } else if (o.end > m_lastRecovery.value(o.hostId)) {
            m_lastRecovery.insert(o.hostId, o.end);
        }
    }
    // The hour keys of the strip, oldest first; older hours are dropped from memory.
    std::array<QString, kStripHours> keys;
    for (int i = 0; i < kStripHours; ++i)
        keys[std::size_t(i)] = hourKey(nowMs - qint64(kStripHours - 1 - i) * 3'600'000);
    s.hosts.reserve(rows.size());
    for (const StatusHostRow& r : rows) {
        HostStatus h;
        h.id = r.id;
        h.address = r.ip;
        h.description = r.desc;
        h.parent = r.parent;
        if (const auto m = underMaintenance.constFind(r.id); m != underMaintenance.cend()) {
            h.underMaintenance = true;
            h.maintenance = *m;
        }
        const std::shared_ptr<Track> t = m_tracks.value(r.id);
        HostInput in;
        in.id = r.id;
        in.outages = outages.value(r.id);
        for (qint64 a : tree.ancestors(r.id)) {
            const auto it = outages.constFind(a);
            if (it != outages.cend())
                in.ancestorOutages.insert(in.ancestorOutages.end(), it->begin(), it->end());
        }
        if (t) {
            while (!t->hours.isEmpty() && t->hours.firstKey() < keys.front())
                t->hours.erase(t->hours.begin());
            for (int i = 0; i < kStripHours; ++i)
                h.strip[std::size_t(i)] = t->hours.value(keys[std::size_t(i)]);
            h.checksOk = t->checksOk;
            h.checksFailed = t->checksFailed;
            h.lastCheckMs = msOf(t->lastDt);
            h.replyMs = h.lastCheckMs >= 0 && t->lastEcho >= 0 ? t->lastEcho : -1;
            in.firstCheckMs = msOf(t->firstDt);
        }
        for (std::size_t p = 0; p < kPeriodSecs.size(); ++p)
            h.availability[p] = figuresFor(in, nowMs - kPeriodSecs[p] * 1000, nowMs).availability;
        const bool checked =
            h.lastCheckMs >= 0 || in.firstCheckMs >= 0 || h.checksOk + h.checksFailed > 0;
        if (r.vw.trimmed() == QLatin1String("0") || (!checked && !openSince.contains(r.id))) {
            h.state = HostState::Unchecked;  // not monitored (wait time "0"), or never checked yet
        } else if (openSince.contains(r.id)) {
            h.state = HostState::Down;
            h.sinceMs = openSince.value(r.id);
            for (qint64 a : tree.ancestors(r.id))
                if (openSince.contains(a)) {
                    h.state = HostState::Unreachable;
                    h.downAncestor = a;
                    break;
                }
        } else {
            h.state = HostState::Up;
            h.sinceMs = std::max(msOf(m_lastRecovery.value(r.id)), in.firstCheckMs);
        }
        s.hosts.push_back(std::move(h));
    }
    QCollator collator;
    collator.setCaseSensitivity(Qt::CaseInsensitive);
    std::stable_sort(s.hosts.begin(), s.hosts.end(), [&](const HostStatus& a, const HostStatus& b) {
        const int c = collator.compare(a.description, b.description);
        return c != 0 ? c < 0 : a.id < b.id;
    });
    s.index();
}

}  // namespace sentrok::web
