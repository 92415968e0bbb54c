#include "alerts/sound.h"
#include "common/datetext.h"
#include "monitor/monitor.h"
#include "monitor/viewer.h"
#include "support/fakeprober.h"
#include "support/fakes.h"
#include "support/loopwatch.h"
#include "support/pgserver.h"
#include "support/testdb.h"

#include "common/inputrules.h"
#include "store/lease.h"
#include "store/maintenance.h"
#include "store/schema.h"

#include <QElapsedTimer>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace sentrok;
using namespace sentrok::test;

namespace {

struct Event {
    QString ip, desc, pto, v_w;
    std::uint32_t color;
};

class FakeView final : public MonitorView {
public:
    void PrintStat(const QString& ip, const QString& desc, const QString& pto, const QString& v_w,
                   std::uint32_t color) override
    {
        events << Event{ip, desc, pto, v_w, color};
    }
    void setLastRowToolTip(const QString& text) override { rowTips[events.size() - 1] = text; }
    QString panelText(int p) const override { return panels[p]; }
    void setPanelText(int p, const QString& t) override
    {
        panels[p] = t;
        if (p == 5) progress << t;
    }
    void setPanelToolTip(int p, const QString& t) override { tips[p] = t; }
    void setPanelEnabled(int p, bool e) override { enabled[p] = e; }
    void setStartEnabled(bool e) override { startEnabled = e; }
    void setBusy(bool b) override { busy = b; }
    void reportCheckFailure(const QString& m) override { failures << m; }
    void clearCheckFailures() override { ++passesStarted; }
    void setCondition(Condition c, const QString& t) override
    {
        if (t.isEmpty())
            conditions.remove(c);
        else
            conditions.insert(c, t);
    }

    QList<Event> events;
    QString panels[6] = {{}, "0", "0", "0", "0", "0%"};
    QString tips[6];
    bool enabled[6] = {true, true, true, true, true, true};
    bool startEnabled = true;
    bool busy = false;
    QStringList failures, progress;
    QMap<Condition, QString> conditions;
    int passesStarted = 0;
    QMap<int, QString> rowTips;  // by event
};

// The event rows from `from` on, a letter each: D down, U up, G unreachable, M under maintenance.
QString rowLetters(const FakeView& view, qsizetype from = 0)
{
    QString out;
    for (qsizetype i = from; i < view.events.size(); ++i) {
        const std::uint32_t c = view.events[i].color;
        out += c == kColorDown          ? u'D'
               : c == kColorUp          ? u'U'
               : c == kColorUnreachable ? u'G'
               : c == kColorMaintenance ? u'M'
                                        : u'?';
    }
    return out;
}

struct Rig {
    TestFolder folder;
    FakeProber prober;
    FakeView view;
    RecordingPlayer player;
    Sound sound{player, "/p"};
    FakeClock clock;
    QStringList alerts;
    int noConRefreshes = 0;
    std::unique_ptr<Monitor> monitor;

    explicit Rig(std::int32_t interval = 600)
    {
        sound.setNames("up.wav", "down.wav");
        monitor = std::make_unique<Monitor>(MonitorDeps{.database = folder.dbFile(),
                                                        .prober = &prober,
                                                        .view = &view,
                                                        .clock = &clock,
                                                        .getNoCon = [this] { ++noConRefreshes; }},
                                            interval);
        // The consumers a program's session gives the changes: the event row, the sound, the mail.
        QObject::connect(monitor.get(), &Monitor::changeAnnounced, [this](const HostChange& c) {
            showChange(view, c);
            soundChange(sound, c);
        });
        QObject::connect(monitor.get(), &Monitor::passAnnounced, [this](const PassReport& p) {
            if (!p.alertText.isEmpty()) alerts << p.alertText;
        });
        monitor->setLastPassTime(clock.now());
    }
    // Runs a pass to its end with the answers in prober.answers.
    void pass()
    {
        QSignalSpy done(monitor.get(), &Monitor::passFinished);
        QVERIFY(monitor->RunCheckPass());
        if (done.isEmpty()) QVERIFY(done.wait(5000));
    }
    QString count(const QString& sql, const QVariantList& v = {}) { return folder.scalar(sql, v); }
    // The first column of every row, joined by commas.
    QString list(const QString& sql) { return folder.column(sql).join(u','); }
    void openOutage(qint64 id)
    {
        folder.db().execute("insert into noconnect (id_ip) values (?)", {id});
    }
};

const QString kDown = "/p/down.wav";
const QString kUp = "/p/up.wav";

}  // namespace

class TestMonitor : public QObject {
    Q_OBJECT
private slots:
    void transitions_data();
    void transitions();
    void skippedHostKeepsItsOutage();
    void twoOpenOutagesNeedTwoSuccesses();
    void outageGoesToFirstRecordWithTheAddress();
    void orderedByDescription();
    void panelsOverTwoPasses();
    void emptyTable();
    void countsSkippedButNotAsFailed();
    void alertTextByteForByte();
    void confirmedAndMaintained_data();
    void confirmedAndMaintained();
    void windowForParent_data();
    void windowForParent();
    void noAlertWithoutChange();
    void onePassAtATime();
    void countdownAndPassStart();
    void uptimePanel_data();
    void uptimePanel();
    void menuStartRefreshesOutagesAgain();
    void badHostDoesNotStopThePass();
    void databaseFailureAbandonsOnlyThatCheck();
    void nullFieldAbandonsOnlyThatHost();
    void lastPassTimeFollowsEveryHost();
    void recordsInPassOrderWhateverTheReplyOrder();
    void windowOfProbesInFlight();
    void lockedDatabaseKeepsOutcomesWaiting();
    void deletedDatabaseStopsWritingUntilOneIsBack();
    void repeatedFailureToldOncePerKind();
    void dependencies_data();
    void dependencies();
    void viewerShowsUnreachableGreyAndSilent();
    void followedPassTellsTheSameChanges_data() { dependencies_data(); }
    void followedPassTellsTheSameChanges();
    void refusedAddressIsNotLookedUp();
    void passesAcrossBatchBoundaries_data();
    void passesAcrossBatchBoundaries();
    void requestsAnsweredOnceAndPruned_data();
    void requestsAnsweredOnceAndPruned();
    void lostLeaseToldTruly_data();
    void lostLeaseToldTruly();
    void recordingWaitsShownAfterASecond();
};

void TestMonitor::transitions_data()
{
    QTest::addColumn<bool>("wasDown");
    QTest::addColumn<QString>("result");
    QTest::addColumn<QString>("logged");
    QTest::addColumn<bool>("isDown");
    QTest::addColumn<int>("eventColor");  // 0: no event row
    QTest::addColumn<QString>("sound");
    QTest::addColumn<int>("failed");
    QTest::newRow("up, success") << false << "12"
                                 << "12" << false << 0 << "" << 0;
    QTest::newRow("up, zero ms is success") << false << "0"
                                            << "0" << false << 0 << "" << 0;
    QTest::newRow("up, failure") << false << "-1"
                                 << "-1" << true << int(kColorDown) << kDown << 1;
    QTest::newRow("up, empty result is failure") << false << ""
                                                 << "-1" << true << int(kColorDown) << kDown << 1;
    QTest::newRow("down, failure") << true << "-1"
                                   << "-1" << true << 0 << "" << 1;
    QTest::newRow("down, success") << true << "7"
                                   << "7" << false << int(kColorUp) << kUp << 0;
}

