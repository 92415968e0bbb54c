#include "common/datetext.h"
#include "history/availability.h"
#include "history/csv.h"
#include "history/historyquery.h"
#include "history/retention.h"
#include "store/maintenance.h"
#include "store/purge.h"
#include "store/schema.h"
#include "store/totals.h"
#include "support/fakes.h"
#include "support/testdb.h"

#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>

#include <algorithm>
#include <ctime>

using namespace sentrok;
using sentrok::test::TestFolder;

namespace {

QDateTime at(const char* text)
{
    return QDateTime::fromString(QString::fromLatin1(text), kStoredDateFormat);
}

struct Check {
    qint64 host;
    QString dt;
    qint64 echo;
};

// What the monitor does for one check: the log row and the totals, in one unit.
void record(Database& db, const Check& c)
{
    db.execute("insert into log (id_ip,time_echo,time_wait,dt) values (?,?,'1000',?)",
               {c.host, c.echo, c.dt});
    addChecksToTotals(db, {{c.host, c.dt, c.echo}});
}

// Checks every 7 minutes over three days for two hosts, one in twenty failed.
std::vector<Check> someChecks(qint64 a, qint64 b)
{
    std::vector<Check> checks;
    QDateTime t = at("2024-03-09 22:03:00");
    for (int i = 0; i < 3 * 24 * 60 / 7; ++i, t = t.addSecs(7 * 60))
        for (qint64 host : {a, b})
            checks.push_back(
                {host, storedDateText(t), (i + host) % 20 == 0 ? -1 : (i * 37 + host) % 300});
    return checks;
}

ReplyTotals bruteForce(const std::vector<Check>& checks, qint64 host, const QDateTime& from,
                       const QDateTime& to)
{
    ReplyTotals t;
    for (const Check& c : checks)
        if (c.host == host && c.dt >= storedDateText(from) && c.dt < storedDateText(to))
            t.addCheck(c.echo);
    return t;
}

std::vector<Outage> outages(std::initializer_list<std::pair<const char*, const char*>> list)
{
    std::vector<Outage> out;
    for (const auto& [a, b] : list)
        out.push_back({at(a).toMSecsSinceEpoch(), b ? at(b).toMSecsSinceEpoch() : -1});
    return out;
}

}  // namespace

class TestHistory : public QObject {
    Q_OBJECT
private slots:
    void figures_data();
    void figures();
    void percentileWithinBound_data();
    void percentileWithinBound();
    void totalsMatchLog_data();
    void totalsMatchLog();
    void upgradeOfVersionOneFile();
    void interruptedUpgradeLeavesFileAsItWas();
    void retentionKeepsFigures();
    void daylightSavingChange();
    void csvQuoting_data();
    void csvQuoting();
    void csvForSpreadsheets_data();
    void csvForSpreadsheets();
    void dbToolAvailability();
    void downtimeWhileAncestorDown_data();
    void downtimeWhileAncestorDown();
    void ancestorsAnyStepUpCount();
    void logWithoutIdColumn();
    void availabilityWithMaintenance_data();
    void availabilityWithMaintenance();
};

