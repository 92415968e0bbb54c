#include "history/availability.h"

#include <algorithm>

namespace sentrok {

std::optional<double> HostFigures::lossShare() const
{
    if (totals.checks <= 0) return std::nullopt;
    return double(totals.failed) / double(totals.checks);
}

HostFigures figuresFor(const HostInput& in, const QDateTime& from, const QDateTime& to)
{
    HostFigures f;
    f.id = in.id;
    f.ip = in.ip;
    f.desc = in.desc;
    f.totals = in.totals;
    f.to = to;
    f.from = in.firstCheck.isValid() ? std::max(from, in.firstCheck) : to;
    if (f.from >= to) {
        f.from = to;  // never checked in the period, or added after it
        return f;
    }
    f.periodSecs = f.from.secsTo(to);
    qint64 restored = 0, restoredSecs = 0;
    for (const Outage& o : in.outages) {
        const QDateTime end = o.open() ? to : std::min(o.end, to);
        const QDateTime start = std::max(o.start, f.from);
        // An outage counts when it overlaps the period or begins in it, even lasting no time.
        const bool beginsIn = o.start >= f.from && o.start < to;
        if (!(start < end) && !beginsIn) continue;
        const qint64 secs = start < end ? start.secsTo(end) : 0;
        ++f.outages;
        f.downtimeSecs += secs;
        f.longestSecs = std::max(f.longestSecs, secs);
        f.outageList.push_back({start, o.open() && end == to ? QDateTime() : end});
        if (!o.open() && o.end > f.from && o.end <= to) {
            ++restored;
            restoredSecs += o.start.secsTo(o.end);
        }
    }
    // Outages of one host never overlap, but a file edited by hand may hold some that do.
    f.downtimeSecs = std::min(f.downtimeSecs, f.periodSecs);
    if (restored) f.mttrSecs = restoredSecs / restored;
    f.availability = 1.0 - double(f.downtimeSecs) / double(f.periodSecs);
    return f;
}

Tier tierOf(const std::optional<double>& availability)
{
    if (!availability) return Tier::Unknown;
    const double a = *availability;
    if (a >= 0.999) return Tier::Best;
    if (a >= 0.99) return Tier::Good;
    if (a >= 0.95) return Tier::Fair;
    return Tier::Poor;
}

QString durationText(qint64 secs)
{
    const qint64 days = secs / 86400;
    const QString clock = QStringLiteral("%1:%2:%3")
                              .arg((secs % 86400) / 3600, 2, 10, QLatin1Char('0'))
                              .arg((secs % 3600) / 60, 2, 10, QLatin1Char('0'))
                              .arg(secs % 60, 2, 10, QLatin1Char('0'));
    return days ? QStringLiteral("%1 д %2").arg(days).arg(clock) : clock;
}

}  // namespace sentrok
