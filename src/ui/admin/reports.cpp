#include "ui/admin/reports.h"

#include "common/datetext.h"
#include "store/database.h"

#include <algorithm>
#include <functional>
#include <iterator>

namespace sentrok {

namespace {

const QString kCrLf = QStringLiteral("\r\n");

// The program stores every date as "yyyy-MM-dd HH:mm:ss". Read by position such a text costs a
// fraction of the general parser's time, which is most of a report's when it has 3000 dates.
QDateTime storedDate(const QVariant& value)
{
    if (value.typeId() != QMetaType::QString) return fromStored(value);
    const QString text = value.toString();
    const QStringView v(text);
    const auto number = [v](qsizetype at, qsizetype length, bool* ok) {
        return v.mid(at, length).toInt(ok);
    };
    bool ok[6] = {};
    if (text.size() == 19 && v[4] == u'-' && v[7] == u'-' && v[10] == u' ' && v[13] == u':' &&
        v[16] == u':') {
        const QDate date(number(0, 4, &ok[0]), number(5, 2, &ok[1]), number(8, 2, &ok[2]));
        const QTime time(number(11, 2, &ok[3]), number(14, 2, &ok[4]), number(17, 2, &ok[5]));
        if (std::all_of(std::begin(ok), std::end(ok), [](bool b) { return b; }) && date.isValid() &&
            time.isValid())
            return QDateTime(date, time);
    }
    return fromStored(value);
}

// As displayText, for the dates of a report.
QString dateText(const QVariant& value, const QLocale& locale)
{
    if (value.isNull()) return {};
    const QDateTime dt = storedDate(value);
    return dt.isValid() ? generalDateText(dt, locale) : value.toString();
}

QString compose(Database& db, const QString& sql, qint64 hostId, const QString& header,
                int ruleLength, const std::function<QString(const QVariant&)>& second,
                const QLocale& locale)
{
    QString text = header + kCrLf + QString(ruleLength, u'_') + kCrLf;
    // A full report is some 60 000 characters: grow the text once, not line by line.
    text.reserve(text.size() + kReportRows * 44);
    for (Result r = db.execute(sql, {hostId, kReportRows}); !r.eof(); r.moveNext()) {
        text += dateText(r.field(0), locale);
        text += u'\t';
        text += second(r.field(1));
        text += kCrLf;
    }
    return text;
}

}  // namespace

QString checksReport(Database& db, qint64 hostId, const QLocale& locale)
{
    // Checks of one pass can share a second; the later row is the newer one. The order is that
    // of the index on (id_ip, dt), whose last key is the row id, so no sort is needed.
    static const QString sql = QStringLiteral(
        "SELECT log.dt, log.time_echo FROM address INNER JOIN log ON address.id = log.id_ip "
        "WHERE address.id=? ORDER BY log.dt DESC, log.id DESC LIMIT ?");
    return compose(
        db, sql, hostId, QStringLiteral("Date\t\t\tReply time"), 34,
        [](const QVariant& reply) { return reply.isNull() ? QString() : reply.toString(); },
        locale);
}

QString outagesReport(Database& db, qint64 hostId, const QLocale& locale)
{
    static const QString sql = QStringLiteral(
        "SELECT noconnect.dt1, noconnect.dt2 FROM address INNER JOIN noconnect ON "
        "address.id = noconnect.id_ip WHERE address.id=? LIMIT ?");
    return compose(
        db, sql, hostId, QStringLiteral("Date1\t\t\tDate2"), 41,
        [&locale](const QVariant& end) { return dateText(end, locale); }, locale);
}

}  // namespace sentrok