void TestHistory::figures_data()
{
    QTest::addColumn<QDateTime>("firstCheck");
    QTest::addColumn<std::vector<Outage>>("list");
    QTest::addColumn<qint64>("periodSecs");
    QTest::addColumn<int>("count");
    QTest::addColumn<qint64>("downtime");
    QTest::addColumn<qint64>("longest");
    QTest::addColumn<qint64>("mttr");  // -1: none restored in the period
    // Every row's period is 2024-05-01 00:00:00 to 2024-05-02 00:00:00 (86400 s).
    const QDateTime early = at("2024-01-01 00:00:00");
    QTest::newRow("no outage") << early << outages({}) << 86400LL << 0 << 0LL << 0LL << -1LL;
    QTest::newRow("inside") << early << outages({{"2024-05-01 10:00:00", "2024-05-01 11:00:00"}})
                            << 86400LL << 1 << 3600LL << 3600LL << 3600LL;
    QTest::newRow("crossing the start")
        << early << outages({{"2024-04-30 23:00:00", "2024-05-01 00:30:00"}}) << 86400LL << 1
        << 1800LL << 1800LL << 5400LL;
    QTest::newRow("crossing the end")
        << early << outages({{"2024-05-01 23:00:00", "2024-05-02 02:00:00"}}) << 86400LL << 1
        << 3600LL << 3600LL << -1LL;
    QTest::newRow("covering all") << early
                                  << outages({{"2024-04-30 00:00:00", "2024-05-03 00:00:00"}})
                                  << 86400LL << 1 << 86400LL << 86400LL << -1LL;
    QTest::newRow("open since before") << early << outages({{"2024-04-30 12:00:00", nullptr}})
                                       << 86400LL << 1 << 86400LL << 86400LL << -1LL;
    QTest::newRow("open inside") << early << outages({{"2024-05-01 18:00:00", nullptr}}) << 86400LL
                                 << 1 << 21600LL << 21600LL << -1LL;
    QTest::newRow("open, begun after") << early << outages({{"2024-05-02 00:00:00", nullptr}})
                                       << 86400LL << 0 << 0LL << 0LL << -1LL;
    QTest::newRow("ended at the start")
        << early << outages({{"2024-04-30 20:00:00", "2024-05-01 00:00:00"}}) << 86400LL << 0 << 0LL
        << 0LL << -1LL;
    QTest::newRow("lasting no time")
        << early << outages({{"2024-05-01 08:00:00", "2024-05-01 08:00:00"}}) << 86400LL << 1 << 0LL
        << 0LL << 0LL;
    QTest::newRow("two, longest and mean")
        << early
        << outages({{"2024-05-01 01:00:00", "2024-05-01 01:10:00"},
                    {"2024-05-01 05:00:00", "2024-05-01 05:30:00"}})
        << 86400LL << 2 << 2400LL << 1800LL << 1200LL;
    // Added at noon: its period is the afternoon, and what happened before does not count.
    QTest::newRow("added mid-period")
        << at("2024-05-01 12:00:00") << outages({{"2024-05-01 18:00:00", "2024-05-01 21:00:00"}})
        << 43200LL << 1 << 10800LL << 10800LL << 10800LL;
    QTest::newRow("added after the period")
        << at("2024-05-03 00:00:00") << outages({}) << 0LL << 0 << 0LL << 0LL << -1LL;
    QTest::newRow("never checked") << QDateTime() << outages({}) << 0LL << 0 << 0LL << 0LL << -1LL;
}

void TestHistory::figures()
{
    QFETCH(QDateTime, firstCheck);
    QFETCH(std::vector<Outage>, list);
    QFETCH(qint64, periodSecs);
    QFETCH(int, count);
    QFETCH(qint64, downtime);
    QFETCH(qint64, longest);
    QFETCH(qint64, mttr);
    HostInput in;
    in.firstCheckMs = firstCheck.isValid() ? firstCheck.toMSecsSinceEpoch() : -1;
    in.outages = list;
    const HostFigures f = figuresFor(in, at("2024-05-01 00:00:00"), at("2024-05-02 00:00:00"));
    QCOMPARE(f.periodSecs, periodSecs);
    QCOMPARE(f.outages, count);
    QCOMPARE(f.downtimeSecs, downtime);
    QCOMPARE(f.longestSecs, longest);
    QCOMPARE(f.mttrSecs.value_or(-1), mttr);
    if (periodSecs == 0) {
        QVERIFY(!f.availability);
        QCOMPARE(tierOf(f.availability), Tier::Unknown);
    } else {
        QCOMPARE(*f.availability, 1.0 - double(downtime) / double(periodSecs));
    }
}

void TestHistory::percentileWithinBound_data()
{
    QTest::addColumn<QList<qint64>>("replies");
    QList<qint64> small, spread, heavy;
    for (int i = 0; i < 200; ++i) small << i % 10;
    for (int i = 0; i < 1000; ++i) spread << 5 + (i * 7919) % 3000;
    for (int i = 0; i < 1000; ++i) heavy << (i % 50 == 0 ? 4000 + i : 20 + i % 5);
    QTest::newRow("below 10 ms, exact") << small;
    QTest::newRow("spread to 3 s") << spread;
    QTest::newRow("a few slow ones") << heavy;
    QTest::newRow("one") << QList<qint64>{250};
}

