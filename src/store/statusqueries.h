#pragma once

#include "store/totals.h"

#include <QHash>
#include <QString>

#include <optional>
#include <vector>

namespace sentrok {

class Database;

// What a status page of the whole monitoring reads: a few statements for every host at once,
// never one per host, and the log only after the rows already read (its key grows with time). Dates
// are the stored texts. Each function throws DbError.

struct StatusHostRow {
    qint64 id = 0;
    QString ip{}, desc{}, vw{};
    qint64 parent = 0;  // 0: none
};
// Every host record, in no particular order.
std::vector<StatusHostRow> readStatusHosts(Database& db);

struct OutageRow {
    qint64 hostId = 0;
    QString start{}, end{};  // end: the zero date while open
};
// The outages still open and those that ended at `since` or later.
std::vector<OutageRow> readOutagesSince(Database& db, const QString& since);
// When each host's newest closed outage ended.
QHash<qint64, QString> readLastRecoveries(Database& db);

struct CheckRow {
    qint64 id = 0;  // of the log row
    qint64 hostId = 0;
    QString dt{};
    qint64 timeEcho = -1;  // negative: failed
};
// Log rows after `afterId` in the order written, at most `limit`.
std::vector<CheckRow> readChecksAfter(Database& db, qint64 afterId, int limit);
// Each host's newest log row.
std::vector<CheckRow> readLastChecks(Database& db);
// The newest and the oldest log row's keys; 0 when the log is empty.
qint64 newestCheckId(Database& db);
qint64 oldestCheckId(Database& db);

// Every host's totals of all time, and the newest log row they count, read as one statement so
// the two agree.
struct AllTotals {
    QHash<qint64, ReplyTotals> byHost{};
    qint64 newestCheckId = 0;
};
AllTotals readAllTotals(Database& db);

struct HourRow {
    qint64 hostId = 0;
    QString hour{};  // "yyyy-MM-dd HH"
    qint64 checks = 0, failed = 0;
};
// The hourly totals of every host from the hour `fromHour` on.
std::vector<HourRow> readHoursFrom(Database& db, const QString& fromHour);
// The first check of every host the totals know.
QHash<qint64, QString> readFirstChecks(Database& db);

struct PassRow {
    qint64 id = 0;
    QString monitor{}, started{}, finished{};  // finished empty while under way
    qint64 hosts = 0, failed = 0;
};
struct PassRows {
    std::optional<PassRow> lastFinished{}, running{};
};
PassRows readPasses(Database& db);

struct StatusEventRow {
    qint64 id = 0, hostId = 0;
    QString kind{}, dt{}, ip{}, desc{};  // kind: "down" or "up"
    qint64 timeEcho = -1;
    bool behindAncestor = false;  // gone down while an ancestor was down
};
// The events after `afterId`, oldest first, at most `limit`.
std::vector<StatusEventRow> readEventsAfter(Database& db, qint64 afterId, int limit);
// The newest `count` events, oldest first.
std::vector<StatusEventRow> readNewestEvents(Database& db, int count);
qint64 newestEventId(Database& db);

bool hostExists(Database& db, qint64 id);

// Whether the database takes writes now: a write transaction begun and undone, nothing written.
// Empty when it does, else the engine's words.
QString writeProbe(Database& db);

}  // namespace sentrok
