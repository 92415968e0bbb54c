#include "common/datetext.h"
#include "store/database.h"
#include "support/testdb.h"
#include "ui/admin/inputrules.h"
#include "ui/admin/reports.h"

#include <QTest>

using namespace sentrok;
using sentrok::test::TestFolder;

namespace {

const QString kCrLf = QStringLiteral("\r\n");
const QDateTime kBase(QDate(2026, 12, 7), QTime(20, 7, 11));

void addCheck(TestFolder& f, qint64 host, const QDateTime& at, int reply)
{
    f.db().execute(
        QStringLiteral("insert into log (id_ip,time_echo,time_wait,dt) values (?,?,?,?)"),
        {host, QString::number(reply), QStringLiteral("1000"), storedDateText(at)});
}

void addOutage(TestFolder& f, qint64 host, const QString& start, const QString& end)
{
    f.db().execute(QStringLiteral("insert into noconnect (id_ip,dt1,dt2) values (?,?,?)"),
                   {host, start, end});
}

QStringList reportLines(const QString& report)
{
    // Every line ends with CR LF, the last one too.
    if (!report.endsWith(kCrLf)) return {QStringLiteral("<no final CR LF>")};
    QStringList lines = report.chopped(2).split(kCrLf);
    return lines;
}

}  // namespace

class TestAdminRules : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();

    void hostRefusal_data();
    void hostRefusal();
    void interval_data();
    void interval();
    void recipient_data();
    void recipient();

    void checksReportShowsNewest1500NewestFirst();
    void checksInOneSecondKeepInsertionOrderNewestFirst();
    void checksReportDatesInLocaleForm_data();
    void checksReportDatesInLocaleForm();
    void reportsOfHostWithoutRowsAreHeadersAlone();
    void outagesReportShowsOpenOutageAsZeroTime();
    void reportsKeepToTheirHost();
};

void TestAdminRules::initTestCase()
{
    // The user's locale decides the decimal separator and the date form.
    QLocale::setDefault(QLocale(QLocale::Russian, QLocale::Russia));
}

void TestAdminRules::cleanupTestCase() { QLocale::setDefault(QLocale::c()); }

void TestAdminRules::hostRefusal_data()
{
    QTest::addColumn<QString>("ip");
    QTest::addColumn<QString>("vw");
    QTest::addColumn<QString>("vn");
    QTest::addColumn<QString>("refusal");
    const QString ip64(64, u'h');
    const QString ok;
    QTest::newRow("usual host") << "10.0.0.1"
                                << "1000"
                                << "2" << ok;
    QTest::newRow("64 characters") << ip64 << "1000"
                                   << "2" << ok;
    QTest::newRow("64 characters and blanks") << "  " + ip64 + " "
                                              << "1000"
                                              << "2" << ok;
    QTest::newRow("65 characters") << ip64 + "h"
                                   << "1000"
                                   << "2" << kHostTooLong;
    QTest::newRow("address tested first") << ip64 + "h"
                                          << "abc"
                                          << "99999" << kHostTooLong;
    QTest::newRow("wait 0 is not checked") << "h"
                                           << "0"
                                           << "2" << ok;
    QTest::newRow("wait lowest") << "h"
                                 << "-32768"
                                 << "2" << ok;
    QTest::newRow("wait highest") << "h"
                                  << "32767"
                                  << "2" << ok;
    QTest::newRow("wait with blanks") << "h"
                                      << " 500 "
                                      << "2" << ok;
    QTest::newRow("wait with decimal comma") << "h"
                                             << "999,5"
                                             << "2" << ok;
    QTest::newRow("wait rounds down to even") << "h"
                                              << "32766,5"
                                              << "2" << ok;
    QTest::newRow("wait rounds up past the top") << "h"
                                                 << "32767,5"
                                                 << "2" << kWaitOutOfRange;
    QTest::newRow("wait above") << "h"
                                << "32768"
                                << "2" << kWaitOutOfRange;
    QTest::newRow("wait below") << "h"
                                << "-32769"
                                << "2" << kWaitOutOfRange;
    QTest::newRow("wait text") << "h"
                               << "abc"
                               << "2" << kWaitOutOfRange;
    QTest::newRow("wait empty") << "h"
                                << ""
                                << "2" << kWaitOutOfRange;
    QTest::newRow("count highest") << "h"
                                   << "1000"
                                   << "32767" << ok;
    QTest::newRow("count above") << "h"
                                 << "1000"
                                 << "32768" << kCountTooLarge;
    QTest::newRow("count rounds past the top") << "h"
                                               << "1000"
                                               << "32767,5" << kCountTooLarge;
    QTest::newRow("count in exponent form") << "h"
                                            << "1000"
                                            << "1e5" << kCountTooLarge;
    // Counts the probe replaces by 1 cannot fail.
    QTest::newRow("count 0") << "h"
                             << "1000"
                             << "0" << ok;
    QTest::newRow("count negative") << "h"
                                    << "1000"
                                    << "-40000" << ok;
    QTest::newRow("count text") << "h"
                                << "1000"
                                << "abc" << ok;
    QTest::newRow("count empty") << "h"
                                 << "1000"
                                 << "" << ok;
    QTest::newRow("count leading value below 1") << "h"
                                                 << "1000"
                                                 << "0.5e5" << ok;
}

