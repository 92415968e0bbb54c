#include "web/timetext.h"
#include "web/views.h"

#include <algorithm>

namespace sentrok::web {

namespace {

// How long the monitoring may be silent past its interval: a pass of thousands of hosts takes
// a while to begin recording, and the process that takes the lease over waits a few seconds.
constexpr qint64 kPassGraceMs = 120'000;
// How long the database may go unread before the page's figures are called stale.
constexpr qint64 kLookGraceMs = 30'000;

}  // namespace

QStringList healthProblems(const StatusSnapshot* s, qint64 lastLookMs, qint64 nowMs,
                           qint64 startedMs)
{
    if (!s) return {QStringLiteral("состояние мониторинга ещё не прочитано из базы данных")};
    TimeText times;
    QStringList out;
    if (lastLookMs < nowMs - kLookGraceMs)
        out << QStringLiteral("база данных не читается с %1")
                   .arg(times.full(std::max(lastLookMs, s->takenMs)));
    out << s->problems;
    // The latest sign of the passes: one that ended, one under way, a check it recorded.
    qint64 latest = startedMs;
    if (s->lastPass) latest = std::max(latest, s->lastPass->finishedMs);
    if (s->runningPass) latest = std::max(latest, s->runningPass->startedMs);
    latest = std::max(latest, s->newestCheckMs);
    if (s->intervalSecs > 0 && nowMs - latest > qint64(s->intervalSecs) * 1000 + kPassGraceMs)
        out << QStringLiteral("проходы опаздывают: последний знак проверок в %1 при интервале %2")
                   .arg(times.full(latest), spanText(s->intervalSecs));
    return out;
}

}  // namespace sentrok::web
