#include "common/datetext.h"

namespace sentrok {

namespace {

const QDate kZeroDay(1899, 12, 30);

// The locale's long time without its time-zone field and with the hour unpadded, the way
// desktop locales write a time of day ("20:07:11", "0:00:00", "9:05:00 PM").
QString timeFormat(const QLocale& locale)
{
    const QString long_ = locale.timeFormat(QLocale::LongFormat);
    QString out;
    bool quoted = false;
    for (int i = 0; i < long_.size(); ++i) {
        const QChar c = long_[i];
        if (c == u'\'') quoted = !quoted;
        if (!quoted && c == u't') continue;  // time zone
        out += c;
    }
    out = out.trimmed();
    if (out.startsWith(QLatin1String("HH")))
        out.remove(0, 1);
    else if (out.startsWith(QLatin1String("hh")))
        out.remove(0, 1);
    return out;
}

}  // namespace

QString storedDateText(const QDateTime& dt) { return dt.toString(kStoredDateFormat); }

namespace {

// "yyyy-MM-dd HH:mm:ss" read by position: the form every stored date has, and a fraction of
// the general parser's cost, which counts in a report of thousands of dates.
QDateTime storedForm(QStringView v)
{
    if (v.size() != 19 || v[4] != u'-' || v[7] != u'-' || v[10] != u' ' || v[13] != u':' ||
        v[16] != u':')
        return {};
    bool ok = true;
    const auto number = [&](qsizetype at, qsizetype length) {
        bool good = false;
        const int n = v.mid(at, length).toInt(&good);
        ok = ok && good;
        return n;
    };
    const QDate date(number(0, 4), number(5, 2), number(8, 2));
    const QTime time(number(11, 2), number(14, 2), number(17, 2));
    if (!ok || !date.isValid() || !time.isValid()) return {};
    return QDateTime(date, time);
}

}  // namespace

QDateTime fromStored(const QVariant& value)
{
    if (value.isNull()) return {};
    if (value.typeId() == QMetaType::QDateTime) return value.toDateTime();
    const QString text = value.toString().trimmed();
    if (QDateTime dt = storedForm(text); dt.isValid()) return dt;
    QDateTime dt = QDateTime::fromString(text, kStoredDateFormat);
    if (!dt.isValid()) dt = QDateTime::fromString(text, Qt::ISODate);
    if (!dt.isValid()) {
        const QDate d = QDate::fromString(text, QStringLiteral("yyyy-MM-dd"));
        if (d.isValid()) dt = QDateTime(d, QTime(0, 0));
    }
    return dt;
}

QString generalDateText(const QDateTime& dt, const QLocale& locale)
{
    if (!dt.isValid()) return {};
    const QString time = locale.toString(dt.time(), timeFormat(locale));
    if (dt.date() == kZeroDay) return time;
    const QString date = locale.toString(dt.date(), QLocale::ShortFormat);
    if (dt.time() == QTime(0, 0)) return date;
    return date + u' ' + time;
}

QString displayText(const QVariant& value, const QLocale& locale)
{
    if (value.isNull()) return {};
    const QDateTime dt = fromStored(value);
    if (dt.isValid()) return generalDateText(dt, locale);
    return value.toString();
}

}  // namespace sentrok
