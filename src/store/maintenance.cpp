#include "store/maintenance.h"

#include "common/datetext.h"
#include "store/database.h"
#include "store/parents.h"

#include <algorithm>

namespace sentrok {

namespace {

const QString kZero = QStringLiteral("1899-12-30 00:00:00");

int periodDays(Repeat r) { return r == Repeat::Daily ? 1 : r == Repeat::Weekly ? 7 : 0; }

struct Occurrence {
    QDateTime from, to;
};

// The k-th occurrence; moved by calendar days, so a window keeps its local hours across a change
// of the clocks.
Occurrence occurrence(const MaintenanceWindow& w, qint64 k)
{
    const qint64 days = k * periodDays(w.repeat);
    return {w.from.addDays(days), w.to.addDays(days)};
}

// The occurrence that may be running on the day `t` falls on, counted from the first.
qint64 occurrenceOfDay(const MaintenanceWindow& w, const QDateTime& t)
{
    return w.from.date().daysTo(t.date()) / periodDays(w.repeat);
}

Repeat repeatOf(const QString& name)
{
    if (name == QLatin1String("daily")) return Repeat::Daily;
    if (name == QLatin1String("weekly")) return Repeat::Weekly;
    return Repeat::Once;
}

}  // namespace

QString repeatName(Repeat r)
{
    switch (r) {
        case Repeat::Daily:
            return QStringLiteral("daily");
        case Repeat::Weekly:
            return QStringLiteral("weekly");
        case Repeat::Once:
            break;
    }
    return QStringLiteral("once");
}

std::optional<QString> windowRefusal(const MaintenanceWindow& w)
{
    if (!w.from.isValid() || !w.to.isValid())
        return QStringLiteral("у окна обслуживания нет начала или конца");
    if (w.to <= w.from) return QStringLiteral("окно обслуживания кончается раньше, чем начинается");
    if (w.repeat != Repeat::Once && w.to > w.from.addDays(periodDays(w.repeat)))
        return QStringLiteral("окно обслуживания длиннее периода, с которым оно повторяется");
    return std::nullopt;
}

bool windowCovers(const MaintenanceWindow& w, const QDateTime& t)
{
    if (t < w.from) return false;
    if (w.repeat == Repeat::Once) return t < w.to;
    // No occurrence lasts longer than its period: the one of this day or the one before.
    const qint64 k = occurrenceOfDay(w, t);
    for (qint64 at = k; at >= std::max<qint64>(0, k - 1); --at) {
        const Occurrence o = occurrence(w, at);
        if (o.from <= t && t < o.to) return true;
    }
    return false;
}

std::vector<TimeSpan> windowSpans(const MaintenanceWindow& w, qint64 fromMs, qint64 toMs)
{
    std::vector<TimeSpan> out;
    if (fromMs >= toMs) return out;
    const auto clip = [&](const Occurrence& o) {
        const qint64 a = std::max(o.from.toMSecsSinceEpoch(), fromMs);
        const qint64 b = std::min(o.to.toMSecsSinceEpoch(), toMs);
        if (a < b) out.push_back({a, b});
    };
    if (w.repeat == Repeat::Once) {
        clip({w.from, w.to});
        return out;
    }
    const QDateTime start = QDateTime::fromMSecsSinceEpoch(fromMs);
    qint64 k = start < w.from ? 0 : std::max<qint64>(0, occurrenceOfDay(w, start) - 1);
    for (Occurrence o = occurrence(w, k); o.from.toMSecsSinceEpoch() < toMs; o = occurrence(w, ++k))
        clip(o);
    return out;
}

bool windowApplies(const MaintenanceWindow& w, qint64 hostId, const HostTree& tree)
{
    if (w.hostId == 0 || w.hostId == hostId) return true;
    return w.withChildren && tree.dependsOn(hostId, w.hostId);
}

std::vector<MaintenanceWindow> maintenanceWindows(Database& db)
{
    std::vector<MaintenanceWindow> out;
    for (Result r = db.execute(QStringLiteral("select id, id_ip, children, dt_from, dt_to, recurs, "
                                              "comment from maintenance order by id"));
         !r.eof(); r.moveNext()) {
        out.push_back({.id = r.field(0).toLongLong(),
                       .hostId = r.field(1).toLongLong(),  // NULL reads 0: every host
                       .withChildren = r.field(2).toInt() != 0,
                       .from = fromStored(r.field(3)),
                       .to = fromStored(r.field(4)),
                       .repeat = repeatOf(r.field(5).toString()),
                       .comment = r.field(6).toString()});
    }
    return out;
}

qint64 addMaintenanceWindow(Database& db, const MaintenanceWindow& w)
{
    if (const std::optional<QString> refusal = windowRefusal(w))
        throw DbError(dbcode::Mismatch, *refusal);
    return db
        .execute(QStringLiteral("insert into maintenance (id_ip, children, dt_from, dt_to, recurs, "
                                "comment) values (?,?,?,?,?,?) returning id"),
                 {w.hostId ? QVariant(w.hostId) : QVariant(QMetaType::fromType<qint64>()),
                  w.withChildren ? 1 : 0, storedDateText(w.from), storedDateText(w.to),
                  repeatName(w.repeat), w.comment})
        .field(0)
        .toLongLong();
}

bool removeMaintenanceWindow(Database& db, qint64 id)
{
    if (db.execute(QStringLiteral("select count(*) from maintenance where id=?"), {id})
            .field(0)
            .toLongLong() == 0)
        return false;
    db.execute(QStringLiteral("delete from maintenance where id=?"), {id});
    return true;
}

QHash<qint64, QString> hostsUnderMaintenance(const std::vector<MaintenanceWindow>& windows,
                                             const HostTree& tree, const QDateTime& now)
{
    QHash<qint64, QString> out;
    std::vector<const MaintenanceWindow*> lasting;
    for (const MaintenanceWindow& w : windows)
        if (windowCovers(w, now)) lasting.push_back(&w);
    if (lasting.empty()) return out;
    for (const HostNode& h : tree.hosts())
        for (const MaintenanceWindow* w : lasting)
            if (windowApplies(*w, h.id, tree)) out.insert(h.id, w->comment);
    return out;
}

QHash<qint64, QString> hostsUnderMaintenance(Database& db, const QDateTime& now)
{
    const std::vector<MaintenanceWindow> windows = maintenanceWindows(db);
    if (windows.empty()) return {};
    return hostsUnderMaintenance(windows, HostTree::read(db), now);
}

std::optional<QString> confirmRefusal(const QString& text, int* value)
{
    bool ok = false;
    const int n = text.trimmed().toInt(&ok);
    if (!ok || n < kConfirmMin || n > kConfirmMax)
        return QStringLiteral(
                   "число проверок до тревоги должно быть целым от %1 до %2, а не "
                   "\"%3\"")
            .arg(kConfirmMin)
            .arg(kConfirmMax)
            .arg(text);
    if (value) *value = n;
    return std::nullopt;
}

bool setConfirm(Database& db, qint64 hostId, int confirm)
{
    if (db.execute(QStringLiteral("select count(*) from address where id=?"), {hostId})
            .field(0)
            .toLongLong() == 0)
        return false;
    db.execute(QStringLiteral("update address set confirm=? where id=?"), {confirm, hostId});
    return true;
}

int confirmOf(Database& db, qint64 hostId)
{
    Result r = db.execute(QStringLiteral("select confirm from address where id=?"), {hostId});
    return r.eof() || r.field(0).isNull() ? kConfirmDefault : r.field(0).toInt();
}

QHash<QString, ConfirmationState> confirmationStates(Database& db, bool allFailures)
{
    QHash<QString, ConfirmationState> out;
    for (Result r = db.execute(
             QStringLiteral("select n.id_ip, a.ip, a.confirm from noconnect n inner join address a "
                            "on a.id = n.id_ip where n.dt2 = ? order by n.id"),
             {kZero});
         !r.eof(); r.moveNext()) {
        const QString ip = r.field(1).toString();
        if (out.contains(ip)) continue;  // the oldest outage of an address is the one that counts
        const QVariant confirm = r.field(2);
        // An outage is opened by a failed check: one opened by another tool has had that one.
        out.insert(ip, {.hostId = r.field(0).toLongLong(),
                        .ip = ip,
                        .confirm = confirm.isNull() ? kConfirmDefault : confirm.toInt(),
                        .failures = 1});
    }
    if (out.isEmpty()) return out;
    // Every failed check of the address's host records since the outage opened.
    for (Result r = db.execute(
             QStringLiteral("select a.ip, count(*) from noconnect n inner join address o on o.id = "
                            "n.id_ip inner join address a on a.ip = o.ip inner join log l on "
                            "l.id_ip = a.id and l.dt >= n.dt1 where n.dt2 = ? and l.time_echo < 0 "
                            "and (? = 1 or o.confirm > 1) group by a.ip"),
             {kZero, allFailures ? 1 : 0});
         !r.eof(); r.moveNext())
        if (auto it = out.find(r.field(0).toString()); it != out.end())
            it->failures = int(std::clamp<qint64>(r.field(1).toLongLong(), 1, kConfirmMax + 1));
    // The last change announced for the address since then says how far its announcement came.
    for (Result r = db.execute(
             QStringLiteral(
                 "select a.ip, e.kind, e.maintenance from noconnect n inner join address "
                 "o on o.id = n.id_ip inner join address a on a.ip = o.ip inner join "
                 "events e on e.id_ip = a.id and e.dt >= n.dt1 where n.dt2 = ? order "
                 "by e.id"),
             {kZero});
         !r.eof(); r.moveNext())
        if (auto it = out.find(r.field(0).toString()); it != out.end()) {
            const bool down = r.field(1).toString() == QLatin1String("down");
            it->quiet = down && !r.field(2).isNull();
            it->announced = down && !it->quiet;
        }
    return out;
}

}  // namespace sentrok
