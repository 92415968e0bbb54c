#include "history/availability.h"

#include <algorithm>

namespace sentrok {

std::optional<double> HostFigures::lossShare() const
{
    if (totals.checks <= 0) return std::nullopt;
    return double(totals.failed) / double(totals.checks);
}

namespace {

struct Span {
    qint64 from, to;
};

// The stretches of [start, end) in which any of the outages lasts, in time order, none touching.
std::vector<Span> unionOf(const std::vector<Outage>& outages, qint64 start, qint64 end)
{
    std::vector<Span> spans;
    for (const Outage& o : outages) {
        const Span s{std::max(o.startMs, start), o.open() ? end : std::min(o.endMs, end)};
        if (s.from < s.to) spans.push_back(s);
    }
    std::sort(spans.begin(), spans.end(),
              [](const Span& a, const Span& b) { return a.from < b.from; });
    std::vector<Span> out;
    for (const Span& s : spans) {
        if (!out.empty() && s.from <= out.back().to)
            out.back().to = std::max(out.back().to, s.to);
        else
            out.push_back(s);
    }
    return out;
}

qint64 overlapMs(const std::vector<Span>& a, const std::vector<Span>& b)
{
    qint64 ms = 0;
    for (std::size_t i = 0, j = 0; i < a.size() && j < b.size();) {
        ms += std::max<qint64>(0, std::min(a[i].to, b[j].to) - std::max(a[i].from, b[j].from));
        if (a[i].to < b[j].to)
            ++i;
        else
            ++j;
    }
    return ms;
}

}  // namespace

HostFigures figuresFor(const HostInput& in, const QDateTime& from, const QDateTime& to)
{
    return figuresFor(in, from.toMSecsSinceEpoch(), to.toMSecsSinceEpoch());
}

HostFigures figuresFor(const HostInput& in, qint64 fromMs, qint64 toMs)
{
    HostFigures f;
    f.id = in.id;
    f.ip = in.ip;
    f.desc = in.desc;
    f.totals = in.totals;
    const qint64 start = in.firstCheckMs >= 0 ? std::max(fromMs, in.firstCheckMs) : toMs;
    f.to = QDateTime::fromMSecsSinceEpoch(toMs);
    if (start >= toMs) {
        f.from = f.to;  // never checked in the period, or added after it
        return f;
    }
    f.from = QDateTime::fromMSecsSinceEpoch(start);
    f.periodSecs = (toMs - start) / 1000;
    qint64 restored = 0, restoredMs = 0, downMs = 0, longestMs = 0;
    for (const Outage& o : in.outages) {
        const qint64 end = o.open() ? toMs : std::min(o.endMs, toMs);
        const qint64 from = std::max(o.startMs, start);
        // An outage counts when it overlaps the period or begins in it, even lasting no time.
        const bool beginsIn = o.startMs >= start && o.startMs < toMs;
        if (!(from < end) && !beginsIn) continue;
        const qint64 ms = from < end ? end - from : 0;
        ++f.outages;
        downMs += ms;
        longestMs = std::max(longestMs, ms);
        f.outageList.push_back({from, o.open() && end == toMs ? -1 : end});
        if (!o.open() && o.endMs > start && o.endMs <= toMs) {
            ++restored;
            restoredMs += o.endMs - o.startMs;
        }
    }
    // Outages of one host never overlap, but a file edited by hand may hold some that do.
    f.downtimeSecs = std::min(downMs / 1000, f.periodSecs);
    if (!in.ancestorOutages.empty())
        f.ancestorDownSecs = std::min(
            overlapMs(unionOf(in.outages, start, toMs), unionOf(in.ancestorOutages, start, toMs)) /
                1000,
            f.downtimeSecs);
    if (!in.maintenance.empty()) {
        const std::vector<Span> planned = unionOf(in.maintenance, start, toMs);
        qint64 plannedMs = 0;
        for (const Span& p : planned) plannedMs += p.to - p.from;
        f.maintenanceSecs = plannedMs / 1000;
        f.maintenanceDownSecs =
            std::min(overlapMs(unionOf(in.outages, start, toMs), planned) / 1000, f.downtimeSecs);
    }
    const qint64 servedSecs = f.periodSecs - f.maintenanceSecs;
    if (servedSecs > 0)
        f.slaAvailability = std::max(
            0.0, 1.0 - double(f.downtimeSecs - f.maintenanceDownSecs) / double(servedSecs));
    f.longestSecs = longestMs / 1000;
    if (restored) f.mttrSecs = restoredMs / restored / 1000;
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
