#include "common/datetext.h"
#include "common/inputrules.h"
#include "store/database.h"
#include "store/reports.h"
#include "support/testdb.h"

#include <QTest>

using namespace sentrok;
using sentrok::test::TestFolder;

namespace {

void addCheck(TestFolder& f, qint64 host, const QString& at, int reply)
{
    f.db().execute("insert into log (id_ip,time_echo,time_wait,dt) values (?,?,'1000',?)",
                   {host, QString::number(reply), at});
}

// The rows of a report; every line, the last included, must end with CR LF.
QStringList rowsOf(const QString& report, const QString& header, int rule)
{
    const QString head = header + "\r\n" + QString(rule, u'_') + "\r\n";
    if (!report.startsWith(head) || !report.endsWith("\r\n")) return {"<malformed>", report};
    // A report without rows is the header alone: nothing to cut off after it.
    const QString rows = report.mid(head.size());
    return rows.isEmpty() ? QStringList() : rows.chopped(2).split("\r\n");
}
QStringList checks(TestFolder& f, qint64 host)
{
    return rowsOf(checksReport(f.db(), host), "Date\t\t\tReply time", 34);
}
QStringList outages(TestFolder& f, qint64 host)
{
    return rowsOf(outagesReport(f.db(), host), "Date1\t\t\tDate2", 41);
}

}  // namespace

class TestAdminRules : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { QLocale::setDefault(QLocale(QLocale::Russian, QLocale::Russia)); }
    void hostRefusal_data();
    void hostRefusal();
    void checksReportIsNewest1500NewestFirst();
    void reportDates_data();
    void reportDates();
    void outagesReport();
};