void TestMonitor::transitions()
{
    QFETCH(bool, wasDown);
    QFETCH(QString, result);
    QFETCH(QString, logged);
    QFETCH(bool, isDown);
    QFETCH(int, eventColor);
    QFETCH(QString, sound);
    QFETCH(int, failed);
    Rig r;
    const qint64 id = r.folder.addHost("10.0.0.1", "Router");
    if (wasDown) r.openOutage(id);
    r.prober.answers["10.0.0.1"] = reply(result);
    r.pass();

    QCOMPARE(r.count("select count(*) from log"), QStringLiteral("1"));
    QCOMPARE(r.count("select time_echo from log"), logged);
    QCOMPARE(r.count("select time_wait from log"), QStringLiteral("1000"));
    QCOMPARE(r.count("select dt from log"), storedDateText(r.clock.now()));
    // The totals move with the log, in the same unit.
    QCOMPARE(r.count("select checks||'/'||failed from log_hourly where id_ip=? and hour=?",
                     {id, storedDateText(r.clock.now()).left(13)}),
             failed ? "1/1" : "1/0");
    QCOMPARE(r.count("select count(*) from noconnect where dt2=?", {kZeroDate}),
             isDown ? "1" : "0");
    QCOMPARE(r.view.panels[4], QString::number(failed));
    const QString line = "Router[10.0.0.1]\r\n";
    if (eventColor == 0) {
        QVERIFY(r.view.events.isEmpty());
        QVERIFY(r.player.played.isEmpty());
        QVERIFY(r.monitor->downList().isEmpty() && r.monitor->upList().isEmpty());
        QVERIFY(r.alerts.isEmpty());
        return;
    }
    QCOMPARE(r.view.events.size(), 1);
    const Event& e = r.view.events[0];
    QCOMPARE(e.ip, QStringLiteral("10.0.0.1"));
    QCOMPARE(e.desc, QStringLiteral("Router"));
    QCOMPARE(e.pto, QStringLiteral("1000"));
    QCOMPARE(e.v_w, logged);
    QCOMPARE(int(e.color), eventColor);
    QCOMPARE(r.player.played, QStringList{sound});
    QCOMPARE(eventColor == int(kColorDown) ? r.monitor->downList() : r.monitor->upList(), line);
    QCOMPARE(r.alerts.size(), 1);
    if (wasDown) {
        QCOMPARE(r.count("select dt2 from noconnect"), storedDateText(r.clock.now()));
    } else {
        QCOMPARE(r.count("select id_ip from noconnect"), QString::number(id));
        QCOMPARE(r.count("select dt1 from noconnect"), storedDateText(r.clock.now()));
    }
}

void TestMonitor::skippedHostKeepsItsOutage()
{
    Rig r;
    const qint64 id = r.folder.addHost("10.0.0.1", "Router", "0");
    r.openOutage(id);
    r.folder.addHost("10.0.0.2", "Zero with blank", " 0");
    r.folder.addHost("10.0.0.3", "Double zero", "00");
    r.prober.answers["10.0.0.2"] = reply("1");
    r.prober.answers["10.0.0.3"] = reply("1");
    r.pass();
    QCOMPARE(r.prober.hosts(), QStringList({"10.0.0.3", "10.0.0.2"}));
    QCOMPARE(r.count("select count(*) from log where id_ip=?", {id}), QStringLiteral("0"));
    QCOMPARE(r.count("select dt2 from noconnect where id_ip=?", {id}), kZeroDate);
    QCOMPARE(r.view.panels[3], QStringLiteral("3"));
    QCOMPARE(r.view.panels[4], QStringLiteral("0"));
    QVERIFY(r.view.events.isEmpty());
}