void TestHistory::percentileWithinBound()
{
    QFETCH(QList<qint64>, replies);
    ReplyTotals t;
    for (qint64 r : replies) t.addCheck(r);
    t.addCheck(-1);  // failed checks have no reply time
    std::sort(replies.begin(), replies.end());
    for (double q : {0.5, 0.95, 1.0}) {
        const qint64 exact = replies[qsizetype(std::ceil(q * replies.size())) - 1];
        const qint64 got = *t.percentile(q);
        QVERIFY2(exact < 10 ? got == exact : std::abs(got - exact) <= exact / 5,
                 qPrintable(QStringLiteral("q %1: %2 for %3").arg(q).arg(got).arg(exact)));
    }
}

void TestHistory::totalsMatchLog_data()
{
    QTest::addColumn<QDateTime>("from");
    QTest::addColumn<QDateTime>("to");
    QTest::addColumn<int>("keepDays");  // 0: the whole log kept
    QTest::newRow("whole hours") << at("2024-03-10 01:00:00") << at("2024-03-10 05:00:00") << 0;
    QTest::newRow("within one hour") << at("2024-03-10 01:10:00") << at("2024-03-10 01:50:00") << 0;
    QTest::newRow("edges inside hours, across days")
        << at("2024-03-09 23:31:00") << at("2024-03-12 13:05:30") << 0;
    QTest::newRow("whole days") << at("2024-03-10 00:00:00") << at("2024-03-12 00:00:00") << 0;
    QTest::newRow("beyond the data") << at("2024-01-01 00:00:00") << at("2024-06-01 00:00:00") << 0;
    // The log keeps one day: the older edge falls back to whole hours, the figures stay.
    QTest::newRow("log thinned, edge on the hour")
        << at("2024-03-10 03:00:00") << at("2024-03-12 13:05:30") << 1;
}

void TestHistory::totalsMatchLog()
{
    QFETCH(QDateTime, from);
    QFETCH(QDateTime, to);
    QFETCH(int, keepDays);
    TestFolder f;
    const qint64 a = f.addHost("10.0.0.1", "a"), b = f.addHost("10.0.0.2", "b");
    const std::vector<Check> checks = someChecks(a, b);
    f.db().transaction([&] {
        for (const Check& c : checks) record(f.db(), c);
    });
    if (keepDays)
        for (qint64 host : {a, b})
            while (deleteOldLogRows(f.db(), host, "2024-03-11 09:00:00", 100)) {
            }
    const auto all = totalsIn(f.db(), from, to);
    for (qint64 host : {a, b}) {
        const ReplyTotals want = bruteForce(checks, host, from, to);
        const ReplyTotals got = all.count(host) ? all.at(host) : ReplyTotals();
        QCOMPARE(got.checks, want.checks);
        QCOMPARE(got.failed, want.failed);
        QCOMPARE(got.replySum, want.replySum);
        QCOMPARE(got.replyMin, want.replyMin);
        QCOMPARE(got.replyMax, want.replyMax);
        QVERIFY(got.buckets == want.buckets);
        // One host alone reads the same.
        const auto one = totalsIn(f.db(), from, to, host);
        QCOMPARE(one.count(host) ? one.at(host).checks : 0, want.checks);
    }
}

