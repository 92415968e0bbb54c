#include "web/timetext.h"

#include <QDateTime>

#include <cstdlib>

namespace sentrok::web {

namespace {

QString two(int n) { return QString::number(n).rightJustified(2, u'0'); }

qint64 floorDiv(qint64 a, qint64 b) { return a / b - ((a % b != 0) && ((a < 0) != (b < 0))); }

}  // namespace

TimeText::Civil TimeText::civil(qint64 ms)
{
    const qint64 hour = floorDiv(ms, 3'600'000);
    auto it = m_offsets.constFind(hour);
    if (it == m_offsets.cend()) {
        if (m_offsets.size() > 10000) m_offsets.clear();
        it = m_offsets.insert(hour, QDateTime::fromMSecsSinceEpoch(ms).offsetFromUtc());
    }
    const qint64 secs = floorDiv(ms, 1000) + *it;
    qint64 days = floorDiv(secs, 86400);
    const qint64 inDay = secs - days * 86400;
    // Days since 1970-01-01 to a civil date (the proleptic Gregorian calendar).
    days += 719468;
    const qint64 era = floorDiv(days, 146097);
    const qint64 doe = days - era * 146097;
    const qint64 yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const qint64 doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const qint64 mp = (5 * doy + 2) / 153;
    const int d = int(doy - (153 * mp + 2) / 5 + 1);
    const int m = int(mp < 10 ? mp + 3 : mp - 9);
    const int y = int(yoe + era * 400 + (m <= 2));
    return {y, m, d, int(inDay / 3600), int(inDay % 3600 / 60), int(inDay % 60), *it};
}

namespace {

// Writes `n` as `width` digits at `at`; returns the position after them.
char16_t* digits(char16_t* at, int n, int width)
{
    for (int i = width - 1; i >= 0; --i, n /= 10) at[i] = char16_t(u'0' + n % 10);
    return at + width;
}

}  // namespace

QString TimeText::iso(qint64 ms)
{
    const Civil c = civil(ms);
    const int off = std::abs(c.offsetSecs) / 60;
    char16_t b[25];
    char16_t* p = digits(b, c.year, 4);
    *p++ = u'-';
    p = digits(p, c.month, 2);
    *p++ = u'-';
    p = digits(p, c.day, 2);
    *p++ = u'T';
    p = digits(p, c.hour, 2);
    *p++ = u':';
    p = digits(p, c.minute, 2);
    *p++ = u':';
    p = digits(p, c.second, 2);
    *p++ = c.offsetSecs < 0 ? u'-' : u'+';
    p = digits(p, off / 60, 2);
    *p++ = u':';
    p = digits(p, off % 60, 2);
    return QString(reinterpret_cast<const QChar*>(b), p - b);
}

QString TimeText::full(qint64 ms)
{
    const Civil c = civil(ms);
    char16_t b[19];
    char16_t* p = digits(b, c.day, 2);
    *p++ = u'.';
    p = digits(p, c.month, 2);
    *p++ = u'.';
    p = digits(p, c.year, 4);
    *p++ = u' ';
    p = digits(p, c.hour, 2);
    *p++ = u':';
    p = digits(p, c.minute, 2);
    *p++ = u':';
    p = digits(p, c.second, 2);
    return QString(reinterpret_cast<const QChar*>(b), p - b);
}

QString TimeText::brief(qint64 ms) { return full(ms).remove(5, 5).chopped(3); }

QString TimeText::clock(qint64 ms) { return full(ms).mid(11, 5); }

QString TimeText::day(qint64 ms) { return full(ms).left(5); }

QString spanText(qint64 secs)
{
    if (secs < 60) return QStringLiteral("%1 с").arg(secs);
    if (secs < 3600) return QStringLiteral("%1 мин %2 с").arg(secs / 60).arg(two(int(secs % 60)));
    if (secs < 86400)
        return QStringLiteral("%1 ч %2 мин").arg(secs / 3600).arg(two(int(secs % 3600 / 60)));
    return QStringLiteral("%1 д %2 ч").arg(secs / 86400).arg(secs % 86400 / 3600);
}

}  // namespace sentrok::web