void TestAdminRules::hostRefusal()
{
    QFETCH(QString, ip);
    QFETCH(QString, vw);
    QFETCH(QString, vn);
    QFETCH(QString, refusal);
    QCOMPARE(sentrok::hostRefusal(ip, vw, vn).value_or(QString()), refusal);
}

void TestAdminRules::interval_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("refusal");
    QTest::addColumn<int>("minutes");
    QTest::newRow("text") << "abc" << kIntervalNotNumber << 0;
    QTest::newRow("empty") << "" << kIntervalNotNumber << 0;
    QTest::newRow("zero") << "0" << kIntervalOutOfRange << 0;
    QTest::newRow("negative") << "-5" << kIntervalOutOfRange << 0;
    QTest::newRow("one half rounds to 0") << "0.5" << kIntervalOutOfRange << 0;
    QTest::newRow("one and a half rounds to 2") << "1.5" << QString() << 2;
    QTest::newRow("two and a half rounds to 2") << "2,5" << QString() << 2;
    QTest::newRow("one") << "1" << QString() << 1;
    QTest::newRow("blanks around") << " 15 " << QString() << 15;
    QTest::newRow("largest whose seconds fit") << "35791394" << QString() << 35791394;
    QTest::newRow("seconds overflow") << "35791395" << kIntervalOutOfRange << 0;
    QTest::newRow("beyond 32 bits") << "5000000000" << kIntervalOutOfRange << 0;
}

void TestAdminRules::interval()
{
    QFETCH(QString, text);
    QFETCH(QString, refusal);
    QFETCH(int, minutes);
    const IntervalInput got = intervalInput(text);
    QCOMPARE(got.refusal, refusal);
    if (refusal.isEmpty()) QCOMPARE(got.minutes, minutes);
}

void TestAdminRules::recipient_data()
{
    QTest::addColumn<QString>("to");
    QTest::addColumn<bool>("refused");
    const QString to254 = QString(242, u'a') + QStringLiteral("@example.org");
    QTest::newRow("254") << to254 << false;
    QTest::newRow("254 and blanks") << " " + to254 + "  " << false;
    QTest::newRow("255") << "b" + to254 << true;
    QTest::newRow("empty") << "" << false;
}

void TestAdminRules::recipient()
{
    QFETCH(QString, to);
    QFETCH(bool, refused);
    QCOMPARE(recipientRefusal(to).has_value(), refused);
    if (refused) QCOMPARE(*recipientRefusal(to), kRecipientTooLong);
}

void TestAdminRules::checksReportShowsNewest1500NewestFirst()
{
    TestFolder f;
    const qint64 host = f.addHost(QStringLiteral("10.0.0.1"));
    // Inserted in shuffled time order, so the report cannot just follow the row ids.
    const int total = 2000;
    f.db().transaction([&] {
        for (int i = 0; i < total; ++i) {
            const int k = (i * 7) % total;
            addCheck(f, host, kBase.addSecs(k * 61), k % 5 == 0 ? -1 : k);
        }
    });
    const QStringList lines = reportLines(checksReport(f.db(), host));
    QCOMPARE(lines.size(), 2 + 1500);
    QCOMPARE(lines[0], QStringLiteral("Date\t\t\tReply time"));
    QCOMPARE(lines[1], QString(34, u'_'));
    for (int n = 0; n < 1500; ++n) {
        const int k = total - 1 - n;
        const QString expected =
            generalDateText(kBase.addSecs(k * 61)) + u'\t' + QString::number(k % 5 == 0 ? -1 : k);
        QCOMPARE(lines[2 + n], expected);
    }
}