void TestHistory::upgradeOfVersionOneFile()
{
    QTemporaryDir dir;
    const QString file = Database::fileIn(dir.path());
    createDatabase(file, 1);
    Database db(file, Database::uniqueName("t"));
    QCOMPARE(schemaVersion(db), 1);
    const qint64 a = addHost(db, "10.0.0.1", "a"), b = addHost(db, "10.0.0.2", "b");
    const std::vector<Check> checks = someChecks(a, b);
    db.transaction([&] {
        for (const Check& c : checks)
            db.execute("insert into log (id_ip,time_echo,time_wait,dt) values (?,?,'1000',?)",
                       {c.host, c.echo, c.dt});
        // A row out of time order, as a clock set back leaves.
        db.execute(
            "insert into log (id_ip,time_echo,time_wait,dt) values (?,5,'1000','2024-03-10 "
            "00:20:00')",
            {a});
    });
    QStringList seen;
    const int steps =
        upgradeSchema(db, [&](int version, const QString& what, qint64 done, qint64 total) {
            seen << QStringLiteral("%1 %2 %3/%4").arg(version).arg(what).arg(done).arg(total);
        });
    QCOMPARE(steps, kSchemaVersion - 1);  // every step from version 1 on
    QCOMPARE(schemaVersion(db), kSchemaVersion);
    const QStringList totals = seen.filter(QRegularExpression("^2 "));
    QVERIFY(!totals.isEmpty());
    QVERIFY(totals.last().endsWith(QStringLiteral("%1/%1").arg(checks.size() + 1)));
    // Rows and totals agree, hour by hour and day by day.
    const QString byHour =
        "select count(*) from (select id_ip, substr(dt,1,13) h, count(*) n, "
        "sum(case when time_echo<0 then 1 else 0 end) f, "
        "sum(case when time_echo>=0 then time_echo else 0 end) s, "
        "min(case when time_echo>=0 then time_echo end) lo, max(time_echo) hi from log "
        "group by id_ip, substr(dt,1,13)) x left join log_hourly t "
        "on t.id_ip=x.id_ip and t.hour=x.h where t.checks is not x.n or t.failed is not x.f "
        "or t.reply_sum is not x.s or t.reply_min is not x.lo or t.reply_max is not x.hi";
    Result r = db.execute(byHour);
    QCOMPARE(r.field(0).toInt(), 0);
    r.close();
    r = db.execute(
        "select (select sum(checks) from log_daily), (select sum(checks) from log_hourly), "
        "(select count(*) from log)");
    QCOMPARE(r.field(0).toInt(), int(checks.size()) + 1);
    QCOMPARE(r.field(1).toInt(), int(checks.size()) + 1);
    QCOMPARE(r.field(2).toInt(), int(checks.size()) + 1);
    r.close();
    // Once is enough.
    QCOMPARE(upgradeSchema(db), 0);
    // The program before this one reads and writes the file as it always did.
    db.execute("insert into log (id_ip,time_echo,time_wait) values (?,'12','1000')", {a});
    db.execute("update options set refresh_time=5");
}

void TestHistory::interruptedUpgradeLeavesFileAsItWas()
{
    QTemporaryDir dir;
    const QString file = Database::fileIn(dir.path());
    createDatabase(file, 1);
    Database db(file, Database::uniqueName("t"));
    const qint64 a = addHost(db, "10.0.0.1", "a");
    db.execute(
        "WITH RECURSIVE n(x) AS (SELECT 0 UNION ALL SELECT x+1 FROM n WHERE x+1<250000) "
        "INSERT INTO log (id_ip,time_echo,time_wait,dt) SELECT ?, x%100, '1000', "
        "datetime('2024-01-01', '+'||(x*60)||' seconds') FROM n",
        {a});
    QVERIFY_THROWS_EXCEPTION(UpgradeCancelled,
                             upgradeSchema(db, [](int, const QString&, qint64 done, qint64) {
                                 if (done >= 100000) throw UpgradeCancelled();
                             }));
    QCOMPARE(schemaVersion(db), 1);
    Result r =
        db.execute("select count(*) from sqlite_master where name in ('log_hourly', 'log_daily')");
    QCOMPARE(r.field(0).toInt(), 0);
    r.close();
    r = db.execute("select count(*) from log");
    QCOMPARE(r.field(0).toInt(), 250000);
    r.close();
    QCOMPARE(upgradeSchema(db), kSchemaVersion - 1);
    r = db.execute("select sum(checks) from log_hourly");
    QCOMPARE(r.field(0).toInt(), 250000);
}

void TestHistory::retentionKeepsFigures()
{
    TestFolder f;
    const qint64 a = f.addHost("10.0.0.1", "a"), b = f.addHost("10.0.0.2", "b");
    const std::vector<Check> checks = someChecks(a, b);
    f.db().transaction([&] {
        for (const Check& c : checks) record(f.db(), c);
        f.db().execute(
            "insert into noconnect (id_ip,dt1,dt2) values (?,'2024-03-10 04:00:00','2024-03-10 "
            "06:30:00')",
            {a});
    });
    const QDateTime from = at("2024-03-09 12:00:00"), to = at("2024-03-12 22:00:00");
    const QString before = figuresCsv(availabilityOf(f.db(), from, to));
    setLogKeepDays(f.db(), 1);
    test::FakeClock clock(at("2024-03-12 12:00:00"));
    LogRetention retention(f.dbFile(), clock);
    QSignalSpy done(&retention, &LogRetention::swept);
    retention.runNow();
    QVERIFY(done.wait(20000));
    QCOMPARE(f.scalar("select count(*) from log where dt < '2024-03-11 12:00:00'"),
             QStringLiteral("0"));
    QVERIFY(f.scalar("select count(*) from log").toInt() > 0);
    QCOMPARE(figuresCsv(availabilityOf(f.db(), from, to)), before);
}

