#pragma once

#include "store/totals.h"

#include <QDateTime>
#include <QString>

#include <optional>
#include <vector>

namespace sentrok {

// One outage as stored: from dt1 to dt2, open while dt2 is the zero date. Times are ms since
// the epoch: a month of outages is compared and subtracted many times over, and a local
// QDateTime asks the C library's time-zone code at every turn.
struct Outage {
    qint64 startMs = 0;
    qint64 endMs = -1;  // -1 while open
    bool open() const { return endMs < 0; }
};

// What is known of one host for a period.
struct HostInput {
    qint64 id = 0;
    QString ip, desc;
    qint64 firstCheckMs = -1;       // -1 when the host was never checked
    std::vector<Outage> outages{};  // those that may touch the period
    ReplyTotals totals{};           // the checks made in the period
    // The outages of the hosts it is reached through (its parent, that one's parent...), in any
    // order, overlapping or not.
    std::vector<Outage> ancestorOutages{};
    // The maintenance windows that covered it, in any order, overlapping or not (all closed).
    std::vector<Outage> maintenance{};
};

// A host's figures for a period. Its period starts no earlier than its first check; downtime
// is the overlap of its outages (an open one lasting to the period's end) with that period,
// and availability is 1 - downtime / period. The part of the downtime that fell while an ancestor
// was down (the host then unreachable rather than down) is told apart.
struct HostFigures {
    qint64 id = 0;
    QString ip, desc;
    QDateTime from, to;     // the host's own period
    qint64 periodSecs = 0;  // 0: nothing to say for this period
    ReplyTotals totals{};
    int outages = 0;
    qint64 downtimeSecs = 0;
    qint64 ancestorDownSecs = 0;  // of downtimeSecs: while an ancestor was down too
    qint64 longestSecs = 0;
    std::optional<qint64> mttrSecs{};      // mean length of the outages that ended in the period
    std::optional<double> availability{};  // 0..1
    std::vector<Outage> outageList{};      // the outages counted, clipped to the period
    // Planned work: the time of the period under maintenance, the downtime that fell in it, and
    // the availability of the rest of the period (what an agreement on service levels counts).
    qint64 maintenanceSecs = 0;
    qint64 maintenanceDownSecs = 0;  // of downtimeSecs
    std::optional<double> slaAvailability{};

    std::optional<double> lossShare() const;  // failed checks / checks
};

HostFigures figuresFor(const HostInput& in, const QDateTime& from, const QDateTime& to);
HostFigures figuresFor(const HostInput& in, qint64 fromMs, qint64 toMs);

// Availability tiers the windows colour by.
enum class Tier { Unknown, Best, Good, Fair, Poor };  // >= 99.9 %, >= 99 %, >= 95 %, below
Tier tierOf(const std::optional<double>& availability);

// "3 д 04:05:06", "04:05:06": a duration for people.
QString durationText(qint64 secs);

}  // namespace sentrok
