#include "history/historyquery.h"

#include "common/datetext.h"
#include "store/database.h"
#include "store/maintenance.h"
#include "store/parents.h"

#include <QCollator>
#include <QHash>
#include <QTimeZone>

#include <algorithm>

namespace sentrok {

namespace {

using TotalsMap = std::map<qint64, ReplyTotals>;

// A stored local time in ms since the epoch. The local clock's offset is asked once an hour
// of the calendar: asking the C library for every date makes it look at the time-zone file
// every time, which on a month of a thousand hosts costs more than the queries.
qint64 storedMsecs(const QString& text)
{
    thread_local QHash<QString, qint64> offsets;
    if (text.size() != 19) return fromStored(text).toMSecsSinceEpoch();
    bool ok = true;
    const auto number = [&](qsizetype at, qsizetype length) {
        bool good = false;
        const int n = QStringView(text).mid(at, length).toInt(&good);
        ok = ok && good;
        return n;
    };
    const QDate date(number(0, 4), number(5, 2), number(8, 2));
    const int h = number(11, 2), m = number(14, 2), sec = number(17, 2);
    if (!ok || !date.isValid()) return fromStored(text).toMSecsSinceEpoch();
    const QString hour = text.left(13);
    auto it = offsets.constFind(hour);
    if (it == offsets.cend()) {
        if (offsets.size() > 100000) offsets.clear();
        it = offsets.insert(hour, qint64(QDateTime(date, QTime(h, 0)).offsetFromUtc()));
    }
    const qint64 naive = (date.toJulianDay() - 2440588) * 86400 + h * 3600 + m * 60 + sec;
    return (naive - *it) * 1000;
}

qint64 storedTime(const QVariant& value)
{
    return value.isNull() ? -1 : storedMsecs(value.toString());
}

// Hour and day keys step as written, without the clock's seasonal jumps: "2024-03-31 02" is
// followed by "2024-03-31 03" whether or not that hour existed locally.
QString nextKey(const QString& key, qint64 secs)
{
    const bool hour = key.size() == 13;
    QDateTime t = QDateTime::fromString(
        hour ? key + QStringLiteral(":00:00") : key + QStringLiteral(" 00:00:00"),
        kStoredDateFormat);
    t.setTimeZone(QTimeZone::utc());
    return t.addSecs(secs).toString(hour ? QStringLiteral("yyyy-MM-dd HH")
                                         : QStringLiteral("yyyy-MM-dd"));
}

QString nextHour(const QString& hour) { return nextKey(hour, 3600); }
QString nextDay(const QString& day) { return nextKey(day, 86400); }
QString hourStart(const QString& hour) { return hour + QStringLiteral(":00:00"); }

void mergeGrouped(Database& db, const QString& table, const QString& key, const QString& from,
                  const QString& to, std::optional<qint64> host, TotalsMap& out)
{
    if (from >= to) return;
    QString sql = QStringLiteral("SELECT id_ip, %1 FROM %2 WHERE %3 >= ? AND %3 < ?")
                      .arg(summedTotalsColumns(), table, key);
    QVariantList values{from, to};
    if (host) {
        sql += QStringLiteral(" AND id_ip = ?");
        values << *host;
    }
    sql += QStringLiteral(" GROUP BY id_ip");
    for (Result r = db.execute(sql, values); !r.eof(); r.moveNext())
        out[r.field(0).toLongLong()].merge(totalsFrom(r, 1));
}

// The part [lo, hi) of one hour: from the log when it holds all of the hour's checks,
// otherwise the whole hour or nothing.
void mergeEdge(Database& db, const QString& hour, const QString& lo, const QString& hi,
               bool wholeHourCounts, std::optional<qint64> host, TotalsMap& out)
{
    TotalsMap inHour, inPart;
    const QString hourEnd = hourStart(nextHour(hour));
    Result raw =
        host ? db.execute(QStringLiteral("SELECT id_ip, dt, time_echo FROM log "
                                         "WHERE id_ip = ? AND dt >= ? AND dt < ?"),
                          {*host, hourStart(hour), hourEnd})
             // Host by host through the host-and-time index; a join lets the
             // planner scan the whole log instead.
             : db.execute(QStringLiteral("SELECT id_ip, dt, time_echo FROM log WHERE id_ip IN "
                                         "(SELECT id FROM address) AND dt >= ? AND dt < ?"),
                          {hourStart(hour), hourEnd});
    for (; !raw.eof(); raw.moveNext()) {
        const qint64 id = raw.field(0).toLongLong();
        const QString dt = raw.field(1).toString();
        bool numeric = false;
        qint64 echo = raw.field(2).toLongLong(&numeric);
        if (!numeric) echo = -1;
        inHour[id].addCheck(echo, dt);
        if (dt >= lo && dt < hi) inPart[id].addCheck(echo, dt);
    }
    TotalsMap kept;
    QString sql = QStringLiteral("SELECT id_ip, %1 FROM %2 WHERE hour = ?")
                      .arg(totalsColumns(), kHourlyTable);
    QVariantList values{hour};
    if (host) {
        sql += QStringLiteral(" AND id_ip = ?");
        values << *host;
    }
    for (Result r = db.execute(sql, values); !r.eof(); r.moveNext())
        kept[r.field(0).toLongLong()] = totalsFrom(r, 1);
    for (const auto& [id, t] : inHour) {
        const auto k = kept.find(id);
        if (k == kept.end() || k->second.checks == t.checks) out[id].merge(inPart[id]);
    }
    for (const auto& [id, t] : kept) {
        const auto h = inHour.find(id);
        const bool complete = h != inHour.end() && h->second.checks == t.checks;
        if (!complete && wholeHourCounts) out[id].merge(t);
    }
}

void mergeHours(Database& db, const QString& first, const QString& end, std::optional<qint64> host,
                TotalsMap& out)
{
    if (first >= end) return;
    // Whole days in the middle come from the daily totals.
    const QString firstDay =
        first.endsWith(QLatin1String(" 00")) ? first.left(10) : nextDay(first.left(10));
    const QString endDay = end.left(10);
    if (firstDay < endDay) {
        mergeGrouped(db, kHourlyTable, QStringLiteral("hour"), first,
                     firstDay + QStringLiteral(" 00"), host, out);
        mergeGrouped(db, kDailyTable, QStringLiteral("day"), firstDay, endDay, host, out);
        mergeGrouped(db, kHourlyTable, QStringLiteral("hour"), endDay + QStringLiteral(" 00"), end,
                     host, out);
    } else {
        mergeGrouped(db, kHourlyTable, QStringLiteral("hour"), first, end, host, out);
    }
}

qint64 firstCheckOf(const QVariant& totalsFirst, const QVariant& logFirst)
{
    const qint64 a = storedTime(totalsFirst), b = storedTime(logFirst);
    if (a < 0) return b;
    return b >= 0 ? std::min(a, b) : a;
}

}  // namespace

std::vector<HostRef> historyHosts(Database& db)
{
    std::vector<HostRef> hosts;
    for (Result r = db.execute(QStringLiteral("SELECT id, ip, [desc] FROM address ORDER BY id"));
         !r.eof(); r.moveNext())
        hosts.push_back({r.field(0).toLongLong(), r.field(1).toString(), r.field(2).toString()});
    sortByDescription(hosts, [](const HostRef& h) -> const QString& { return h.desc; });
    return hosts;
}

std::map<qint64, ReplyTotals> totalsIn(Database& db, const QDateTime& from, const QDateTime& to,
                                       std::optional<qint64> host)
{
    TotalsMap out;
    const QString a = storedDateText(from), b = storedDateText(to);
    if (a >= b) return out;
    const QString ha = a.left(13), hb = b.left(13);
    const bool aOnHour = a == hourStart(ha), bOnHour = b == hourStart(hb);
    if (ha == hb) {
        mergeEdge(db, ha, a, b, aOnHour, host, out);
        return out;
    }
    if (!aOnHour) mergeEdge(db, ha, a, hourStart(nextHour(ha)), false, host, out);
    mergeHours(db, aOnHour ? ha : nextHour(ha), hb, host, out);
    if (!bOnHour) mergeEdge(db, hb, hourStart(hb), b, true, host, out);
    return out;
}

std::vector<HostFigures> availabilityOf(Database& db, const QDateTime& from, const QDateTime& to,
                                        std::optional<qint64> host)
{
    std::vector<HostInput> inputs;
    QHash<qint64, std::size_t> index;
    {
        // Each host's first check, by its own index: the totals keep it once the log has been
        // thinned out.
        QString sql = QStringLiteral(
            "SELECT a.id, a.ip, a.[desc], "
            "(SELECT h.first_dt FROM log_hourly h WHERE h.id_ip = a.id ORDER BY h.hour LIMIT 1), "
            "(SELECT min(l.dt) FROM log l WHERE l.id_ip = a.id) FROM address a");
        QVariantList values;
        if (host) {
            sql += QStringLiteral(" WHERE a.id = ?");
            values << *host;
        }
        for (Result r = db.execute(sql, values); !r.eof(); r.moveNext()) {
            HostInput in;
            in.id = r.field(0).toLongLong();
            in.ip = r.field(1).toString();
            in.desc = r.field(2).toString();
            in.firstCheckMs = firstCheckOf(r.field(3), r.field(4));
            index.insert(in.id, inputs.size());
            inputs.push_back(std::move(in));
        }
    }
    // Who depends on whom, as configured now: a host's downtime while an ancestor was down is
    // told apart.
    const HostTree tree = HostTree::read(db);
    std::vector<qint64> wanted;  // one host's outages and its ancestors'
    if (host) {
        wanted = tree.ancestors(*host);
        wanted.push_back(*host);
    }
    QHash<qint64, std::vector<Outage>> outagesOf;
    {
        QString sql = QStringLiteral(
            "SELECT id_ip, dt1, dt2 FROM noconnect WHERE dt1 < ? AND (dt2 = ? OR dt2 >= ?)");
        QVariantList values{storedDateText(to), kZeroDate, storedDateText(from)};
        if (host) {
            sql += QStringLiteral(" AND id_ip IN (?") +
                   QStringLiteral(",?").repeated(qsizetype(wanted.size()) - 1) + u')';
            for (qint64 id : wanted) values << id;
        }
        for (Result r = db.execute(sql, values); !r.eof(); r.moveNext()) {
            const QString end = r.field(2).toString();
            outagesOf[r.field(0).toLongLong()].push_back(
                {storedTime(r.field(1)), end == kZeroDate ? -1 : storedMsecs(end)});
        }
    }
    for (HostInput& in : inputs) {
        in.outages = outagesOf.value(in.id);
        for (qint64 a : tree.ancestors(in.id)) {
            const auto it = outagesOf.constFind(a);
            if (it != outagesOf.cend())
                in.ancestorOutages.insert(in.ancestorOutages.end(), it->begin(), it->end());
        }
    }
    // The maintenance windows as they are now, each occurrence in the period.
    const std::vector<MaintenanceWindow> windows = maintenanceWindows(db);
    for (const MaintenanceWindow& w : windows) {
        const std::vector<TimeSpan> spans =
            windowSpans(w, from.toMSecsSinceEpoch(), to.toMSecsSinceEpoch());
        if (spans.empty()) continue;
        for (HostInput& in : inputs)
            if (windowApplies(w, in.id, tree))
                for (const TimeSpan& t : spans) in.maintenance.push_back({t.fromMs, t.toMs});
    }
    for (auto& [id, t] : totalsIn(db, from, to, host)) {
        const auto it = index.constFind(id);
        if (it != index.cend()) inputs[*it].totals = t;
    }
    for (HostInput& in : inputs)
        std::sort(in.outages.begin(), in.outages.end(),
                  [](const Outage& x, const Outage& y) { return x.startMs < y.startMs; });

    std::vector<HostFigures> out;
    out.reserve(inputs.size());
    const qint64 fromMs = from.toMSecsSinceEpoch(), toMs = to.toMSecsSinceEpoch();
    for (const HostInput& in : inputs) out.push_back(figuresFor(in, fromMs, toMs));
    QCollator collator;
    collator.setCaseSensitivity(Qt::CaseInsensitive);
    std::stable_sort(out.begin(), out.end(), [&](const HostFigures& x, const HostFigures& y) {
        return x.desc == y.desc ? x.id < y.id : collator.compare(x.desc, y.desc) < 0;
    });
    return out;
}

std::vector<ReplyPoint> hourlyMeans(Database& db, qint64 host, const QDateTime& from,
                                    const QDateTime& to)
{
    std::vector<ReplyPoint> points;
    const QString a = storedDateText(from).left(13), b = storedDateText(to);
    for (Result r =
             db.execute(QStringLiteral("SELECT hour, checks, failed, reply_sum FROM log_hourly "
                                       "WHERE id_ip = ? AND hour >= ? AND hour < ? ORDER BY hour"),
                        {host, a, b});
         !r.eof(); r.moveNext()) {
        const qint64 checks = r.field(1).toLongLong(), failed = r.field(2).toLongLong();
        const qint64 replies = checks - failed;
        points.push_back({storedMsecs(r.field(0).toString() + QStringLiteral(":30:00")),
                          replies > 0 ? r.field(3).toLongLong() / replies : -1, true});
    }
    return points;
}

std::map<qint64, std::vector<ReplyPoint>> hourlyMeans(Database& db, const QDateTime& from,
                                                      const QDateTime& to)
{
    std::map<qint64, std::vector<ReplyPoint>> out;
    const QString a = storedDateText(from).left(13), b = storedDateText(to);
    QHash<QString, qint64> at;  // an hour's middle, worked out once for all hosts
    for (Result r = db.execute(
             QStringLiteral("SELECT hour, id_ip, checks, failed, reply_sum FROM log_hourly "
                            "WHERE hour >= ? AND hour < ? ORDER BY hour"),
             {a, b});
         !r.eof(); r.moveNext()) {
        const QString hour = r.field(0).toString();
        auto it = at.find(hour);
        if (it == at.end()) it = at.insert(hour, storedMsecs(hour + QStringLiteral(":30:00")));
        const qint64 replies = r.field(2).toLongLong() - r.field(3).toLongLong();
        out[r.field(1).toLongLong()].push_back(
            {*it, replies > 0 ? r.field(4).toLongLong() / replies : -1, true});
    }
    return out;
}

HostHistory hostHistory(Database& db, qint64 host, const QDateTime& from, const QDateTime& to)
{
    HostHistory h;
    const std::vector<HostFigures> f = availabilityOf(db, from, to, host);
    if (!f.empty()) h.figures = f.front();
    std::vector<ReplyPoint> raw;
    for (Result r = db.execute(QStringLiteral("SELECT dt, time_echo FROM log WHERE id_ip = ? AND "
                                              "dt >= ? AND dt < ? ORDER BY dt"),
                               {host, storedDateText(from), storedDateText(to)});
         !r.eof(); r.moveNext()) {
        bool numeric = false;
        qint64 echo = r.field(1).toLongLong(&numeric);
        raw.push_back({storedMsecs(r.field(0).toString()), numeric ? echo : -1, false});
    }
    // Where the log has been thinned out, the hours before its oldest check show their means.
    const QDateTime logStart = raw.empty() ? to : QDateTime::fromMSecsSinceEpoch(raw.front().msecs);
    const QString logHour = storedDateText(logStart).left(13);
    if (from < logStart)
        for (const ReplyPoint& p : hourlyMeans(db, host, from, logStart))
            if (storedDateText(QDateTime::fromMSecsSinceEpoch(p.msecs)).left(13) < logHour)
                h.points.push_back(p);
    h.points.insert(h.points.end(), raw.begin(), raw.end());
    return h;
}

}  // namespace sentrok
