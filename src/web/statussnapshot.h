#pragma once

#include "history/availability.h"
#include "history/historyquery.h"
#include "store/totals.h"

#include <QHash>
#include <QString>
#include <QStringList>

#include <array>
#include <optional>
#include <vector>

namespace sentrok::web {

// What the web side shows is one value, made whole by whoever watches the monitoring and never
// changed afterwards: the server answers every request from the newest one without a query, and
// a request under way keeps the value it started with while a newer one is published.

enum class HostState { Up, Down, Unreachable, Unchecked };
// "up", "down", "unreachable", "unchecked": the names of the API and the metrics.
QString stateName(HostState state);

// The hours of the strip a host's row shows: the current hour last.
inline constexpr int kStripHours = 24;
struct HourCell {
    qint32 checks = 0;
    qint32 failed = 0;
};
// One letter an hour for the page and the API: '-' no check, 'o' every check answered, 'p' some
// failed, 'x' every one failed.
QString stripText(const std::array<HourCell, kStripHours>& strip);

// The periods a host's availability is given for: 24 hours, 7 days, 30 days.
inline constexpr std::array<qint64, 3> kPeriodSecs{86400, 7 * 86400, 30 * 86400};

struct HostStatus {
    qint64 id = 0;
    QString address{}, description{};
    qint64 parent = 0;  // the host it is reached through; 0: none
    HostState state = HostState::Unchecked;
    qint64 sinceMs = -1;      // in this state since (ms since the epoch); -1: not known
    qint64 lastCheckMs = -1;  // -1: never checked
    qint64 replyMs = -1;      // the mean reply of the last check; -1: it failed, or none
    qint64 downAncestor = 0;  // unreachable: the nearest ancestor that is down
    std::array<std::optional<double>, kPeriodSecs.size()> availability{};  // 0..1
    std::array<HourCell, kStripHours> strip{};                             // oldest first
    qint64 checksOk = 0, checksFailed = 0;  // every check the totals and the log hold
    // A maintenance window covers the host now: checked and recorded, announced to nobody.
    bool underMaintenance = false;
    QString maintenance{};  // the window's comment
};

struct PassInfo {
    qint64 id = 0;
    QString monitor{};                       // the process that ran it, in its own words
    qint64 startedMs = -1, finishedMs = -1;  // finishedMs -1: under way
    qint64 hosts = 0, failed = 0;
};

// A change of state as the monitoring recorded it.
struct StatusEvent {
    qint64 id = 0;
    qint64 hostId = 0;
    QString address{}, description{};
    HostState kind = HostState::Down;  // Down, Unreachable or Up
    qint64 atMs = -1;
    qint64 replyMs = -1;
};

struct StatusSnapshot {
    quint64 generation = 0;  // grows with every snapshot published
    qint64 takenMs = 0;
    std::vector<HostStatus> hosts{};        // in the order of their descriptions
    std::optional<PassInfo> lastPass{};     // the newest pass that has ended
    std::optional<PassInfo> runningPass{};  // one under way now
    qint64 newestCheckMs = -1;              // the newest check recorded
    qint32 intervalSecs = 0;                // between passes
    QString leaseHolder{};                  // the process that runs the passes, in its own words
    bool monitoring = false;                // ... and whether it is this one
    // Found while the snapshot was made: the database out of reach or not writable. Words for
    // people; empty when all is well.
    QStringList problems{};
    qint64 lastEventId = 0;
    // Every event after eventsFloor, oldest first: the newest few hundred.
    std::vector<StatusEvent> recentEvents{};
    qint64 eventsFloor = 0;
    // Every answered check's reply time, in the totals' buckets.
    std::array<qint64, kReplyBuckets> replyBuckets{};
    qint64 replySumMs = 0;

    const HostStatus* find(qint64 id) const;
    // Call once the hosts are in place.
    void index();

private:
    QHash<qint64, std::size_t> m_index{};
};

// A host's history as its page and the API ask for it.
struct HostQuery {
    qint64 id = 0;
    qint64 fromMs = 0, toMs = 0;  // the chart's (or the API's) period
    bool periods = false;         // also the figures of the last 24 h, 7 d and 30 d
};

struct HostReport {
    bool found = false;
    QString error{};        // the database could not be asked: words for people
    HostHistory history{};  // figures and reply times of [fromMs, toMs)
    std::array<HostFigures, kPeriodSecs.size()> periods{};
};

struct EventsAnswer {
    std::vector<StatusEvent> events{};  // oldest first
    QString error{};
};

}  // namespace sentrok::web