void TestAdminRules::checksInOneSecondKeepInsertionOrderNewestFirst()
{
    TestFolder f;
    const qint64 host = f.addHost(QStringLiteral("10.0.0.1"));
    for (int reply : {30, 10, 20}) addCheck(f, host, kBase, reply);
    addCheck(f, host, kBase.addSecs(-1), 99);
    const QStringList lines = reportLines(checksReport(f.db(), host)).mid(2);
    QStringList replies;
    for (const QString& line : lines) replies << line.section(u'\t', 1);
    QCOMPARE(replies, QStringList({"20", "10", "30", "99"}));
}

void TestAdminRules::checksReportDatesInLocaleForm_data()
{
    QTest::addColumn<QString>("stored");
    QTest::addColumn<QString>("shown");
    QTest::newRow("date and time") << "2026-12-07 20:07:11"
                                   << "07.12.2026 20:07:11";
    QTest::newRow("morning hour unpadded") << "2026-01-02 09:05:00"
                                           << "02.01.2026 9:05:00";
    QTest::newRow("midnight shows the date alone") << "2026-12-08 00:00:00"
                                                   << "08.12.2026";
    QTest::newRow("a second after midnight") << "2026-12-08 00:00:01"
                                             << "08.12.2026 0:00:01";
    QTest::newRow("last second of the year") << "2026-12-31 23:59:59"
                                             << "31.12.2026 23:59:59";
    // Rows written by hand or by another tool.
    QTest::newRow("ISO form") << "2026-12-07T20:07:11"
                              << "07.12.2026 20:07:11";
    QTest::newRow("date alone") << "2026-12-07"
                                << "07.12.2026";
    QTest::newRow("no such day stays as stored") << "2026-02-30 10:00:00"
                                                 << "2026-02-30 10:00:00";
    QTest::newRow("not a date stays as stored") << "вчера"
                                                << "вчера";
}

void TestAdminRules::checksReportDatesInLocaleForm()
{
    QFETCH(QString, stored);
    QFETCH(QString, shown);
    TestFolder f;
    const qint64 host = f.addHost(QStringLiteral("10.0.0.1"));
    f.db().execute(
        QStringLiteral("insert into log (id_ip,time_echo,time_wait,dt) values (?,17,'1000',?)"),
        {host, stored});
    QCOMPARE(reportLines(checksReport(f.db(), host)).value(2), shown + "\t17");
}

void TestAdminRules::reportsOfHostWithoutRowsAreHeadersAlone()
{
    TestFolder f;
    const qint64 host = f.addHost(QStringLiteral("10.0.0.1"));
    QCOMPARE(checksReport(f.db(), host), "Date\t\t\tReply time\r\n" + QString(34, u'_') + kCrLf);
    QCOMPARE(outagesReport(f.db(), host), "Date1\t\t\tDate2\r\n" + QString(41, u'_') + kCrLf);
}

void TestAdminRules::outagesReportShowsOpenOutageAsZeroTime()
{
    TestFolder f;
    const qint64 host = f.addHost(QStringLiteral("10.0.0.1"));
    addOutage(f, host, QStringLiteral("2026-12-06 23:59:59"),
              QStringLiteral("2026-12-07 00:00:00"));
    addOutage(f, host, QStringLiteral("2026-12-07 20:07:11"), kZeroDate);
    QStringList rows = reportLines(outagesReport(f.db(), host)).mid(2);
    // Without an order of its own the report follows the database; compare as a set.
    rows.sort();
    QCOMPARE(rows,
             QStringList({"06.12.2026 23:59:59\t07.12.2026", "07.12.2026 20:07:11\t0:00:00"}));
}

void TestAdminRules::reportsKeepToTheirHost()
{
    TestFolder f;
    const qint64 a = f.addHost(QStringLiteral("10.0.0.1"));
    const qint64 b = f.addHost(QStringLiteral("10.0.0.2"));
    addCheck(f, a, kBase, 1);
    addCheck(f, b, kBase.addSecs(1), 2);
    addCheck(f, b, kBase.addSecs(2), 3);
    addOutage(f, b, QStringLiteral("2026-12-07 20:07:11"), kZeroDate);
    QCOMPARE(reportLines(checksReport(f.db(), a)).size(), 3);
    QCOMPARE(reportLines(checksReport(f.db(), b)).size(), 4);
    QCOMPARE(reportLines(outagesReport(f.db(), a)).size(), 2);
    QCOMPARE(reportLines(outagesReport(f.db(), b)).size(), 3);
}

QTEST_GUILESS_MAIN(TestAdminRules)
#include "tst_adminrules.moc"
