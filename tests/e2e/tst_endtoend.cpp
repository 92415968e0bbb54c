// The whole monitor with real ICMP echo, inside the test network namespace: the main window,
// the probe, the database file, the outage window and the alert text.

#include "alerts/mailalert.h"
#include "alerts/sound.h"
#include "common/datetext.h"
#include "monitor/monitor.h"
#include "probe/echoprober.h"
#include "support/fakes.h"
#include "support/netns.h"
#include "support/testdb.h"
#include "ui/controls/flexgrid.h"
#include "ui/main/frmmain.h"

#include <QSignalSpy>
#include <QTest>

using namespace sentrok;
using namespace sentrok::test;

class TestEndToEnd : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void outageAndRestorationOverRealEcho();
};

void TestEndToEnd::initTestCase()
{
    if (const QString why = netnsUnavailable(); !why.isEmpty()) QSKIP(qPrintable(why));
}

void TestEndToEnd::outageAndRestorationOverRealEcho()
{
    TestFolder folder;
    QTemporaryDir locks;
    FakeMessageBoxes boxes;
    SystemClock clock;
    RecordingPlayer player;
    EchoProber prober;
    QStringList socketProblems;
    connect(&prober, &EchoProber::socketUnavailable, this,
            [&](const QString& m) { socketProblems << m; });
    folder.db().execute("update options set snd_up='up.wav', snd_down='down.wav'");
    const qint64 up = folder.addHost("127.0.0.2", "Answering", "500");
    const qint64 down = folder.addHost("127.0.0.3", "Silent", "300");
    const qint64 skipped = folder.addHost("127.0.0.4", "Not checked", "0");
    folder.db().execute(
        "insert into emails (smtp,[from],email,[desc]) values "
        "('127.0.0.1','monitor@example.org','admin@example.org','')");

    // Port 1 on loopback refuses at once: the mail state is what is checked here.
    // Port 1 on loopback refuses at once.
    Session session({.program = QStringLiteral("sentrok"),
                     .programFolder = folder.path(),
                     .database = {},
                     .clock = &clock,
                     .boxes = &boxes,
                     .player = &player,
                     .prober = &prober,
                     .smtpPort = 1});
    frmMain w({.programFolder = folder.path(),
               .lockFolder = locks.path(),
               .boxes = &boxes,
               .clock = &clock,
               .session = &session});
    QVERIFY(w.Form_Load());
    Monitor* m = w.monitor();

    auto pass = [&] {
        QSignalSpy done(m, &Monitor::passFinished);
        QVERIFY(m->RunCheckPass());
        QVERIFY(done.wait(10000));
    };
    {
        Responder responder({"127.0.0.2 reply delay=5", "127.0.0.3 silent", "127.0.0.4 reply"});
        QVERIFY2(responder.error().isEmpty(), qPrintable(responder.error()));
        pass();
        QVERIFY(socketProblems.isEmpty());
        // The skipped host was never probed.
        QVERIFY(responder.seenBy("127.0.0.4").isEmpty());
        QCOMPARE(responder.seenBy("127.0.0.3").size(), 2);  // two echoes, the record's default
    }
    const int rtt = folder.scalar("select time_echo from log where id_ip=?", {up}).toInt();
    QVERIFY2(rtt >= 4 && rtt <= 60, qPrintable(QString::number(rtt)));
    QCOMPARE(folder.scalar("select time_echo from log where id_ip=?", {down}),
             QStringLiteral("-1"));
    QCOMPARE(folder.scalar("select time_wait from log where id_ip=?", {down}),
             QStringLiteral("300"));
    QCOMPARE(folder.scalar("select count(*) from log where id_ip=?", {skipped}),
             QStringLiteral("0"));
    QCOMPARE(
        folder.scalar("select count(*) from noconnect where id_ip=? and dt2=?", {down, kZeroDate}),
        QStringLiteral("1"));
    FlexGrid* fg = w.grid();
    QCOMPARE(fg->rows(), 2);
    QCOMPARE(fg->textMatrix(1, 1), QStringLiteral("Silent"));
    QCOMPARE(fg->textMatrix(1, 5), QStringLiteral("-1"));
    QCOMPARE(fg->cellForeColorAt(1, 1), kColorDown);
    QCOMPARE(player.played, QStringList{folder.path() + "/down.wav"});
    QCOMPARE(w.panelText(3), QStringLiteral("3"));
    QCOMPARE(w.panelText(4), QStringLiteral("1"));
    QVERIFY(w.mail()->body().endsWith("NO CONNECT\r\nSilent[127.0.0.3]\r\n\r\nCONNECT\r\n"));
    QCOMPARE(w.outageWindow()->grid()->textMatrix(1, 2), QStringLiteral("127.0.0.3"));

    {
        Responder responder({"127.0.0.2-127.0.0.4 reply"});
        QVERIFY2(responder.error().isEmpty(), qPrintable(responder.error()));
        pass();
    }
    QCOMPARE(folder.scalar("select count(*) from noconnect where dt2=?", {kZeroDate}),
             QStringLiteral("0"));
    QVERIFY(folder.scalar("select dt2 from noconnect where id_ip=?", {down}) != kZeroDate);
    QCOMPARE(fg->rows(), 3);
    QCOMPARE(fg->textMatrix(1, 1), QStringLiteral("Silent"));
    QVERIFY(fg->textMatrix(1, 5).toInt() >= 0);
    QCOMPARE(fg->cellForeColorAt(1, 2), kColorUp);
    QCOMPARE(player.played.last(), folder.path() + "/up.wav");
    QCOMPARE(w.panelText(4), QStringLiteral("0"));
    QVERIFY(w.mail()->body().endsWith("NO CONNECT\r\n\r\nCONNECT\r\nSilent[127.0.0.3]\r\n"));
    QCOMPARE(w.outageWindow()->grid()->rows(), 1);
    QCOMPARE(folder.scalar("select count(*) from log"), QStringLiteral("4"));
}

QTEST_MAIN(TestEndToEnd)
#include "tst_endtoend.moc"