// Stored times are local; a period and an outage across the spring change last what the clock
// on the wall says they last, less the hour that never was.
void TestHistory::daylightSavingChange()
{
    const QByteArray tz = qgetenv("TZ");
    qputenv("TZ", "Europe/Berlin");
    tzset();
    TestFolder f;
    const qint64 a = f.addHost("10.0.0.1", "a");
    f.db().execute(
        "insert into log (id_ip,time_echo,time_wait,dt) values (?,5,'1000','2024-03-30 12:00:00')",
        {a});
    f.db().execute(
        "insert into noconnect (id_ip,dt1,dt2) values (?,'2024-03-31 01:30:00','2024-03-31 "
        "03:30:00')",
        {a});
    const HostFigures got =
        availabilityOf(f.db(), at("2024-03-31 00:00:00"), at("2024-03-31 06:00:00")).front();
    if (tz.isNull())
        qunsetenv("TZ");
    else
        qputenv("TZ", tz);
    tzset();
    QCOMPARE(got.periodSecs, 5 * 3600);
    QCOMPARE(got.downtimeSecs, 3600);
}

void TestHistory::csvQuoting_data()
{
    QTest::addColumn<QString>("desc");
    QTest::addColumn<QString>("field");
    QTest::newRow("plain") << "Router"
                           << "Router";
    QTest::newRow("comma") << "Router, main"
                           << "\"Router, main\"";
    QTest::newRow("quotes") << "the \"main\" one"
                            << "\"the \"\"main\"\" one\"";
    QTest::newRow("Cyrillic with both") << "Роутер \"главный\", этаж 2"
                                        << "\"Роутер \"\"главный\"\", этаж 2\"";
    QTest::newRow("line break") << "a\nb"
                                << "\"a\nb\"";
    QTest::newRow("empty") << ""
                           << "";
}

void TestHistory::csvQuoting()
{
    QFETCH(QString, desc);
    QFETCH(QString, field);
    HostFigures f;
    f.id = 7;
    f.ip = "10.0.0.7";
    f.desc = desc;
    const QString csv = figuresCsv({f});
    QCOMPARE(csv,
             figureHeadings().join(u',') + "\r\n7,10.0.0.7," + field + ",0,0,0,0,,,,,,0,0,0,\r\n");
}

// The same host for a spreadsheet program of each locale: its separator, its decimals, no
// thousands grouped, and a field quoted where it holds that separator.
void TestHistory::csvForSpreadsheets_data()
{
    QTest::addColumn<QLocale>("locale");
    QTest::addColumn<QString>("heading");
    QTest::addColumn<QString>("line");
    const QString heading = figureHeadings().join(u',');
    QTest::newRow("Russian")
        << QLocale(QLocale::Russian, QLocale::Russia)
        << "Код;IP-адрес;Описание;Проверок;Неудачных;Обрывов;Простой, с;Доступность, %;"
           "Ответ мин, мс;Ответ сред, мс;Ответ макс, мс;95-й процентиль, мс;"
           "Простой из-за родителя, с;Обслуживание, с;Простой в обслуживании, с;"
           "Доступность без обслуживания, %"
        << "7;192.0.2.7;\"Шлюз; этаж 2, "
           "\"\"главный\"\"\";3;1;1;108;99,875;1200;1234,5;1269;;60;0;0;";
    QTest::newRow("C") << QLocale::c() << heading
                       << "7,192.0.2.7,\"Шлюз; этаж 2, "
                          "\"\"главный\"\"\",3,1,1,108,99.875,1200,1234.5,1269,,60,0,0,";
    QTest::newRow("German: decimal comma, headings as programs read them")
        << QLocale(QLocale::German, QLocale::Germany) << heading.split(u',').join(u';')
        << "7;192.0.2.7;\"Шлюз; этаж 2, "
           "\"\"главный\"\"\";3;1;1;108;99,875;1200;1234,5;1269;;60;0;0;";
}

void TestHistory::csvForSpreadsheets()
{
    QFETCH(QLocale, locale);
    QFETCH(QString, heading);
    QFETCH(QString, line);
    HostFigures f;
    f.id = 7;
    f.ip = "192.0.2.7";
    f.desc = "Шлюз; этаж 2, \"главный\"";
    f.totals.checks = 3;
    f.totals.failed = 1;
    f.totals.replySum = 2469;
    f.totals.replyMin = 1200;
    f.totals.replyMax = 1269;
    f.outages = 1;
    f.downtimeSecs = 108;
    f.ancestorDownSecs = 60;
    f.availability = 0.99875;
    QCOMPARE(figuresCsv({f}, locale), heading + "\r\n" + line + "\r\n");
}