void TestAdminRules::hostRefusal_data()
{
    QTest::addColumn<QString>("ip");
    QTest::addColumn<QString>("vw");
    QTest::addColumn<QString>("vn");
    QTest::addColumn<QString>("refusal");
    // 64 characters of a name whose parts DNS allows (at most 63 each).
    const QString ip64 = QString(31, u'h') + u'.' + QString(32, u'h'), ok;
    QTest::newRow("usual") << "10.0.0.1"
                           << "1000"
                           << "2" << ok;
    QTest::newRow("address of 64 and blanks") << " " + ip64 + " "
                                              << "1000"
                                              << "2" << ok;
    QTest::newRow("IPv6 in brackets, with a zone") << "[fe80::1234:5678:9abc:def0%enp0s31f6]"
                                                   << "1000"
                                                   << "2" << ok;
    QTest::newRow("address of 65") << ip64 + "h"
                                   << "1000"
                                   << "2" << kHostTooLong;
    QTest::newRow("wait lowest") << "h"
                                 << "0"
                                 << "2" << ok;
    // A negative wait is no time-out at all: refused, even one that rounds to 0.
    QTest::newRow("wait below zero") << "h"
                                     << "-1"
                                     << "2" << kWaitOutOfRange;
    QTest::newRow("wait -0,4") << "h"
                               << "-0,4"
                               << "2" << kWaitOutOfRange;
    QTest::newRow("wait rounds to even below top") << "h"
                                                   << "32766,5"
                                                   << "2" << ok;
    QTest::newRow("wait rounds past top") << "h"
                                          << "32767,5"
                                          << "2" << kWaitOutOfRange;
    QTest::newRow("wait below") << "h"
                                << "-32769"
                                << "2" << kWaitOutOfRange;
    QTest::newRow("wait text") << "h"
                               << "abc"
                               << "2" << kWaitOutOfRange;
    QTest::newRow("count highest") << "h"
                                   << "1000"
                                   << "32767" << ok;
    QTest::newRow("count above") << "h"
                                 << "1000"
                                 << "32768" << kCountTooLarge;
    QTest::newRow("count in exponent form") << "h"
                                            << "1000"
                                            << "1e5" << kCountTooLarge;
    // Counts the probe replaces by 1 are harmless.
    QTest::newRow("count negative") << "h"
                                    << "1000"
                                    << "-40000" << ok;
    QTest::newRow("count text") << "h"
                                << "1000"
                                << "abc" << ok;
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

void TestAdminRules::checksReportIsNewest1500NewestFirst()
{
    TestFolder f;
    const qint64 host = f.addHost("10.0.0.1"), other = f.addHost("10.0.0.2");
    const QDateTime base(QDate(2026, 12, 7), QTime(20, 7, 11));
    // Shuffled in time, with another host's checks in between, so neither the row ids nor a
    // missing host filter can give the right answer.
    f.db().transaction([&] {
        for (int i = 0; i < 2000; ++i) {
            const int k = (i * 7) % 2000;
            addCheck(f, host, storedDateText(base.addSecs(k * 61)), k % 5 ? k : -1);
            if (i % 4 == 0) addCheck(f, other, storedDateText(base.addSecs(i)), 1);
        }
    });
    const QStringList rows = checks(f, host);
    QCOMPARE(rows.size(), 1500);
    for (int n = 0; n < 1500; ++n) {
        const int k = 1999 - n;
        QCOMPARE(rows[n],
                 generalDateText(base.addSecs(k * 61)) + '\t' + QString::number(k % 5 ? k : -1));
    }
    // Checks of one second: the one written last is the newest.
    for (int reply : {30, 10, 20}) addCheck(f, other, "2030-01-01 00:00:05", reply);
    QCOMPARE(checks(f, other).mid(0, 3),
             QStringList(
                 {"01.01.2030 0:00:05\t20", "01.01.2030 0:00:05\t10", "01.01.2030 0:00:05\t30"}));
}

void TestAdminRules::reportDates_data()
{
    QTest::addColumn<QString>("stored");
    QTest::addColumn<QString>("shown");
    QTest::newRow("date and time") << "2026-12-07 20:07:11"
                                   << "07.12.2026 20:07:11";
    QTest::newRow("hour unpadded") << "2026-01-02 09:05:00"
                                   << "02.01.2026 9:05:00";
    QTest::newRow("midnight: date alone") << "2026-12-08 00:00:00"
                                          << "08.12.2026";
    QTest::newRow("second after midnight") << "2026-12-08 00:00:01"
                                           << "08.12.2026 0:00:01";
    QTest::newRow("zero date: time alone") << kZeroDate << "0:00:00";
    // Rows written by another tool.
    QTest::newRow("ISO form") << "2026-12-07T20:07:11"
                              << "07.12.2026 20:07:11";
    QTest::newRow("no such day") << "2026-02-30 10:00:00"
                                 << "2026-02-30 10:00:00";
    QTest::newRow("not a date") << "вчера"
                                << "вчера";
}

void TestAdminRules::reportDates()
{
    QFETCH(QString, stored);
    QFETCH(QString, shown);
    TestFolder f;
    const qint64 host = f.addHost("10.0.0.1");
    addCheck(f, host, stored, 17);
    QCOMPARE(checks(f, host), QStringList({shown + "\t17"}));
}

void TestAdminRules::outagesReport()
{
    TestFolder f;
    const qint64 host = f.addHost("10.0.0.1"), quiet = f.addHost("10.0.0.2");
    QCOMPARE(outages(f, host), QStringList());
    QCOMPARE(checks(f, host), QStringList());
    f.db().execute(
        "insert into noconnect (id_ip,dt1,dt2) values (?,'2026-12-06 23:59:59','2026-12-07 "
        "00:00:00')",
        {host});
    f.db().execute("insert into noconnect (id_ip,dt1) values (?,'2026-12-07 20:07:11')", {host});
    QStringList rows = outages(f, host);
    rows.sort();  // the report takes the database's order
    QCOMPARE(rows,
             QStringList({"06.12.2026 23:59:59\t07.12.2026", "07.12.2026 20:07:11\t0:00:00"}));
    QCOMPARE(outages(f, quiet), QStringList());
}

QTEST_GUILESS_MAIN(TestAdminRules)
#include "tst_adminrules.moc"
