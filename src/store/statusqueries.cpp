#include "store/statusqueries.h"

#include "common/datetext.h"
#include "store/database.h"

#include <algorithm>

namespace sentrok {

namespace {

qint64 echoOf(const QVariant& v)
{
    bool numeric = false;
    const qint64 echo = v.toLongLong(&numeric);
    return numeric ? echo : -1;  // what the monitor records for a result it could not read
}

qint64 idOrZero(const QVariant& v) { return v.isNull() ? 0 : v.toLongLong(); }

std::vector<CheckRow> checks(Result r)
{
    std::vector<CheckRow> out;
    for (; !r.eof(); r.moveNext())
        out.push_back({r.field(0).toLongLong(), r.field(1).toLongLong(), r.field(2).toString(),
                       echoOf(r.field(3))});
    return out;
}

std::vector<StatusEventRow> events(Result r)
{
    std::vector<StatusEventRow> out;
    for (; !r.eof(); r.moveNext())
        out.push_back({r.field(0).toLongLong(), r.field(1).toLongLong(), r.field(2).toString(),
                       r.field(3).toString(), r.field(6).toString(), r.field(7).toString(),
                       echoOf(r.field(4)), !r.field(5).isNull()});
    return out;
}

const QString kEventColumns = QStringLiteral(
    "SELECT e.id, e.id_ip, e.kind, e.dt, e.time_echo, e.ancestor, a.ip, a.[desc] FROM events e "
    "LEFT JOIN address a ON a.id = e.id_ip ");

PassRow passFrom(const Result& r)
{
    return {r.field(0).toLongLong(), r.field(1).toString(),   r.field(2).toString(),
            r.field(3).toString(),   r.field(4).toLongLong(), r.field(5).toLongLong()};
}

}  // namespace

std::vector<StatusHostRow> readStatusHosts(Database& db)
{
    std::vector<StatusHostRow> out;
    for (Result r = db.execute(QStringLiteral("SELECT id, ip, [desc], vw, parent FROM address"));
         !r.eof(); r.moveNext())
        out.push_back({r.field(0).toLongLong(), r.field(1).toString(), r.field(2).toString(),
                       r.field(3).toString(), idOrZero(r.field(4))});
    return out;
}

std::vector<OutageRow> readOutagesSince(Database& db, const QString& since)
{
    std::vector<OutageRow> out;
    for (Result r = db.execute(
             QStringLiteral("SELECT id_ip, dt1, dt2 FROM noconnect WHERE dt2 = ? OR dt2 >= ?"),
             {kZeroDate, since});
         !r.eof(); r.moveNext())
        out.push_back({r.field(0).toLongLong(), r.field(1).toString(), r.field(2).toString()});
    return out;
}

QHash<qint64, QString> readLastRecoveries(Database& db)
{
    QHash<qint64, QString> out;
    for (Result r = db.execute(
             QStringLiteral("SELECT id_ip, max(dt2) FROM noconnect WHERE dt2 <> ? GROUP BY id_ip"),
             {kZeroDate});
         !r.eof(); r.moveNext())
        out.insert(r.field(0).toLongLong(), r.field(1).toString());
    return out;
}

std::vector<CheckRow> readChecksAfter(Database& db, qint64 afterId, int limit)
{
    return checks(db.execute(
        QStringLiteral("SELECT id, id_ip, dt, time_echo FROM log WHERE id > ? ORDER BY id LIMIT ?"),
        {afterId, limit}));
}

std::vector<CheckRow> readLastChecks(Database& db)
{
    // Host by host through the host-and-time index: one step each, however long the log.
    return checks(db.execute(QStringLiteral(
        "SELECT l.id, l.id_ip, l.dt, l.time_echo FROM address a JOIN log l ON l.id = "
        "(SELECT l2.id FROM log l2 WHERE l2.id_ip = a.id ORDER BY l2.dt DESC LIMIT 1)")));
}

qint64 newestCheckId(Database& db)
{
    return idOrZero(db.execute(QStringLiteral("SELECT max(id) FROM log")).field(0));
}

qint64 oldestCheckId(Database& db)
{
    return idOrZero(db.execute(QStringLiteral("SELECT min(id) FROM log")).field(0));
}

AllTotals readAllTotals(Database& db)
{
    AllTotals out;
    const int newest = 1 + int(totalsColumns().count(u',')) + 1;
    bool any = false;
    for (Result r = db.execute(
             QStringLiteral("SELECT id_ip, %1, (SELECT max(id) FROM log) FROM %2 GROUP BY id_ip")
                 .arg(summedTotalsColumns(), kDailyTable));
         !r.eof(); r.moveNext()) {
        out.byHost.insert(r.field(0).toLongLong(), totalsFrom(r, 1));
        out.newestCheckId = idOrZero(r.field(newest));
        any = true;
    }
    if (!any) out.newestCheckId = newestCheckId(db);
    return out;
}

std::vector<HourRow> readHoursFrom(Database& db, const QString& fromHour)
{
    std::vector<HourRow> out;
    for (Result r =
             db.execute(QStringLiteral("SELECT id_ip, hour, checks, failed FROM %1 WHERE hour >= ?")
                            .arg(kHourlyTable),
                        {fromHour});
         !r.eof(); r.moveNext())
        out.push_back({r.field(0).toLongLong(), r.field(1).toString(), r.field(2).toLongLong(),
                       r.field(3).toLongLong()});
    return out;
}

QHash<qint64, QString> readFirstChecks(Database& db)
{
    QHash<qint64, QString> out;
    for (Result r =
             db.execute(QStringLiteral("SELECT a.id, (SELECT h.first_dt FROM log_hourly h WHERE "
                                       "h.id_ip = a.id ORDER BY h.hour LIMIT 1) "
                                       "FROM address a"));
         !r.eof(); r.moveNext())
        if (!r.field(1).isNull()) out.insert(r.field(0).toLongLong(), r.field(1).toString());
    return out;
}

PassRows readPasses(Database& db)
{
    PassRows out;
    const QString columns =
        QStringLiteral("SELECT id, monitor, started, finished, hosts, failed FROM passes ");
    Result newest = db.execute(columns + QStringLiteral("ORDER BY id DESC LIMIT 1"));
    if (newest.eof()) return out;
    if (newest.field(3).isNull())
        out.running = passFrom(newest);
    else
        out.lastFinished = passFrom(newest);
    if (out.running) {
        Result r = db.execute(
            columns + QStringLiteral("WHERE finished IS NOT NULL ORDER BY id DESC LIMIT 1"));
        if (!r.eof()) out.lastFinished = passFrom(r);
    }
    return out;
}

std::vector<StatusEventRow> readEventsAfter(Database& db, qint64 afterId, int limit)
{
    return events(db.execute(kEventColumns + QStringLiteral("WHERE e.id > ? ORDER BY e.id LIMIT ?"),
                             {afterId, limit}));
}

std::vector<StatusEventRow> readNewestEvents(Database& db, int count)
{
    std::vector<StatusEventRow> out =
        events(db.execute(kEventColumns + QStringLiteral("ORDER BY e.id DESC LIMIT ?"), {count}));
    std::reverse(out.begin(), out.end());
    return out;
}

qint64 newestEventId(Database& db)
{
    return idOrZero(db.execute(QStringLiteral("SELECT max(id) FROM events")).field(0));
}

bool hostExists(Database& db, qint64 id)
{
    return !db.execute(QStringLiteral("SELECT id FROM address WHERE id = ?"), {id}).eof();
}

QString writeProbe(Database& db)
{
    try {
        db.begin();
        db.rollback();
    } catch (const DbError& e) {
        if (db.inTransaction()) db.rollback();
        return e.userText();
    }
    return {};
}

}  // namespace sentrok
