#include "store/reports.h"

#include "common/datetext.h"
#include "store/database.h"
#include "store/schema.h"

#include <functional>

namespace sentrok {

namespace {

const QString kCrLf = QStringLiteral("\r\n");

QString compose(Database& db, const QString& sql, qint64 hostId, const QString& header,
                int ruleLength, const std::function<QString(const QVariant&)>& second,
                const QLocale& locale)
{
    QString text = header + kCrLf + QString(ruleLength, u'_') + kCrLf;
    // A full report is some 60 000 characters: grow the text once, not line by line.
    text.reserve(text.size() + kReportRows * 44);
    for (Result r = db.execute(sql, {hostId, kReportRows}); !r.eof(); r.moveNext()) {
        text += displayText(r.field(0), locale);
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
    const QString sql =
        QStringLiteral(
            "SELECT log.dt, log.time_echo FROM address INNER JOIN log ON address.id = log.id_ip "
            "WHERE address.id=? ORDER BY log.dt DESC, log.%1 DESC LIMIT ?")
            .arg(rowKey(db, QStringLiteral("log")));
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
        [&locale](const QVariant& end) { return displayText(end, locale); }, locale);
}

}  // namespace sentrok
