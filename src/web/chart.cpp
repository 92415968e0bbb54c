#include "web/timetext.h"
#include "web/views.h"

#include <QStringList>

#include <algorithm>
#include <cmath>
#include <vector>

namespace sentrok::web {

namespace {

// The drawing: 800 x 240 units, scaled to the page's width by the browser.
constexpr int kWidth = 800, kHeight = 240;
constexpr int kLeft = 60, kRight = 792, kTop = 10, kBottom = 212;
// Two units a column: a month of checks a minute apart is 43,200 points, far more than a screen
// shows; each column draws the mean of its answered checks and marks any that failed.
constexpr int kColumns = (kRight - kLeft) / 2;

struct Column {
    qint64 sum = 0, answered = 0, failed = 0;
    qint64 atMs = 0;  // the newest point in it
};

// 1, 2 or 5 times a power of ten, at least `v`.
qint64 niceCeiling(qint64 v)
{
    qint64 step = 1;
    while (true) {
        for (qint64 m : {1, 2, 5})
            if (m * step >= v) return m * step;
        step *= 10;
    }
}

QString number(double v) { return QString::number(v, 'f', 1); }

void axes(QString& out, TimeText& times, qint64 fromMs, qint64 toMs, qint64 yMax)
{
    for (int i = 0; i <= 4; ++i) {
        const double y = kBottom - double(kBottom - kTop) * i / 4.0;
        out += QStringLiteral(
                   "<line class=\"grid\" x1=\"%1\" y1=\"%2\" x2=\"%3\" y2=\"%2\"/>"
                   "<text class=\"axis\" x=\"%4\" y=\"%5\" text-anchor=\"end\">%6 мс</text>")
                   .arg(kLeft)
                   .arg(number(y))
                   .arg(kRight)
                   .arg(kLeft - 4)
                   .arg(number(y + 4))
                   .arg(yMax * i / 4);
    }
    const bool dayLong = toMs - fromMs <= 2 * 86'400'000LL;
    for (int i = 0; i <= 5; ++i) {
        const qint64 at = fromMs + (toMs - fromMs) * i / 5;
        const double x = kLeft + double(kRight - kLeft) * i / 5.0;
        out += QStringLiteral("<text class=\"axis\" x=\"%1\" y=\"%2\" text-anchor=\"%3\">%4</text>")
                   .arg(number(x))
                   .arg(kHeight - 8)
                   .arg(i == 0   ? QStringLiteral("start")
                        : i == 5 ? QStringLiteral("end")
                                 : QStringLiteral("middle"),
                        dayLong ? times.clock(at) : times.day(at));
    }
}

}  // namespace

QString replyChart(const HostHistory& history, qint64 fromMs, qint64 toMs)
{
    TimeText times;
    QString out = QStringLiteral(
                      "<svg class=\"chart\" viewBox=\"0 0 %1 %2\" role=\"img\" "
                      "aria-label=\"Время ответа\">")
                      .arg(kWidth)
                      .arg(kHeight);
    const qint64 span = std::max<qint64>(1, toMs - fromMs);
    const auto xOf = [&](qint64 ms) {
        return kLeft + double(kRight - kLeft) * double(ms - fromMs) / double(span);
    };
    // The outages, behind everything else.
    for (const Outage& o : history.figures.outageList) {
        const double a = xOf(std::max(o.startMs, fromMs)),
                     b = xOf(o.open() ? toMs : std::min(o.endMs, toMs));
        out +=
            QStringLiteral("<rect class=\"outage\" x=\"%1\" y=\"%2\" width=\"%3\" height=\"%4\"/>")
                .arg(number(a))
                .arg(kTop)
                .arg(number(std::max(1.0, b - a)))
                .arg(kBottom - kTop);
    }
    std::vector<Column> cols(kColumns);
    std::vector<qint64> gaps;
    qint64 previous = -1;
    for (const ReplyPoint& p : history.points) {
        if (p.msecs < fromMs || p.msecs >= toMs) continue;
        Column& c = cols[std::size_t(
            std::clamp<qint64>((p.msecs - fromMs) * kColumns / span, 0, kColumns - 1))];
        if (p.reply >= 0) {
            c.sum += p.reply;
            ++c.answered;
        } else {
            ++c.failed;
        }
        c.atMs = p.msecs;
        if (previous >= 0) gaps.push_back(p.msecs - previous);
        previous = p.msecs;
    }
    qint64 highest = 1;
    for (const Column& c : cols)
        if (c.answered) highest = std::max(highest, (c.sum + c.answered - 1) / c.answered);
    const qint64 yMax = niceCeiling(highest);
    axes(out, times, fromMs, toMs, yMax);
    if (previous < 0) {
        out += QStringLiteral(
                   "<text class=\"empty\" x=\"%1\" y=\"%2\" text-anchor=\"middle\">Нет проверок за "
                   "этот "
                   "период</text></svg>")
                   .arg((kLeft + kRight) / 2)
                   .arg((kTop + kBottom) / 2);
        return out;
    }
    // A line runs on between checks, and breaks where checks stopped for a while (three times
    // their usual spacing, and at least three columns).
    std::nth_element(gaps.begin(), gaps.begin() + qsizetype(gaps.size() / 2), gaps.end());
    const qint64 usual = gaps.empty() ? span : gaps[gaps.size() / 2];
    const qint64 breakMs = std::max(3 * usual, 3 * span / kColumns);
    QStringList line;
    const auto flush = [&] {
        // A check alone between two breaks is a dot: a line of one point draws nothing.
        if (line.size() == 1) {
            const QStringList xy = line.first().split(u',');
            out += QStringLiteral("<circle class=\"reply\" cx=\"%1\" cy=\"%2\" r=\"2\"/>")
                       .arg(xy[0], xy[1]);
        } else if (!line.isEmpty()) {
            out += QStringLiteral("<polyline class=\"reply\" points=\"%1\"/>").arg(line.join(u' '));
        }
        line.clear();
    };
    qint64 lastAt = -1;
    for (int i = 0; i < kColumns; ++i) {
        const Column& c = cols[std::size_t(i)];
        if (c.failed)
            out += QStringLiteral(
                       "<rect class=\"failed\" x=\"%1\" y=\"%2\" width=\"2\" height=\"6\"/>")
                       .arg(kLeft + 2 * i)
                       .arg(kBottom - 6);
        if (!c.answered) continue;
        const double y =
            kBottom - double(kBottom - kTop) * double(c.sum) / double(c.answered) / double(yMax);
        if (lastAt >= 0 && c.atMs - lastAt > breakMs) flush();
        line << QStringLiteral("%1,%2").arg(kLeft + 2 * i + 1).arg(number(y));
        lastAt = c.atMs;
    }
    flush();
    out += QStringLiteral("</svg>");
    return out;
}

}  // namespace sentrok::web
