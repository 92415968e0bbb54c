#include "store/recording.h"

#include "common/conversions.h"
#include "common/datetext.h"
#include "store/database.h"
#include "store/hosts.h"
#include "store/maintenance.h"
#include "store/outages.h"
#include "store/statements.h"
#include "store/totals.h"

#include <QHash>
#include <QLocale>
#include <QSet>

#include <algorithm>
#include <deque>

namespace sentrok {

bool checkFailed(const QString& result) { return toInt32(result, QLocale::c()).value_or(-1) < 0; }

Change transition(bool failed, bool outageOpen)
{
    if (failed && !outageOpen) return Change::Down;
    if (!failed && outageOpen) return Change::Up;
    return Change::None;
}

std::vector<HostRecord> readPassHosts(Database& db, const QDateTime& now)
{
    static const char* const names[] = {"id", "ip", "desc", "vw", "vi", "vn", "vl"};
    std::vector<HostRecord> hosts;
    // The addresses down now: an ancestor among them makes its hosts unreachable.
    const QHash<QString, ConfirmationState> down = confirmationStates(db, false);
    const QHash<qint64, QString> maintenance = hostsUnderMaintenance(db, now);
    for (Result r = db.execute(QStringLiteral(
             "select id,ip,[desc],vw,vi,vn,vl,parent,confirm from address order by id"));
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
        const QVariant confirm = r.field(8);
        h.confirm = confirm.isNull() ? kConfirmDefault : confirm.toInt();
        if (const auto it = down.constFind(h.ip); it != down.cend()) {
            h.downBefore = true;
            h.failuresBefore = it->failures;
            h.announcedBefore = it->announced;
            h.quietBefore = it->quiet;
        }
        if (const auto it = maintenance.constFind(h.id); it != maintenance.cend())
            h.maintenance = *it;
        hosts.push_back(std::move(h));
    }
    sortByDescription(hosts, [](const HostRecord& h) -> const QString& { return h.desc; });
    return hosts;
}

RecordResult recordCheck(Database& db, const CheckRecord& c)
{
    RecordResult out;
    try {
        db.savepoint([&] {
            db.execute(
                QStringLiteral("insert into log (id_ip,time_echo,time_wait,dt) values (?,?,?,?)"),
                {c.hostId, c.result, c.vw, c.when});
            addChecksToTotals(db,
                              {{c.hostId, c.when, toInt32(c.result, QLocale::c()).value_or(-1)}});
            Result open = db.execute(
                QStringLiteral("SELECT noconnect.id as id FROM address INNER JOIN noconnect ON "
                               "address.id = noconnect.id_ip WHERE address.ip = ? AND "
                               "noconnect.dt2 = ? ORDER BY noconnect.id"),
                {c.ip, kZeroDate});
            const bool down = !open.eof();
            const QVariant outageId = down ? open.field(0) : QVariant();
            open.close();
            out.change = transition(checkFailed(c.result), down);
            if (out.change == Change::Up) {
                db.execute(QStringLiteral("update noconnect set dt2=? where id=?"),
                           {c.when, outageId});
            } else if (out.change == Change::Down) {
                Result first = db.execute(
                    QStringLiteral("SELECT id from address where ip=? ORDER BY id"), {c.ip});
                const QVariant hostId = first.field(0);
                first.close();
                db.execute(QStringLiteral("insert into noconnect (id_ip,dt1) values (?,?)"),
                           {hostId, c.when});
            }
        });
    } catch (const DbError& e) {
        if (e.isBusy() || e.isGone()) throw;
        out.change = Change::None;
        out.error = e.userText();
    }
    return out;
}

bool batchable(const std::vector<CheckRecord>& checks)
{
    QSet<QString> ips;
    for (const CheckRecord& c : checks) {
        if (ips.contains(c.ip)) return false;
        ips.insert(c.ip);
    }
    return true;
}

std::vector<RecordResult> recordChecks(Database& db, const std::vector<CheckRecord>& checks)
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
        out[i].change = transition(checkFailed(c.result), !outages.empty());
        if (out[i].change == Change::Up) {
            closings.push_back({outages.front(), c.when});
            outages.pop_front();
        } else if (out[i].change == Change::Down) {
            openings.push_back({first.value(c.ip), c.when});
            outages.push_back(0);  // open now; its id is the engine's, and no later check needs it
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

}  // namespace sentrok
