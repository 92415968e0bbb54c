#pragma once

#include "history/availability.h"
#include "store/hosts.h"

#include <QDateTime>
#include <QMetaType>
#include <QString>

#include <map>
#include <optional>
#include <vector>

namespace sentrok {

class Database;

// Every host, in the order of their descriptions as a person reads them.
std::vector<HostRef> historyHosts(Database& db);

// The checks of [from, to) by host. Whole hours and days come from the totals; the parts of an
// hour at either edge come from the log itself while it still holds every check of that hour,
// and otherwise the hour counts when it begins inside the period.
std::map<qint64, ReplyTotals> totalsIn(Database& db, const QDateTime& from, const QDateTime& to,
                                       std::optional<qint64> host = {});

// The figures of every host (or of one) for [from, to), ordered as historyHosts.
std::vector<HostFigures> availabilityOf(Database& db, const QDateTime& from, const QDateTime& to,
                                        std::optional<qint64> host = {});

// One point of the reply-time chart: a check, or an hour's mean where the log no longer holds
// the hour's checks.
struct ReplyPoint {
    qint64 msecs = 0;   // since the epoch
    qint64 reply = -1;  // negative: failed
    bool hourly = false;
};

struct HostHistory {
    HostFigures figures{};
    std::vector<ReplyPoint> points{};
};
HostHistory hostHistory(Database& db, qint64 host, const QDateTime& from, const QDateTime& to);

// An hour's mean reply time (negative when no check of the hour was answered), for the small
// charts of a report.
std::vector<ReplyPoint> hourlyMeans(Database& db, qint64 host, const QDateTime& from,
                                    const QDateTime& to);
// The same for every host at once.
std::map<qint64, std::vector<ReplyPoint>> hourlyMeans(Database& db, const QDateTime& from,
                                                      const QDateTime& to);

}  // namespace sentrok

Q_DECLARE_METATYPE(sentrok::HostHistory)
Q_DECLARE_METATYPE(std::vector<sentrok::HostFigures>)