void TestMonitor::twoOpenOutagesNeedTwoSuccesses()
{
    Rig r;
    const qint64 id = r.folder.addHost("10.0.0.1", "Router");
    r.openOutage(id);
    r.openOutage(id);
    r.prober.answers["10.0.0.1"] = reply("3");
    r.pass();
    QCOMPARE(r.count("select count(*) from noconnect where dt2=?", {kZeroDate}),
             QStringLiteral("1"));
    r.clock.advance(700'000);
    r.pass();
    QCOMPARE(r.count("select count(*) from noconnect where dt2=?", {kZeroDate}),
             QStringLiteral("0"));
    QCOMPARE(r.view.events.size(), 2);
    QCOMPARE(r.player.played, QStringList({kUp, kUp}));
    QCOMPARE(r.alerts.size(), 2);
    // The older outage closes first.
    QCOMPARE(r.folder.column("select dt2 from noconnect order by id"),
             QStringList({storedDateText(r.clock.now().addMSecs(-700'000)),
                          storedDateText(r.clock.now())}));
}

void TestMonitor::outageGoesToFirstRecordWithTheAddress()
{
    Rig r;
    const qint64 first = r.folder.addHost("10.0.0.1", "B second record");
    r.folder.addHost("10.0.0.1", "A checked first");
    r.prober.answers["10.0.0.1"] = silent();
    r.pass();
    // One outage, attached to the first record, announced once; the second check finds it open.
    QCOMPARE(r.count("select count(*) from noconnect"), QStringLiteral("1"));
    QCOMPARE(r.count("select id_ip from noconnect"), QString::number(first));
    QCOMPARE(r.view.events.size(), 1);
    QCOMPARE(r.view.events[0].desc, QStringLiteral("A checked first"));
    QCOMPARE(r.view.panels[4], QStringLiteral("2"));
}

void TestMonitor::orderedByDescription()
{
    Rig r;
    for (const auto& [ip, desc] : {std::pair{"10.0.0.1", "Beta"},
                                   {"10.0.0.2", "Alpha"},
                                   {"10.0.0.3", "beta 2"},
                                   {"10.0.0.4", "Архив"},
                                   {"10.0.0.5", "бухгалтерия"},
                                   {"10.0.0.6", "host10"},
                                   {"10.0.0.7", "host9"},
                                   {"10.0.0.8", ""}}) {
        r.folder.addHost(ip, desc);
        r.prober.answers[ip] = reply("1");
    }
    r.pass();
    QCOMPARE(r.prober.hosts(), QStringList({"10.0.0.8", "10.0.0.2", "10.0.0.1", "10.0.0.3",
                                            "10.0.0.6", "10.0.0.7", "10.0.0.4", "10.0.0.5"}));
    QCOMPARE(r.list("select id_ip from log order by id"), QStringLiteral("8,2,1,3,6,7,4,5"));
}

void TestMonitor::panelsOverTwoPasses()
{
    Rig r;
    for (int i = 1; i <= 4; ++i) {
        r.folder.addHost(QStringLiteral("10.0.0.%1").arg(i), QStringLiteral("h%1").arg(i));
        r.prober.answers[QStringLiteral("10.0.0.%1").arg(i)] = reply("1");
    }
    r.pass();
    QCOMPARE(r.view.progress, QStringList({"1%", "2%", "3%", "4%"}));
    QCOMPARE(r.view.panels[3], QStringLiteral("4"));
    r.view.progress.clear();
    r.pass();
    QCOMPARE(r.view.progress, QStringList({"25%", "50%", "75%", "100%"}));
    // A host added since: the figure runs past 100.
    r.folder.addHost("10.0.0.9", "z");
    r.prober.answers["10.0.0.9"] = reply("1");
    r.view.progress.clear();
    r.pass();
    QCOMPARE(r.view.progress.last(), QStringLiteral("125%"));
    QCOMPARE(r.view.tips[4], QStringLiteral("Адресов не пингуется"));
}

void TestMonitor::emptyTable()
{
    Rig r;
    r.pass();
    QVERIFY(r.prober.started.isEmpty());
    QCOMPARE(r.view.panels[3], QStringLiteral("0"));
    QCOMPARE(r.view.panels[4], QStringLiteral("0"));
    QCOMPARE(r.noConRefreshes, 1);
    QVERIFY(r.alerts.isEmpty());
    QVERIFY(r.view.startEnabled);
    QVERIFY(!r.view.busy);
    // The next pass again divides by 100.
    r.folder.addHost("10.0.0.1", "a");
    r.prober.answers["10.0.0.1"] = reply("1");
    r.pass();
    QCOMPARE(r.view.progress, QStringList({"1%"}));
}

void TestMonitor::countsSkippedButNotAsFailed()
{
    Rig r;
    r.folder.addHost("10.0.0.1", "a", "0");
    r.folder.addHost("10.0.0.2", "b");
    r.folder.addHost("10.0.0.3", "c");
    r.prober.answers["10.0.0.2"] = reply("5");
    r.prober.answers["10.0.0.3"] = silent();
    r.pass();
    QCOMPARE(r.view.panels[3], QStringLiteral("3"));
    QCOMPARE(r.view.panels[4], QStringLiteral("1"));
}

void TestMonitor::alertTextByteForByte()
{
    Rig r;
    const qint64 back = r.folder.addHost("10.0.0.2", "Switch");
    r.openOutage(back);
    r.folder.addHost("10.0.0.1", "Router");
    r.prober.answers["10.0.0.1"] = silent();
    r.prober.answers["10.0.0.2"] = reply("4");
    r.pass();
    QCOMPARE(r.alerts,
             QStringList{"NO CONNECT\r\nRouter[10.0.0.1]\r\n\r\nCONNECT\r\nSwitch[10.0.0.2]\r\n"});
    QCOMPARE(Monitor::alertText({}, "X[1]\r\n"),
             QStringLiteral("NO CONNECT\r\n\r\nCONNECT\r\nX[1]\r\n"));
    QCOMPARE(r.noConRefreshes, 1);
}

void TestMonitor::noAlertWithoutChange()
{
    Rig r;
    const qint64 id = r.folder.addHost("10.0.0.1", "still down");
    r.openOutage(id);
    r.folder.addHost("10.0.0.2", "still up");
    r.prober.answers["10.0.0.1"] = silent();
    r.prober.answers["10.0.0.2"] = reply("1");
    r.pass();
    QVERIFY(r.alerts.isEmpty());
    QCOMPARE(r.view.panels[4], QStringLiteral("1"));
}

void TestMonitor::onePassAtATime()
{
    Rig r(0);
    r.folder.addHost("10.0.0.1", "slow");
    QVERIFY(r.monitor->RunCheckPass());
    QTRY_COMPARE(r.prober.pending(), 1);
    QVERIFY(r.monitor->passRunning());
    QVERIFY(r.view.busy);
    QVERIFY(!r.view.startEnabled);
    QVERIFY(!r.view.enabled[2]);
    // Neither another pass, the timer nor the menu starts a second one while it runs.
    QVERIFY(!r.monitor->RunCheckPass());
    r.clock.advance(5000);
    r.monitor->Timer2_Timer();
    r.monitor->mnuStart_Click();
    QCOMPARE(r.prober.started.size(), 1);
    QVERIFY(r.prober.finishHost("10.0.0.1", reply("2")));
    QTRY_VERIFY(!r.monitor->passRunning());
    QVERIFY(!r.view.busy);
    QVERIFY(r.view.startEnabled);
    QVERIFY(r.view.enabled[2]);
    QCOMPARE(r.count("select count(*) from log"), QStringLiteral("1"));
}

void TestMonitor::countdownAndPassStart()
{
    Rig r(600);
    r.folder.addHost("10.0.0.1", "a");
    r.prober.answers["10.0.0.1"] = reply("1");
    QStringList countdown;
    for (int s = 1; s <= 601; ++s) {
        r.clock.advance(1000);
        r.monitor->Timer2_Timer();
        if (s <= 2 || s >= 599) countdown << r.view.panels[1];
        if (s < 601) QVERIFY2(!r.monitor->passRunning(), qPrintable(QString::number(s)));
    }
    QCOMPARE(countdown, QStringList({"599", "598", "1", "0", "-1"}));
    QVERIFY(r.monitor->passRunning());
    QSignalSpy done(r.monitor.get(), &Monitor::passFinished);
    QVERIFY(done.wait(2000));
    // The next pass is one interval after this one ended.
    r.clock.advance(1000);
    r.monitor->Timer2_Timer();
    QCOMPARE(r.view.panels[1], QStringLiteral("599"));
}

void TestMonitor::uptimePanel_data()
{
    QTest::addColumn<qint32>("uptime");
    QTest::addColumn<QString>("minutes");
    QTest::newRow("an hour") << qint32(3'600'000) << "60";
    QTest::newRow("just under a minute") << qint32(59'999) << "0";
    QTest::newRow("past 24.8 days the count is negative") << qint32(-2'147'483'000) << "-35791";
}

void TestMonitor::uptimePanel()
{
    QFETCH(qint32, uptime);
    QFETCH(QString, minutes);
    Rig r;
    r.clock.setUptime(uptime);
    r.monitor->Timer2_Timer();
    QCOMPARE(r.view.panels[2], minutes);
}

void TestMonitor::menuStartRefreshesOutagesAgain()
{
    Rig r;
    r.folder.addHost("10.0.0.1", "a");
    r.prober.answers["10.0.0.1"] = reply("1");
    QSignalSpy done(r.monitor.get(), &Monitor::passFinished);
    r.clock.advance(30'000);
    r.monitor->mnuStart_Click();
    QVERIFY(done.wait(2000));
    QCOMPARE(r.noConRefreshes, 2);
    // A pass from the menu postpones the next timed one.
    QCOMPARE(r.monitor->lastPassTime(), r.clock.now());
}

void TestMonitor::badHostDoesNotStopThePass()
{
    Rig r;
    r.folder.addHost("10.0.0.1", "a first");
    r.folder.addHost("10.0.0.2", "b bad");
    r.folder.addHost("10.0.0.3", "c last");
    r.prober.answers["10.0.0.1"] = silent();
    r.prober.answers["10.0.0.2"] = ProbeOutcome{{}, "время ожидания \"abc\" не число"};
    r.prober.answers["10.0.0.3"] = silent();
    r.pass();
    QCOMPARE(r.view.failures.size(), 1);
    QVERIFY(r.view.failures[0].contains("10.0.0.2"));
    QVERIFY(r.view.failures[0].contains("abc"));
    QCOMPARE(r.count("select count(*) from log"), QStringLiteral("2"));
    QCOMPARE(r.view.panels[3], QStringLiteral("3"));
    QCOMPARE(r.view.panels[4], QStringLiteral("2"));
    QCOMPARE(r.alerts,
             QStringList{"NO CONNECT\r\na first[10.0.0.1]\r\nc last[10.0.0.3]\r\n\r\nCONNECT\r\n"});
}

void TestMonitor::databaseFailureAbandonsOnlyThatCheck()
{
    Rig r;
    r.folder.addHost("10.0.0.1", "a");
    r.folder.addHost("10.0.0.2", "b");
    r.prober.answers["10.0.0.2"] = silent();
    QVERIFY(r.monitor->RunCheckPass());
    QTRY_COMPARE(r.prober.pending(), 1);
    // A trigger refuses the first host's log row, as a broken database would.
    refuseLogRowsOf(r.folder.db(), 1, "refused");
    QSignalSpy done(r.monitor.get(), &Monitor::passFinished);
    QVERIFY(r.prober.finishHost("10.0.0.1", silent()));
    QTRY_COMPARE(done.size(), 1);
    QCOMPARE(r.view.failures.size(), 1);
    QVERIFY(r.view.failures[0].contains("refused"));
    // Nothing of the failed check stays half-written; the next host is fully recorded.
    QCOMPARE(r.count("select count(*) from log where id_ip=1"), QStringLiteral("0"));
    QCOMPARE(r.count("select count(*) from noconnect where id_ip=1"), QStringLiteral("0"));
    QCOMPARE(r.count("select count(*) from noconnect where id_ip=2"), QStringLiteral("1"));
    QCOMPARE(r.alerts.size(), 1);
    QCOMPARE(r.view.events.size(), 1);
    // Both hosts were silent, whether or not the database took the check.
    QCOMPARE(r.view.panels[4], QStringLiteral("2"));
}

void TestMonitor::nullFieldAbandonsOnlyThatHost()
{
    Rig r;
    // A table made by another tool may allow NULLs.
    r.folder.db().execute("create table a2 as select * from address");
    dropReferencedTable(r.folder.db(), "address");
    r.folder.db().execute(
        "create table address (id INTEGER PRIMARY KEY AUTOINCREMENT, ip TEXT, [desc] TEXT, vw "
        "TEXT, vn TEXT, vl TEXT, vi TEXT, color TEXT, parent INTEGER, confirm INTEGER)");
    r.folder.db().execute(
        "insert into address (ip,[desc],vw,vn,vl,vi,color) values "
        "('10.0.0.1','a',NULL,'1','32','255','0')");
    r.folder.addHost("10.0.0.2", "b");
    r.prober.answers["10.0.0.2"] = reply("1");
    r.pass();
    QCOMPARE(r.prober.hosts(), QStringList{"10.0.0.2"});
    QCOMPARE(r.view.failures.size(), 1);
    QVERIFY(r.view.failures[0].contains("vw"));
    QCOMPARE(r.view.panels[3], QStringLiteral("2"));
}

void TestMonitor::lastPassTimeFollowsEveryHost()
{
    Rig r;
    r.folder.addHost("10.0.0.1", "a");
    r.folder.addHost("10.0.0.2", "b");
    const QDateTime start = r.clock.now();
    QVERIFY(r.monitor->RunCheckPass());
    QTRY_COMPARE(r.prober.pending(), 2);
    r.clock.advance(90'000);
    QVERIFY(r.prober.finishHost("10.0.0.1", reply("1")));
    QTRY_COMPARE(r.monitor->lastPassTime(), start.addSecs(90));
    r.monitor->Timer2_Timer();
    QCOMPARE(r.view.panels[1], QStringLiteral("600"));
    r.clock.advance(30'000);
    QVERIFY(r.prober.finishHost("10.0.0.2", reply("1")));
    QTRY_COMPARE(r.monitor->lastPassTime(), start.addSecs(120));
}

void TestMonitor::recordsInPassOrderWhateverTheReplyOrder()
{
    Rig r;
    r.monitor->setMaxInFlight(16);
    QStringList ips;
    for (int i = 1; i <= 5; ++i) {
        ips << QStringLiteral("10.0.0.%1").arg(i);
        r.folder.addHost(ips.last(), QStringLiteral("host %1").arg(i));
    }
    QVERIFY(r.monitor->RunCheckPass());
    QTRY_COMPARE(r.prober.pending(), 5);  // all probed at once
    // Replies come back last first; the first host is silent and answers last of all.
    for (int i = 4; i >= 1; --i) {
        QVERIFY(r.prober.finishHost(ips[i], silent()));
        QCOMPARE(r.count("select count(*) from log"), QStringLiteral("0"));  // held back by host 1
    }
    QVERIFY(r.prober.finishHost(ips[0], silent()));
    QTRY_VERIFY(!r.monitor->passRunning());
    QCOMPARE(r.list("select id_ip from log order by id"), QStringLiteral("1,2,3,4,5"));
    QStringList order;
    for (const Event& e : r.view.events) order << e.ip;
    QCOMPARE(order, ips);
    QCOMPARE(r.view.progress, QStringList({"1%", "2%", "3%", "4%", "5%"}));
}

void TestMonitor::windowOfProbesInFlight()
{
    Rig r;
    r.monitor->setMaxInFlight(2);
    for (int i = 1; i <= 5; ++i)
        r.folder.addHost(QStringLiteral("10.0.0.%1").arg(i), QStringLiteral("h%1").arg(i));
    r.folder.addHost("10.0.0.9", "h0 skipped", "0");
    QVERIFY(r.monitor->RunCheckPass());
    QTRY_COMPARE(r.prober.hosts(), QStringList({"10.0.0.1", "10.0.0.2"}));
    QVERIFY(r.prober.finishHost("10.0.0.2", reply("1")));
    QCOMPARE(r.prober.hosts(), QStringList({"10.0.0.1", "10.0.0.2", "10.0.0.3"}));
    QCOMPARE(r.prober.pending(), 2);
    QVERIFY(r.prober.finishHost("10.0.0.1", reply("1")));
    QVERIFY(r.prober.finishHost("10.0.0.3", reply("1")));
    QVERIFY(r.prober.finishHost("10.0.0.4", reply("1")));
    QVERIFY(r.prober.finishHost("10.0.0.5", reply("1")));
    QTRY_VERIFY(!r.monitor->passRunning());
    QCOMPARE(r.view.panels[3], QStringLiteral("6"));
}

void TestMonitor::lockedDatabaseKeepsOutcomesWaiting()
{
    Rig r;
    const QStringList ips = {"10.0.0.1", "10.0.0.2", "10.0.0.3"};
    for (int i = 0; i < 3; ++i) r.folder.addHost(ips[i], QStringLiteral("h%1").arg(i));
    r.prober.answers[ips[0]] = reply("1");
    r.prober.answers[ips[1]] = silent();
    r.prober.answers[ips[2]] = reply("1");
    r.pass();
    // Another program takes the write lock and keeps it.
    Database other(r.folder.dbFile(), "other");
    holdWriteLock(other);
    r.prober.answers[ips[1]] = reply("2");
    r.prober.answers[ips[2]] = silent();
    r.view.events.clear();
    LoopWatch watch;
    QVERIFY(r.monitor->RunCheckPass());
    QTRY_VERIFY_WITH_TIMEOUT(r.view.conditions.contains(Condition::RecordingWaits), 10000);
    QVERIFY(r.view.conditions[Condition::RecordingWaits].contains("3"));  // outcomes waiting
    QVERIFY(r.monitor->passRunning());
    QVERIFY(r.view.events.isEmpty());
    QTest::qWait(300);
    other.execute("COMMIT");
    QTRY_VERIFY_WITH_TIMEOUT(!r.monitor->passRunning(), 10000);
    QVERIFY(!r.view.conditions.contains(Condition::RecordingWaits));
    // Nothing lost, in the pass's order; the window's loop never waited on the lock.
    QCOMPARE(r.list("select time_echo from log order by id"), QStringLiteral("1,-1,1,1,2,-1"));
    QCOMPARE(r.view.events.size(), 2);
    QCOMPARE(r.view.events[0].color, kColorUp);
    QCOMPARE(r.view.events[1].color, kColorDown);
    QVERIFY2(watch.worst < 1000, qPrintable(QString::number(watch.worst)));
}

void TestMonitor::deletedDatabaseStopsWritingUntilOneIsBack()
{
    Rig r;
    r.folder.addHost("10.0.0.1", "a");
    r.prober.answers["10.0.0.1"] = silent();
    r.pass();
    if (onPostgres()) {
        // The server goes away and comes back: passes meanwhile say so and write nothing; the
        // one after it is back works.
        PgServer::instance().kill();
        r.pass();
        QVERIFY(r.view.conditions.contains(Condition::DatabaseGone));
        QCOMPARE(r.prober.started.size(), 1);
        QVERIFY(PgServer::instance().start());
        r.folder.reconnect();
        r.pass();
        QVERIFY(!r.view.conditions.contains(Condition::DatabaseGone));
        QCOMPARE(r.count("select count(*) from log"), QStringLiteral("2"));
        return;
    }
    const QString file = r.folder.dbFile();
    // Hold the deleted files open to see afterwards what went into them.
    const int db = ::open(QFile::encodeName(file).constData(), O_RDONLY);
    const int wal = ::open(QFile::encodeName(file + "-wal").constData(), O_RDONLY);
    QVERIFY(db >= 0 && wal >= 0);
    for (const char* suffix : {"", "-wal", "-shm"}) QFile::remove(file + suffix);

    r.pass();
    QVERIFY(r.view.conditions.contains(Condition::DatabaseGone));
    QCOMPARE(r.prober.started.size(), 1);  // no host list, no probe
    // The deleted file holds the first pass's check and nothing more.
    QTemporaryDir copy;
    const QString copied = copy.filePath("deleted.mdb");
    QVERIFY(QFile::copy(QStringLiteral("/proc/self/fd/%1").arg(db), copied));
    QVERIFY(QFile::copy(QStringLiteral("/proc/self/fd/%1").arg(wal), copied + "-wal"));
    ::close(db);
    ::close(wal);
    {
        Database deleted(copied, "deleted");
        QCOMPARE(deleted.execute("select count(*) from log").field(0).toInt(), 1);
    }

    // A database is put back at the path: the next pass works on it.
    createDatabase(file);
    r.folder.addHost("10.0.0.9", "z");
    r.prober.answers["10.0.0.9"] = reply("3");
    r.pass();
    QVERIFY(!r.view.conditions.contains(Condition::DatabaseGone));
    QCOMPARE(r.list("select time_echo from log"), QStringLiteral("3"));
}

void TestMonitor::repeatedFailureToldOncePerKind()
{
    Rig r;
    for (int i = 1; i <= 4; ++i)
        r.folder.addHost(QStringLiteral("10.0.0.%1").arg(i), QStringLiteral("h%1").arg(i));
    for (int i = 1; i <= 4; ++i)
        r.prober.answers[QStringLiteral("10.0.0.%1").arg(i)] = {{}, "нет сокета"};
    // Standard error is read through a pipe swapped in for the pass.
    int pipeFds[2];
    QVERIFY(::pipe(pipeFds) == 0);
    fcntl(pipeFds[0], F_SETFL, O_NONBLOCK);
    const int saved = ::dup(2);
    ::dup2(pipeFds[1], 2);
    r.pass();
    r.pass();
    ::dup2(saved, 2);
    ::close(saved);
    ::close(pipeFds[1]);
    QByteArray err(65536, 0);
    const ssize_t n = ::read(pipeFds[0], err.data(), err.size());
    ::close(pipeFds[0]);
    err.truncate(n > 0 ? n : 0);
    const QString text = QString::fromUtf8(err);
    // The window lists every host; standard error names the first and counts the rest.
    QCOMPARE(r.view.failures.size(), 8);
    QCOMPARE(text.count("не проверен"), 1);
    QCOMPARE(text.count("ещё 3 проверок"), 1);
    QCOMPARE(text.count("ещё 4 проверок"), 1);
    QCOMPARE(r.count("select count(*) from log"), QStringLiteral("0"));
}

// Hosts in the pass's order (their descriptions sort so), each "desc;ip;parent ip;before;answer":
// before "down" opens an outage first; answer "-1" fails, a number answers, "skip" sets the wait
// time "0".
void TestMonitor::dependencies_data()
{
    QTest::addColumn<QStringList>("hosts");
    QTest::addColumn<QString>("alert");  // empty: none
    QTest::addColumn<QString>("rows");   // event rows in order: r red, g grey, u green
    QTest::addColumn<QStringList>("sounds");
    const QString none = "NO CONNECT\r\n\r\nCONNECT\r\n";
    QTest::newRow("parent first, children down with it")
        << QStringList{"A router;10.0.0.1;;up;-1", "Mail;10.0.0.3;10.0.0.1;up;-1",
                       "Web;10.0.0.2;10.0.0.1;up;-1"}
        << "NO CONNECT\r\nA router[10.0.0.1]\r\n  Mail[10.0.0.3]\r\n  "
           "Web[10.0.0.2]\r\n\r\nCONNECT\r\n"
        << "rgg" << QStringList{kDown};
    QTest::newRow("parent last, children down with it")
        << QStringList{"Mail;10.0.0.3;10.0.0.1;up;-1", "Web;10.0.0.2;10.0.0.1;up;-1",
                       "Z router;10.0.0.1;;up;-1"}
        << "NO CONNECT\r\nZ router[10.0.0.1]\r\n  Mail[10.0.0.3]\r\n  "
           "Web[10.0.0.2]\r\n\r\nCONNECT\r\n"
        << "ggr" << QStringList{kDown};
    QTest::newRow("chain of three, farthest last")
        << QStringList{"a host;10.0.0.3;10.0.0.2;up;-1", "b branch;10.0.0.2;10.0.0.1;up;-1",
                       "c core;10.0.0.1;;up;-1", "d other;10.0.0.4;;up;-1"}
        << "NO CONNECT\r\nc core[10.0.0.1]\r\n  b branch[10.0.0.2]\r\n    a host[10.0.0.3]\r\n"
           "d other[10.0.0.4]\r\n\r\nCONNECT\r\n"
        << "ggrr" << QStringList{kDown, kDown};
    QTest::newRow("chain with an unmonitored middle")
        << QStringList{"a host;10.0.0.3;10.0.0.2;up;-1", "b branch;10.0.0.2;10.0.0.1;up;skip",
                       "c core;10.0.0.1;;up;-1"}
        << "NO CONNECT\r\nc core[10.0.0.1]\r\n  a host[10.0.0.3]\r\n\r\nCONNECT\r\n"
        << "gr" << QStringList{kDown};
    QTest::newRow("child down while its parent answers")
        << QStringList{"Router;10.0.0.1;;up;3", "Web;10.0.0.2;10.0.0.1;up;-1"}
        << "NO CONNECT\r\nWeb[10.0.0.2]\r\n\r\nCONNECT\r\n"
        << "r" << QStringList{kDown};
    QTest::newRow("parent down before the pass")
        << QStringList{"Router;10.0.0.1;;down;-1", "Web;10.0.0.2;10.0.0.1;up;-1"}
        << "NO CONNECT\r\nRouter[10.0.0.1] (всё ещё нет связи)\r\n  "
           "Web[10.0.0.2]\r\n\r\nCONNECT\r\n"
        << "g" << QStringList{};
    QTest::newRow("parent unmonitored, its outage open")
        << QStringList{"Router;10.0.0.1;;down;skip", "Web;10.0.0.2;10.0.0.1;up;-1"}
        << "NO CONNECT\r\nRouter[10.0.0.1] (всё ещё нет связи)\r\n  "
           "Web[10.0.0.2]\r\n\r\nCONNECT\r\n"
        << "g" << QStringList{};
    QTest::newRow("parent back, child down in the same pass")
        << QStringList{"Router;10.0.0.1;;down;3", "Web;10.0.0.2;10.0.0.1;up;-1"}
        << "NO CONNECT\r\nWeb[10.0.0.2]\r\n\r\nCONNECT\r\nRouter[10.0.0.1]\r\n"
        << "ur" << QStringList{kUp, kDown};
    QTest::newRow("children back with their parent, parent last")
        << QStringList{"Mail;10.0.0.3;10.0.0.1;down;1", "Web;10.0.0.2;10.0.0.1;down;2",
                       "Z router;10.0.0.1;;down;3"}
        << "NO CONNECT\r\n\r\nCONNECT\r\nZ router[10.0.0.1]\r\n  Mail[10.0.0.3]\r\n  "
           "Web[10.0.0.2]\r\n"
        << "uuu" << QStringList{kUp, kUp, kUp};
    QTest::newRow("back under the nearest ancestor back, through a middle host unchanged")
        << QStringList{"a host;10.0.0.3;10.0.0.2;down;1", "b branch;10.0.0.2;10.0.0.1;up;2",
                       "c core;10.0.0.1;;down;3"}
        << "NO CONNECT\r\n\r\nCONNECT\r\nc core[10.0.0.1]\r\n  a host[10.0.0.3]\r\n"
        << "uu" << QStringList{kUp, kUp};
    QTest::newRow("child back while its parent stays down")
        << QStringList{"Router;10.0.0.1;;down;-1", "Web;10.0.0.2;10.0.0.1;down;2"}
        << none + "Web[10.0.0.2]\r\n"
        << "u" << QStringList{kUp};
    // Written by another tool: the monitor must neither hang nor lose the hosts.
    QTest::newRow("a circle counts as no parents")
        << QStringList{"A;10.0.0.1;10.0.0.2;up;-1", "B;10.0.0.2;10.0.0.1;up;-1"}
        << "NO CONNECT\r\nA[10.0.0.1]\r\nB[10.0.0.2]\r\n\r\nCONNECT\r\n"
        << "rr" << QStringList{kDown, kDown};
}

// The hosts of a dependencies row ("desc;ip;parent ip;state before;answer or skip") in the rig,
// their answers given; returns the addresses checked and counts the outages open after the pass.
QStringList setUpHosts(Rig& r, const QStringList& hosts, int* openAfter)
{
    QHash<QString, qint64> ids;
    QStringList checked;
    for (const QString& h : hosts) {
        const QStringList f = h.split(';');
        const bool skip = f[4] == "skip";
        ids[f[1]] = r.folder.addHost(f[1], f[0], skip ? "0" : "1000");
        if (f[3] == "down") r.openOutage(ids[f[1]]);
        if (!skip) {
            r.prober.answers[f[1]] = reply(f[4]);
            checked << f[1];
        }
        *openAfter += (skip ? f[3] == "down" : f[4] == "-1") ? 1 : 0;
    }
    for (const QString& h : hosts) {
        const QStringList f = h.split(';');
        if (!f[2].isEmpty())
            r.folder.db().execute("update address set parent=? where id=?", {ids[f[2]], ids[f[1]]});
    }
    return checked;
}

void TestMonitor::dependencies()
{
    QFETCH(QStringList, hosts);
    QFETCH(QString, alert);
    QFETCH(QString, rows);
    QFETCH(QStringList, sounds);
    Rig r;
    int openAfter = 0;
    const QStringList checked = setUpHosts(r, hosts, &openAfter);
    r.pass();
    QCOMPARE(r.alerts, alert.isEmpty() ? QStringList() : QStringList{alert});
    QString seen;
    for (const Event& e : r.view.events)
        seen += e.color == kColorDown          ? 'r'
                : e.color == kColorUnreachable ? 'g'
                : e.color == kColorUp          ? 'u'
                                               : '?';
    QCOMPARE(seen, rows);
    QCOMPARE(r.player.played, sounds);
    // The checks and outages are recorded as for hosts without parents, in the pass's order.
    QCOMPARE(r.list("select a.ip from log l join address a on a.id=l.id_ip order by l.id"),
             checked.join(','));
    QCOMPARE(r.count("select count(*) from noconnect where dt2=?", {kZeroDate}),
             QString::number(openAfter));
    // The viewers of another desktop learn which changes were unreachable.
    QCOMPARE(r.count("select count(*) from events where ancestor is not null"),
             QString::number(rows.count('g')));
}

// A desktop that follows another process's monitoring hears of its passes as that process does:
// the same changes with the same ancestors, and the same alert text, byte for byte.
void TestMonitor::followedPassTellsTheSameChanges()
{
    QFETCH(QStringList, hosts);
    QFETCH(QString, alert);
    Rig r;
    int openAfter = 0;
    setUpHosts(r, hosts, &openAfter);
    FakeView view;
    Viewer viewer(
        {.database = r.folder.dbFile(), .view = &view, .clock = &r.clock, .getNoCon = {}});
    QSignalSpy followed(&viewer, &Viewer::passAnnounced);
    QSignalSpy checked(r.monitor.get(), &Monitor::passAnnounced);
    viewer.start();
    r.pass();
    // The pass's end is recorded just after it has ended here: looked for until it is there.
    QTRY_COMPARE_WITH_TIMEOUT((viewer.poll(), followed.size()), 1, 5000);
    QCOMPARE(checked.size(), 1);
    const auto told = [](const QSignalSpy& spy) {
        const PassReport report = spy.at(0).at(0).value<PassReport>();
        QStringList out{report.alertText};
        for (const HostChange& c : report.changes)
            out << QStringLiteral("%1 %2 %3 %4 %5")
                       .arg(c.host.ip)
                       .arg(int(c.kind))
                       .arg(c.ancestor ? c.ancestor->ip : "-")
                       .arg(c.wait, c.reply);
        return out;
    };
    QCOMPARE(told(checked).first(), alert.isEmpty() ? QString() : alert);
    QCOMPARE(told(followed), told(checked));
}

void TestMonitor::viewerShowsUnreachableGreyAndSilent()
{
    Rig r;
    const qint64 router = r.folder.addHost("10.0.0.1", "Router");
    const qint64 web = r.folder.addHost("10.0.0.2", "Web");
    r.folder.db().execute("update address set parent=? where id=?", {router, web});
    FakeView view;
    RecordingPlayer player;
    Sound sound(player, "/p");
    sound.setNames("up.wav", "down.wav");
    Viewer viewer(
        {.database = r.folder.dbFile(), .view = &view, .clock = &r.clock, .getNoCon = {}});
    QObject::connect(&viewer, &Viewer::changeAnnounced, [&](const HostChange& c) {
        showChange(view, c);
        soundChange(sound, c);
    });
    viewer.start();
    r.prober.answers["10.0.0.1"] = silent();
    r.prober.answers["10.0.0.2"] = silent();
    r.pass();
    viewer.poll();
    QCOMPARE(view.events.size(), 2);
    QCOMPARE(view.events[0].color, kColorDown);
    QCOMPARE(view.events[1].color, kColorUnreachable);
    QCOMPARE(player.played, QStringList{kDown});
}

// One host through passes 700 s apart, its answers one a pass ("-1" fails). `window`: the passes
// a maintenance window covers, "2-3" for the third and fourth. `rows`: each pass's event rows
// (rowLetters, "-" for none), on the monitor's window and on a viewer following it alike.
void TestMonitor::confirmedAndMaintained_data()
{
    QTest::addColumn<int>("confirm");
    QTest::addColumn<QString>("answers");
    QTest::addColumn<QString>("window");
    QTest::addColumn<QString>("rows");
    QTest::addColumn<QString>("sounds");
    QTest::addColumn<int>("alerts");
    QTest::newRow("confirmation 1") << 1 << "-1,-1,5"
                                    << ""
                                    << "D,-,U"
                                    << "D,U" << 2;
    QTest::newRow("3 with a blip of 2") << 3 << "-1,-1,5,5"
                                        << ""
                                        << "-,-,-,-"
                                        << "" << 0;
    QTest::newRow("3 reached") << 3 << "-1,-1,-1,-1,5"
                               << ""
                               << "-,-,D,-,U"
                               << "D,U" << 2;
    QTest::newRow("maintenance starting mid-outage") << 1 << "-1,-1,5,5"
                                                     << "1-2"
                                                     << "D,-,M,-"
                                                     << "D" << 1;
    QTest::newRow("maintenance ending mid-outage") << 1 << "-1,-1,-1,5"
                                                   << "0-1"
                                                   << "M,-,D,U"
                                                   << "D,U" << 2;
    QTest::newRow("maintenance ending before confirmation") << 2 << "-1,-1,-1,5"
                                                            << "0-0"
                                                            << "-,D,-,U"
                                                            << "D,U" << 2;
}

void TestMonitor::confirmedAndMaintained()
{
    QFETCH(int, confirm);
    QFETCH(QString, answers);
    QFETCH(QString, window);
    QFETCH(QString, rows);
    QFETCH(QString, sounds);
    QFETCH(int, alerts);
    Rig r;
    const qint64 id = r.folder.addHost("10.0.0.1", "Router");
    QVERIFY(setConfirm(r.folder.db(), id, confirm));
    const QDateTime start = r.clock.now();
    constexpr qint64 kApartSecs = 700;
    if (!window.isEmpty()) {
        const QStringList span = window.split(u'-');
        addMaintenanceWindow(r.folder.db(),
                             {.hostId = id,
                              .from = start.addSecs(span[0].toInt() * kApartSecs - 10),
                              .to = start.addSecs(span[1].toInt() * kApartSecs + 10),
                              .comment = "замена блока питания"});
    }
    FakeView followed;
    Viewer viewer(
        {.database = r.folder.dbFile(), .view = &followed, .clock = &r.clock, .getNoCon = {}});
    QObject::connect(&viewer, &Viewer::changeAnnounced,
                     [&](const HostChange& c) { showChange(followed, c); });
    viewer.start();
    QStringList got, gotFollowed;
    int runs = 0;  // runs of failed checks: each opens one outage, announced or not
    bool failing = false;
    for (const QString& answer : answers.split(u',')) {
        const qsizetype before = r.view.events.size(), followedBefore = followed.events.size();
        r.prober.answers["10.0.0.1"] = reply(answer);
        r.pass();
        viewer.poll();
        got << (r.view.events.size() == before ? QStringLiteral("-") : rowLetters(r.view, before));
        gotFollowed << (followed.events.size() == followedBefore
                            ? QStringLiteral("-")
                            : rowLetters(followed, followedBefore));
        if (answer == "-1" && !failing) ++runs;
        failing = answer == "-1";
        r.clock.advance(kApartSecs * 1000);
    }
    QCOMPARE(got.join(u','), rows);
    QCOMPARE(gotFollowed.join(u','), rows);
    QStringList played;
    for (const QString& file : r.player.played) played << (file == kDown ? "D" : "U");
    QCOMPARE(played.join(u','), sounds);
    QCOMPARE(r.alerts.size(), alerts);
    // Recorded as it happened, whatever was announced.
    QCOMPARE(r.count("select count(*) from noconnect"), QString::number(runs));
    for (auto it = r.view.rowTips.cbegin(); it != r.view.rowTips.cend(); ++it)
        QCOMPARE(it.value(), QStringLiteral("Обслуживание: замена блока питания"));
    QCOMPARE(r.view.rowTips.size(), qsizetype(rows.count(u'M')));
}

// A window for a router: the hosts behind it are under maintenance too where it says so, and
// otherwise unreachable behind it as always.
void TestMonitor::windowForParent_data()
{
    QTest::addColumn<bool>("withChildren");
    QTest::addColumn<QString>("rows");
    QTest::addColumn<int>("alerts");  // the host behind, unreachable: in the mail as always
    QTest::newRow("with children") << true << "MM" << 0;
    QTest::newRow("the router alone") << false << "MG" << 1;
}

void TestMonitor::windowForParent()
{
    QFETCH(bool, withChildren);
    QFETCH(QString, rows);
    QFETCH(int, alerts);
    Rig r;
    const qint64 router = r.folder.addHost("10.0.0.1", "Router");
    const qint64 web = r.folder.addHost("10.0.0.2", "Web");
    r.folder.db().execute("update address set parent=? where id=?", {router, web});
    addMaintenanceWindow(r.folder.db(), {.hostId = router,
                                         .withChildren = withChildren,
                                         .from = r.clock.now().addSecs(-60),
                                         .to = r.clock.now().addSecs(3600)});
    r.prober.answers["10.0.0.1"] = silent();
    r.prober.answers["10.0.0.2"] = silent();
    r.pass();
    QCOMPARE(rowLetters(r.view), rows);
    QVERIFY(r.player.played.isEmpty());
    QCOMPARE(r.alerts.size(), alerts);
}

void TestMonitor::refusedAddressIsNotLookedUp()
{
    Rig r;
    r.folder.addHost("999.1.1.1", "typed wrong");
    r.folder.addHost("10.0.0.1", "z fine");
    r.prober.answers["10.0.0.1"] = reply("1");
    r.pass();
    QCOMPARE(r.prober.hosts(), QStringList{"10.0.0.1"});
    QCOMPARE(r.view.failures, QStringList{"Хост 999.1.1.1 «typed wrong» не проверен: " + kBadIPv4});
    QCOMPARE(r.count("select count(*) from log"), QStringLiteral("1"));
}

// Outcomes go to the database in statements of 200 rows; a pass of each size around that opens
// (or, for hosts down before, closes) one outage per host, with one log row and one event each.
void TestMonitor::passesAcrossBatchBoundaries_data()
{
    QTest::addColumn<int>("hosts");
    QTest::addColumn<bool>("wereDown");
    for (const int n : {199, 200, 201, 401})
        for (const bool down : {false, true})
            QTest::addRow("%d hosts %s", n, down ? "back" : "down") << n << down;
    QTest::newRow("1001 hosts: two batches of the monitor") << 1001 << false;
}

void TestMonitor::passesAcrossBatchBoundaries()
{
    QFETCH(int, hosts);
    QFETCH(bool, wereDown);
    Rig r;
    r.folder.db().transaction([&] {
        for (int i = 0; i < hosts; ++i) {
            const QString ip = QStringLiteral("10.0.%1.%2").arg(i / 250).arg(i % 250 + 1);
            const qint64 id =
                r.folder.addHost(ip, QStringLiteral("h%1").arg(i, 4, 10, QLatin1Char('0')));
            if (wereDown) r.openOutage(id);
            r.prober.answers[ip] = wereDown ? reply("2") : silent();
        }
    });
    r.pass();
    const QString n = QString::number(hosts);
    QCOMPARE(r.count("select count(*) from log"), n);
    QCOMPARE(r.count("select count(distinct id_ip) from log"), n);
    QCOMPARE(r.count("select count(distinct id_ip) from noconnect"), n);
    QCOMPARE(r.count("select count(*) from noconnect where dt2=?", {kZeroDate}),
             wereDown ? "0" : n);
    QCOMPARE(r.count("select count(distinct id_ip) from events where kind=?",
                     {wereDown ? "up" : "down"}),
             n);
    QCOMPARE(r.view.events.size(), hosts);
}

// A leased monitor, with requests for a pass written as other windows write them: "before" ones
// wait when it takes the lease, "failed" ones come while their table cannot be read.
void TestMonitor::requestsAnsweredOnceAndPruned_data()
{
    QTest::addColumn<QString>("when");
    QTest::newRow("made while nobody held the lease") << "before";
    QTest::newRow("made while a pass ran") << "during";
    QTest::newRow("made while the requests could not be read") << "failed";
}

void TestMonitor::requestsAnsweredOnceAndPruned()
{
    QFETCH(QString, when);
    Rig r;
    r.folder.addHost("10.0.0.1", "a");
    const auto request = [&] {
        r.folder.db().execute(
            "insert into pass_requests (requested,requested_by) values (?,'другое окно')",
            {storedDateText(r.clock.now())});
    };
    if (when == "before") request();
    if (when != "during") r.prober.answers["10.0.0.1"] = reply("1");
    QSignalSpy passes(r.monitor.get(), &Monitor::passFinished);
    r.monitor->setLeased("этот процесс");
    r.monitor->start();
    QTRY_VERIFY_WITH_TIMEOUT(r.monitor->active(), 10000);
    if (when == "during") {
        QVERIFY(r.monitor->RunCheckPass());
        QTRY_COMPARE(r.prober.pending(), 1);
        for (int i = 0; i < 3; ++i) request();
        r.prober.answers["10.0.0.1"] = reply("1");
        QVERIFY(r.prober.finishHost("10.0.0.1", reply("1")));
    }
    if (when == "failed") {
        r.folder.db().execute("alter table pass_requests rename to held_away");
        QTest::qWait(2500);  // a look or two at the requests fails meanwhile
        r.folder.db().execute("alter table held_away rename to pass_requests");
        request();
        request();
    }
    const int before = when == "during" ? 1 : 0;
    QTRY_COMPARE_WITH_TIMEOUT(passes.size(), before + 1, 10000);
    QTRY_COMPARE(r.count("select count(*) from pass_requests"), QStringLiteral("0"));
    // However many there were: one pass for them, and none for requests already answered.
    QTest::qWait(2500);
    QCOMPARE(passes.size(), before + 1);
}

// The lease lost in the middle of a pass: the pass is dropped, and the words say why.
void TestMonitor::lostLeaseToldTruly_data()
{
    QTest::addColumn<bool>("otherTakesIt");
    QTest::addColumn<QString>("words");
    QTest::newRow("nobody else holds it") << false << "Право на проверки потеряно";
    QTest::newRow("another process took it")
        << true << "Проверки теперь ведёт sentrok-monitor на b, pid 2";
}

void TestMonitor::lostLeaseToldTruly()
{
    QFETCH(bool, otherTakesIt);
    QFETCH(QString, words);
    Rig r;
    r.folder.addHost("10.0.0.1", "a");
    r.monitor->setLeased("этот процесс");
    r.monitor->start();
    QTRY_VERIFY_WITH_TIMEOUT(r.monitor->active(), 10000);
    QVERIFY(r.monitor->RunCheckPass());
    QTRY_COMPARE(r.prober.pending(), 1);
    // The lease goes as it goes in life: the file deleted (as by a clean-up), or the server
    // session ended.
    std::unique_ptr<Database> other;
    std::unique_ptr<Lease> theirs;
    endLeaseFromOutside(r.folder);
    if (otherTakesIt) {
        other = std::make_unique<Database>(r.folder.dbFile(), "other");
        theirs = Lease::of(*other);
        QTRY_VERIFY(theirs->tryAcquire("sentrok-monitor на b, pid 2"));
    }
    QSignalSpy done(r.monitor.get(), &Monitor::passFinished);
    QVERIFY(r.prober.finishHost("10.0.0.1", silent()));
    QTRY_COMPARE_WITH_TIMEOUT(done.size(), 1, 10000);
    QCOMPARE(r.view.failures.size(), 1);
    QVERIFY2(r.view.failures[0].contains(words), qPrintable(r.view.failures[0]));
    QCOMPARE(r.count("select count(*) from log"), QStringLiteral("0"));
}

// Another program holds the write lock: the wait is shown once it has lasted a second, not before.
void TestMonitor::recordingWaitsShownAfterASecond()
{
    Rig r;
    r.folder.addHost("10.0.0.1", "a");
    r.prober.answers["10.0.0.1"] = reply("1");
    Database other(r.folder.dbFile(), "other");
    holdWriteLock(other);
    QElapsedTimer waited;
    waited.start();
    QVERIFY(r.monitor->RunCheckPass());
    QTRY_VERIFY_WITH_TIMEOUT(r.view.conditions.contains(Condition::RecordingWaits), 8000);
    const qint64 shownAfter = waited.elapsed();
    other.execute("COMMIT");
    QVERIFY2(shownAfter >= 1000, qPrintable(QString::number(shownAfter)));
    QTRY_VERIFY_WITH_TIMEOUT(!r.monitor->passRunning(), 10000);
    QVERIFY(!r.view.conditions.contains(Condition::RecordingWaits));
}

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    TestMonitor tests;
    return runOnBothEngines(&tests, argc, argv);
}
#include "tst_monitor.moc"