void TestHistory::dbToolAvailability()
{
    const QString tool = qEnvironmentVariable("SENTROK_BIN_DIR") + "/sentrok-db";
    if (!QFile::exists(tool)) QSKIP("sentrok-db not built beside the tests");
    TestFolder f;
    const qint64 a = f.addHost("10.0.0.1", "Роутер, \"главный\""), b = f.addHost("10.0.0.2", "b");
    f.db().transaction([&] {
        for (const Check& c : someChecks(a, b)) record(f.db(), c);
        f.db().execute("insert into noconnect (id_ip,dt1) values (?,'2024-03-11 18:00:00')", {b});
    });
    const auto run = [&](const QStringList& args, QByteArray* out = nullptr) {
        QProcess p;
        p.start(tool, QStringList{"availability", f.dbFile()} + args);
        p.waitForFinished(20000);
        if (out) *out = p.readAllStandardOutput();
        return p.exitCode();
    };
    QByteArray out;
    const QStringList period{"--from", "2024-03-10 00:00:00", "--to", "2024-03-12 00:00:00"};
    QCOMPARE(run(period + QStringList{"--csv"}, &out), 0);
    std::vector<HostFigures> byId =
        availabilityOf(f.db(), at("2024-03-10 00:00:00"), at("2024-03-12 00:00:00"));
    std::sort(byId.begin(), byId.end(),
              [](const HostFigures& x, const HostFigures& y) { return x.id < y.id; });
    QCOMPARE(QString::fromUtf8(out), figuresCsv(byId));
    // For programs whatever the user's locale: the same text under a Russian one.
    QByteArray russian;
    qputenv("LC_ALL", "ru_RU.UTF-8");
    QCOMPARE(run(period + QStringList{"--csv"}, &russian), 0);
    qunsetenv("LC_ALL");
    QCOMPARE(russian, out);
    QCOMPARE(run(period, &out), 0);
    const QList<QByteArray> lines = out.trimmed().split('\n');
    QCOMPARE(lines.size(), 3);
    // Host b has been down since 18:00 of the last day: 6 of 48 hours.
    QCOMPARE(lines[2].split('\t')[7], QByteArray("87.500"));
    QCOMPARE(run({"--from", "2024-03-10"}), 2);
    // An older file is brought up to date first, by any command.
    QTemporaryDir dir;
    const QString old = dir.filePath("old.mdb");
    createDatabase(old, 1);
    QProcess p;
    p.start(tool, {"add-host", old, "10.0.0.9"});
    QVERIFY(p.waitForFinished(20000));
    QCOMPARE(p.exitCode(), 0);
    QVERIFY(p.readAllStandardError().contains("version 2"));
    Database db(old, Database::uniqueName("t"));
    QCOMPARE(schemaVersion(db), kSchemaVersion);
    QCOMPARE(run({"--from", "2024-03-12 00:00:00", "--to", "2024-03-10 00:00:00"}), 2);
}

