#include "store/passes.h"

#include "common/datetext.h"
#include "store/database.h"
#include "store/statements.h"

namespace sentrok {

qint64 insertPass(Database& db, const QString& monitor, const QString& started)
{
    return db
        .execute(QStringLiteral("insert into passes (monitor,started) values (?,?) returning id"),
                 {monitor, started})
        .field(0)
        .toLongLong();
}

void finishPassRecord(Database& db, qint64 id, const QString& finished, qint64 hosts, qint64 failed)
{
    db.execute(QStringLiteral("update passes set finished=?, hosts=?, failed=? where id=?"),
               {finished, hosts, failed, id});
}

void writeEvents(Database& db, qint64 passId, const std::vector<CheckRecord>& checks,
                 const std::vector<RecordResult>& results)
{
    std::vector<std::size_t> changed;
    for (std::size_t i = 0; i < results.size(); ++i)
        if (results[i].error.isEmpty() && checks[i].announce != Change::None) changed.push_back(i);
    inChunks(changed, [&](std::size_t at, std::size_t end) {
        QVariantList values;
        for (std::size_t k = at; k < end; ++k) {
            const CheckRecord& c = checks[changed[k]];
            const bool down = c.announce == Change::Down;
            values << passId << c.hostId << (down ? QStringLiteral("down") : QStringLiteral("up"))
                   << c.when << c.result << c.vw
                   << (down && c.ancestor ? QVariant(c.ancestor)
                                          : QVariant(QMetaType::fromType<qint64>()))
                   << (c.maintenance ? QVariant(*c.maintenance) : QVariant());
        }
        db.execute(QStringLiteral("insert into events (pass_id,id_ip,kind,dt,time_echo,time_wait,"
                                  "ancestor,maintenance) values ") +
                       valueRows(int(end - at), 8),
                   values);
    });
}

qint64 newestPassRequest(Database& db)
{
    const QVariant v = db.execute(QStringLiteral("select max(id) from pass_requests")).field(0);
    return v.isNull() ? 0 : v.toLongLong();
}

void writePassRequest(Database& db, const QString& by, const QString& when)
{
    db.execute(QStringLiteral("insert into pass_requests (requested,requested_by) values (?,?)"),
               {when, by});
}

void removeAnsweredRequests(Database& db, qint64 upTo)
{
    db.execute(QStringLiteral("delete from pass_requests where id <= ?"), {upTo});
}

std::optional<LastPass> lastPass(Database& db)
{
    Result r =
        db.execute(QStringLiteral("select id, monitor, started, finished, hosts, failed from "
                                  "passes order by id desc limit 1"));
    if (r.eof()) return std::nullopt;
    LastPass out;
    out.id = r.field(0).toLongLong();
    out.monitor = r.field(1).toString();
    const QVariant finished = r.field(3);
    out.open = finished.isNull();
    out.time = fromStored(out.open ? r.field(2) : finished);
    out.hosts = r.field(4);
    out.failed = r.field(5);
    return out;
}

qint64 newestEvent(Database& db)
{
    const QVariant last = db.execute(QStringLiteral("select max(id) from events")).field(0);
    return last.isNull() ? 0 : last.toLongLong();
}

std::vector<EventRow> eventsAfter(Database& db, qint64 afterId)
{
    std::vector<EventRow> out;
    for (Result r = db.execute(
             QStringLiteral("select e.id, e.kind, e.time_echo, e.time_wait, a.ip, a.[desc], "
                            "e.ancestor, e.pass_id, e.id_ip, e.dt, p.ip, p.[desc], e.maintenance "
                            "from events e "
                            "inner join address a on a.id = e.id_ip left join address p on "
                            "p.id = e.ancestor where e.id > ? order by e.id"),
             {afterId});
         !r.eof(); r.moveNext()) {
        EventRow e;
        e.id = r.field(0).toLongLong();
        e.down = r.field(1).toString() == QLatin1String("down");
        e.reply = r.field(2).toString();
        e.wait = r.field(3).toString();
        e.ip = r.field(4).toString();
        e.desc = r.field(5).toString();
        e.ancestor = r.field(6).toLongLong();  // NULL reads 0
        e.passId = r.field(7).toLongLong();
        e.hostId = r.field(8).toLongLong();
        e.dt = r.field(9).toString();
        e.ancestorIp = r.field(10).toString();
        e.ancestorDesc = r.field(11).toString();
        if (!r.field(12).isNull()) e.maintenance = r.field(12).toString();
        out.push_back(std::move(e));
    }
    return out;
}

}  // namespace sentrok
