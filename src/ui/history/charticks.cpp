#include "ui/history/charticks.h"

#include <QDateTime>
#include <QRegularExpression>

#include <algorithm>
#include <cmath>

namespace sentrok {

namespace {

constexpr qint64 kDayMs = 86'400'000;
// Steps within a day, in seconds: each divides a day, so the marks fall on the same times of
// every day.
constexpr qint64 kClockSteps[] = {60, 120, 300, 600, 900, 1800, 3600, 7200, 10800, 21600, 43200};

// True when marks `stepMs` apart over `spanMs` number `most` or fewer.
bool fits(qint64 spanMs, qint64 stepMs, int most)
{
    // The ends of the span seldom fall on a mark: one fewer than the steps it holds, mostly.
    return spanMs <= stepMs * qint64(std::max(most, 1));
}

QString clockLabel(const QDateTime& t, const QLocale& locale, bool withDate)
{
    const QString day = locale.toString(t.date(), dayMonthFormat(locale));
    if (t.time() == QTime(0, 0)) return day;
    const QString time = locale.toString(t.time(), hourMinuteFormat(locale));
    return withDate ? day + u' ' + time : time;
}

std::vector<TimeTick> clockTicks(qint64 fromMs, qint64 toMs, qint64 stepSecs, const QLocale& locale)
{
    std::vector<TimeTick> out;
    const bool withDate = toMs - fromMs >= kDayMs;
    const QDateTime from = QDateTime::fromMSecsSinceEpoch(fromMs);
    QDate day = from.date();
    qint64 k = from.time().msecsSinceStartOfDay() / (stepSecs * 1000);
    // Local time: a change of the clock's season may repeat or skip an hour; the marks stay in
    // order and each time once.
    for (int guard = 0; guard < 100'000; ++guard, ++k) {
        if (k * stepSecs >= 86400) {
            day = day.addDays(1);
            k = 0;
        }
        const QDateTime t(day, QTime::fromMSecsSinceStartOfDay(int(k * stepSecs * 1000)));
        const qint64 ms = t.toMSecsSinceEpoch();
        if (ms > toMs) break;
        if (ms < fromMs || (!out.empty() && ms <= out.back().msecs)) continue;
        out.push_back({ms, clockLabel(t, locale, withDate)});
    }
    return out;
}

std::vector<TimeTick> dayTicks(qint64 fromMs, qint64 toMs, qint64 days, const QLocale& locale)
{
    std::vector<TimeTick> out;
    QDate day = QDateTime::fromMSecsSinceEpoch(fromMs).date();
    if (day.startOfDay().toMSecsSinceEpoch() < fromMs) day = day.addDays(1);
    // Counted from a fixed day, so that moving along the axis keeps the same days marked.
    day = day.addDays((days - day.toJulianDay() % days) % days);
    for (; day.startOfDay().toMSecsSinceEpoch() <= toMs; day = day.addDays(days))
        out.push_back(
            {day.startOfDay().toMSecsSinceEpoch(), locale.toString(day, dayMonthFormat(locale))});
    return out;
}

}  // namespace

ValueScale valueScale(double highest, int intervals)
{
    intervals = std::max(intervals, 1);
    highest = std::max(highest, 1.0);
    const double raw = std::max(highest, 1e-9) / intervals;
    const double magnitude = std::pow(10.0, std::floor(std::log10(raw)));
    double step = 10 * magnitude;
    for (double m : {1.0, 2.0, 5.0}) {
        if (m * magnitude >= raw * (1 - 1e-9)) {
            step = m * magnitude;
            break;
        }
    }
    const double top = std::max(1.0, std::ceil(highest / step - 1e-9)) * step;
    return {step, top};
}

std::vector<TimeTick> timeTicks(qint64 fromMs, qint64 toMs, int most, const QLocale& locale)
{
    if (toMs <= fromMs) return {};
    const qint64 span = toMs - fromMs;
    for (qint64 step : kClockSteps)
        if (fits(span, step * 1000, most)) return clockTicks(fromMs, toMs, step, locale);
    for (qint64 scale = 1;; scale *= 10)
        for (qint64 m : {1, 2, 5})
            if (fits(span, m * scale * kDayMs, most))
                return dayTicks(fromMs, toMs, m * scale, locale);
}

QString dayMonthFormat(const QLocale& locale)
{
    QString format = locale.dateFormat(QLocale::ShortFormat);
    // The year and the separator that joins it to the rest, before or after it.
    static const QRegularExpression year(QStringLiteral("[^dM]*y+[^dMy]*"));
    format.remove(year);
    static const QRegularExpression edges(QStringLiteral("^[^dM]+|[^dM]+$"));
    format.remove(edges);
    return format.isEmpty() ? QStringLiteral("dd.MM") : format;
}

QString hourMinuteFormat(const QLocale& locale)
{
    QString format = locale.timeFormat(QLocale::ShortFormat);
    // The seconds with the separator before them; marks fall on whole minutes.
    static const QRegularExpression seconds(QStringLiteral("[^hHmaApP ]*s+"));
    format.remove(seconds);
    return format.trimmed().isEmpty() ? QStringLiteral("HH:mm") : format.trimmed();
}

QString widestTimeLabel(const QLocale& locale)
{
    const QDateTime sample(QDate(2026, 12, 28), QTime(20, 58));
    return clockLabel(sample, locale, true);
}

}  // namespace sentrok
