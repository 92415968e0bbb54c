#pragma once

#include "store/recording.h"

#include <QDateTime>
#include <QString>
#include <QVariant>

#include <optional>
#include <vector>

namespace sentrok {

class Database;

// What a team's monitoring leaves for the others to follow: a record of every pass (which process
// ran it, when, its totals), every change of state in the order it was recorded, and the requests
// for a pass now from windows that do not monitor themselves. Every write here is followed by
// news on kNewsChannel for the processes that listen.
inline const QString kNewsChannel = QStringLiteral("sentrok");

// The start of a pass; returns its id. Inside the caller's transaction.
qint64 insertPass(Database& db, const QString& monitor, const QString& started);
void finishPassRecord(Database& db, qint64 id, const QString& finished, qint64 hosts,
                      qint64 failed);

// The changes of state a batch announces (CheckRecord::announce), in its order. Inside the caller's
// transaction.
void writeEvents(Database& db, qint64 passId, const std::vector<CheckRecord>& checks,
                 const std::vector<RecordResult>& results);

// The newest request for a pass (0: none); a request written; the requests up to `upTo` removed,
// once a pass has answered them.
qint64 newestPassRequest(Database& db);
void writePassRequest(Database& db, const QString& by, const QString& when);
void removeAnsweredRequests(Database& db, qint64 upTo);

// The last pass recorded: when it ended, or when it began while it has not ended.
struct LastPass {
    qint64 id = 0;
    QString monitor{};
    QDateTime time{};
    bool open = false;
    QVariant hosts, failed;  // its totals as stored; NULL until it ends
};
std::optional<LastPass> lastPass(Database& db);

// A change of state as recorded, with its host as it is now.
struct EventRow {
    qint64 id = 0;
    qint64 passId = 0;
    qint64 hostId = 0;
    QString ip, desc;
    bool down = false;
    QString dt, reply, wait;  // as stored
    qint64 ancestor = 0;      // a change to down behind an ancestor down: that one (0: none)
    QString ancestorIp, ancestorDesc;
    std::optional<QString> maintenance{};  // shown as under maintenance, with the window's comment
};
// The id of the newest change recorded (0: none).
qint64 newestEvent(Database& db);
// The changes recorded after `afterId`, in the order they were recorded.
std::vector<EventRow> eventsAfter(Database& db, qint64 afterId);

}  // namespace sentrok