// The host is down 10:00 to 12:00 of 2024-05-01 unless told otherwise; the period is that day.
void TestHistory::downtimeWhileAncestorDown_data()
{
    QTest::addColumn<std::vector<Outage>>("own");
    QTest::addColumn<std::vector<Outage>>("ancestors");
    QTest::addColumn<qint64>("behind");
    const auto own = outages({{"2024-05-01 10:00:00", "2024-05-01 12:00:00"}});
    QTest::newRow("no ancestor down") << own << outages({}) << 0LL;
    QTest::newRow("ancestor down all along")
        << own << outages({{"2024-05-01 09:00:00", "2024-05-01 13:00:00"}}) << 7200LL;
    QTest::newRow("ancestor back before the host")
        << own << outages({{"2024-05-01 09:00:00", "2024-05-01 11:00:00"}}) << 3600LL;
    QTest::newRow("two ancestors overlapping count once")
        << own
        << outages({{"2024-05-01 10:30:00", "2024-05-01 11:30:00"},
                    {"2024-05-01 11:00:00", "2024-05-01 11:45:00"}})
        << 4500LL;
    QTest::newRow("ancestor still down")
        << own << outages({{"2024-05-01 11:30:00", nullptr}}) << 1800LL;
    const auto three = outages({{"2024-05-01 10:00:00", "2024-05-01 10:10:00"},
                                {"2024-05-01 10:20:00", "2024-05-01 10:30:00"},
                                {"2024-05-01 10:40:00", "2024-05-01 10:50:00"}});
    QTest::newRow("three own outages inside one of the ancestor")
        << three << outages({{"2024-05-01 09:00:00", "2024-05-01 12:00:00"}}) << 1800LL;
    QTest::newRow("the ancestor back inside the second own outage")
        << three << outages({{"2024-05-01 09:00:00", "2024-05-01 10:25:00"}}) << 900LL;
    QTest::newRow("two ancestor outages across three own")
        << three
        << outages({{"2024-05-01 10:05:00", "2024-05-01 10:25:00"},
                    {"2024-05-01 10:45:00", "2024-05-01 11:00:00"}})
        << 900LL;
    QTest::newRow("only the part inside the period")
        << outages({{"2024-04-30 23:00:00", "2024-05-01 01:00:00"}})
        << outages({{"2024-04-30 22:00:00", "2024-05-01 00:30:00"}}) << 1800LL;
}

void TestHistory::downtimeWhileAncestorDown()
{
    QFETCH(std::vector<Outage>, own);
    QFETCH(std::vector<Outage>, ancestors);
    QFETCH(qint64, behind);
    HostInput in;
    in.firstCheckMs = at("2024-01-01 00:00:00").toMSecsSinceEpoch();
    in.outages = own;
    in.ancestorOutages = ancestors;
    const HostFigures f = figuresFor(in, at("2024-05-01 00:00:00"), at("2024-05-02 00:00:00"));
    QCOMPARE(f.ancestorDownSecs, behind);
    QVERIFY(f.ancestorDownSecs <= f.downtimeSecs);
}

// Core, Branch behind it, Web behind Branch: Core's outage counts for Web though Branch answered,
// whether all hosts are asked for or Web alone.
void TestHistory::ancestorsAnyStepUpCount()
{
    TestFolder f;
    const qint64 core = f.addHost("10.0.0.1", "Core"), branch = f.addHost("10.0.0.2", "Branch"),
                 web = f.addHost("10.0.0.3", "Web");
    f.db().execute("update address set parent=? where id=?", {core, branch});
    f.db().execute("update address set parent=? where id=?", {branch, web});
    for (qint64 id : {core, branch, web}) record(f.db(), {id, "2024-04-01 00:00:00", 3});
    f.db().execute(
        "insert into noconnect (id_ip,dt1,dt2) values (?,'2024-05-01 10:00:00','2024-05-01 "
        "11:00:00')",
        {core});
    f.db().execute(
        "insert into noconnect (id_ip,dt1,dt2) values (?,'2024-05-01 10:30:00','2024-05-01 "
        "12:00:00')",
        {web});
    const QDateTime from = at("2024-05-01 00:00:00"), to = at("2024-05-02 00:00:00");
    for (const std::optional<qint64> asked :
         {std::optional<qint64>(), std::optional<qint64>(web)}) {
        const std::vector<HostFigures> all = availabilityOf(f.db(), from, to, asked);
        const auto it =
            std::find_if(all.begin(), all.end(), [&](const HostFigures& h) { return h.id == web; });
        QVERIFY(it != all.end());
        QCOMPARE(it->downtimeSecs, 5400LL);
        QCOMPARE(it->ancestorDownSecs, 1800LL);
    }
}

