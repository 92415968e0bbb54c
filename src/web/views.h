#pragma once

#include "web/statussnapshot.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <vector>

namespace sentrok::web {

// What the server sends, made from a snapshot (and a host's report), with no state of their own.

// /api/v1/status
QByteArray statusJson(const StatusSnapshot& s);
// /api/v1/events: `more` when events after the last one given wait for the next question.
QByteArray eventsJson(const std::vector<StatusEvent>& events, qint64 lastId, bool more);
// /api/v1/hosts/ID/history
QByteArray historyJson(const HostStatus& host, const HostReport& report, qint64 fromMs,
                       qint64 toMs);

// /metrics, Prometheus' text format 0.0.4.
QByteArray metricsText(const StatusSnapshot& s);

// The rows of the status page in the order shown: the hosts that are down, each followed by the
// hosts unreachable behind it (deeper the further behind), then those that answer, then those
// never checked.
struct PageRow {
    const HostStatus* host = nullptr;
    int depth = 0;
};
struct PageSections {
    std::vector<PageRow> down{}, up{}, unchecked{};
};
PageSections pageSections(const StatusSnapshot& s);

// "/": the page as first seen, readable without its script; null: nothing known yet.
QByteArray statusPage(const StatusSnapshot* s);
// "/host/ID": the reply times of [fromMs, toMs) on a chart, the outages of 24 h, 7 d and 30 d.
// `period` names the chart's period as the query gave it ("24h", "7d", "30d").
QByteArray hostPage(const HostStatus& host, const HostReport& report, const QString& period,
                    qint64 fromMs, qint64 toMs);
// A page that only says something went wrong, with the status for the title.
QByteArray messagePage(const QString& title, const QString& text);

// The reply-time chart as an SVG element (no script, no outside reference).
QString replyChart(const HostHistory& history, qint64 fromMs, qint64 toMs);

// Why the monitoring is unwell now, for /healthz; empty when it is well. `startedMs`: when the
// web side began to watch (a monitor just started has had no time for a pass yet).
QStringList healthProblems(const StatusSnapshot* s, qint64 lastLookMs, qint64 nowMs,
                           qint64 startedMs);

}  // namespace sentrok::web