// A file made by hand whose log has no id column (its key was each implementer's choice): the
// upgrade, the thinning of old rows and the purge go by the engine's own row number.
void TestHistory::logWithoutIdColumn()
{
    QTemporaryDir dir;
    const QString file = Database::fileIn(dir.path());
    createDatabase(file, 1);
    Database db(file, Database::uniqueName("t"));
    const qint64 a = addHost(db, "10.0.0.1", "a");
    db.execute("drop table log");
    db.execute(
        "create table log (id_ip INTEGER NOT NULL, time_echo INTEGER, time_wait TEXT, dt TEXT)");
    for (const char* dt : {"2024-01-01 10:00:00", "2024-01-01 10:05:00", "2024-03-01 10:00:00"})
        db.execute("insert into log (id_ip,time_echo,time_wait,dt) values (?,7,'1000',?)",
                   {a, QString::fromLatin1(dt)});
    QCOMPARE(upgradeSchema(db), kSchemaVersion - 1);
    QCOMPARE(db.execute("select sum(checks) from log_hourly").field(0).toInt(), 3);
    QVERIFY(deleteOldLogRows(db, a, "2024-02-01 00:00:00", 1));  // one of two, then the other
    QVERIFY(!deleteOldLogRows(db, a, "2024-02-01 00:00:00", 1));
    QCOMPARE(db.execute("select dt from log").field(0).toString(),
             QStringLiteral("2024-03-01 10:00:00"));
    TablePurge purge(file, {"noconnect", "log"}, {"log_hourly", "log_daily"});
    QSignalSpy finished(&purge, &TablePurge::finished);
    purge.start();
    QVERIFY(finished.wait(10000));
    QCOMPARE(finished.at(0).at(0).toString(), QString());
    QCOMPARE(db.execute("select count(*) from log").field(0).toInt(), 0);
}

// A known log: the host checked since the day before, down 10:00 to 12:00 on the day looked at.
// The agreed figure leaves the maintenance time out, and the downtime that fell in it.
void TestHistory::availabilityWithMaintenance_data()
{
    QTest::addColumn<QString>("window");  // host|from|to|repeat; empty: none
    QTest::addColumn<qint64>("maintenance");
    QTest::addColumn<qint64>("maintenanceDown");
    QTest::addColumn<double>("sla");  // -1: nothing left to count
    const double plain = 1.0 - 7200.0 / 86400.0;
    QTest::newRow("none") << "" << 0LL << 0LL << plain;
    QTest::newRow("once, over the outage's second hour")
        << "self|2024-05-01 11:00|2024-05-01 14:00|once" << 10800LL << 3600LL
        << 1.0 - 3600.0 / (86400.0 - 10800.0);
    QTest::newRow("daily across midnight, begun the day before")
        << "self|2024-04-30 23:00|2024-05-01 01:00|daily" << 7200LL << 0LL
        << 1.0 - 7200.0 / (86400.0 - 7200.0);
    QTest::newRow("another host's")
        << "other|2024-05-01 00:00|2024-05-02 00:00|once" << 0LL << 0LL << plain;
    QTest::newRow("every host, the whole day")
        << "all|2024-05-01 00:00|2024-05-02 00:00|once" << 86400LL << 7200LL << -1.0;
}

void TestHistory::availabilityWithMaintenance()
{
    QFETCH(QString, window);
    QFETCH(qint64, maintenance);
    QFETCH(qint64, maintenanceDown);
    QFETCH(double, sla);
    TestFolder f;
    const qint64 host = f.addHost("192.0.2.1", "Router"), other = f.addHost("192.0.2.2", "Web");
    f.db().execute(
        "insert into log (id_ip,time_echo,time_wait,dt) values "
        "(?,5,'1000','2024-04-30 00:00:00')",
        {host});
    f.db().execute(
        "insert into noconnect (id_ip,dt1,dt2) values "
        "(?,'2024-05-01 10:00:00','2024-05-01 12:00:00')",
        {host});
    if (!window.isEmpty()) {
        const QStringList w = window.split(u'|');
        const auto time = [](const QString& t) {
            return QDateTime::fromString(t, "yyyy-MM-dd HH:mm");
        };
        addMaintenanceWindow(f.db(), {.hostId = w[0] == "self"    ? host
                                                : w[0] == "other" ? other
                                                                  : 0,
                                      .from = time(w[1]),
                                      .to = time(w[2]),
                                      .repeat = w[3] == "daily" ? Repeat::Daily : Repeat::Once});
    }
    const std::vector<HostFigures> all =
        availabilityOf(f.db(), at("2024-05-01 00:00:00"), at("2024-05-02 00:00:00"), host);
    QCOMPARE(all.size(), std::size_t(1));
    const HostFigures& got = all.front();
    QCOMPARE(got.downtimeSecs, 7200);
    QCOMPARE(*got.availability, 1.0 - 7200.0 / 86400.0);
    QCOMPARE(got.maintenanceSecs, maintenance);
    QCOMPARE(got.maintenanceDownSecs, maintenanceDown);
    QCOMPARE(got.slaAvailability.value_or(-1.0), sla);
}

QTEST_GUILESS_MAIN(TestHistory)
#include "tst_history.moc"
