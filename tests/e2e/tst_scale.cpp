// Many hosts probed at once must be recorded exactly as one after the other would record
// them: the same rows, events and alert, on the same scripted network.

#include "alerts/mailalert.h"
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

namespace {

// 60 hosts on 127.3.0.x. The silent ones sort first by description, so in a one-by-one pass
// they hold up everyone; some hosts start with an outage open.
const QStringList kRules = {"127.3.0.1-127.3.0.10 silent", "127.3.0.11-127.3.0.20 reply delay=60",
                            "127.3.0.21-127.3.0.60 reply"};

QString ip(int i) { return QStringLiteral("127.3.0.%1").arg(i); }

void fill(TestFolder& f)
{
    for (int i = 1; i <= 60; ++i) {
        // Descriptions run against the addresses within each group, so the pass's order is
        // neither the addresses' nor the ids'.
        const QString desc = QStringLiteral("%1 host %2")
                                 .arg(i <= 10   ? "a"
                                      : i <= 20 ? "b"
                                                : "c")
                                 .arg(100 - i);
        const qint64 id = f.addHost(ip(i), desc, QStringLiteral("200"));
        if (i % 7 == 0) f.db().execute("insert into noconnect (id_ip) values (?)", {id});
    }
    f.addHost("127.3.0.99", "b skipped", "0");
    f.addHost("127.3.0.98", "b broken", "abc");
    f.db().execute(
        "insert into emails (smtp,[from],email,[desc]) values "
        "('127.0.0.1','m@example.org','a@example.org','')");
}

struct Outcome {
    QStringList log, outages, events;
    QString alert, checked, failed;
    QList<SeenRequest> seen;
};

Outcome runPass(int window)
{
    TestFolder f;
    fill(f);
    QTemporaryDir locks;
    FakeMessageBoxes boxes;
    SystemClock clock;
    RecordingPlayer player;
    EchoEngineOptions options;
    options.minGapMs = 1;
    EchoProber prober(options);
    // Port 1 on loopback refuses at once.
    Session session({.program = QStringLiteral("sentrok"),
                     .programFolder = f.path(),
                     .database = {},
                     .clock = &clock,
                     .boxes = &boxes,
                     .player = &player,
                     .prober = &prober,
                     .smtpPort = 1});
    frmMain w({.programFolder = f.path(),
               .lockFolder = locks.path(),
               .boxes = &boxes,
               .clock = &clock,
               .session = &session});
    Outcome o;
    if (!w.Form_Load()) return o;
    w.monitor()->setMaxInFlight(window);
    Responder responder(kRules);
    if (!responder.error().isEmpty()) return o;
    QSignalSpy done(w.monitor(), &Monitor::passFinished);
    w.monitor()->RunCheckPass();
    if (!done.wait(30000)) return o;
    for (Result r = f.db().execute("select id_ip, time_echo, time_wait from log order by id");
         !r.eof(); r.moveNext())
        o.log << QStringLiteral("%1 %2 %3")
                     .arg(r.field(0).toString(), r.field(1).toInt() < 0 ? "down" : "up",
                          r.field(2).toString());
    for (Result r = f.db().execute("select id_ip, dt2 = ? from noconnect order by id", {kZeroDate});
         !r.eof(); r.moveNext())
        o.outages << r.field(0).toString() + (r.field(1).toBool() ? " open" : " closed");
    FlexGrid* fg = w.grid();
    for (int row = 1; row < fg->rows(); ++row)
        o.events << QStringLiteral("%1 %2 %3")
                        .arg(fg->textMatrix(row, 1), fg->textMatrix(row, 2))
                        .arg(fg->cellForeColorAt(row, 1));
    const QString body = w.mail()->body();
    o.alert = body.mid(body.indexOf(QStringLiteral("\r\n")) + 2);  // after the date line
    o.checked = w.panelText(3);
    o.failed = w.panelText(4);
    o.seen = responder.seen();
    return o;
}

}  // namespace

class TestScale : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void sameRecordsAsOneByOne();
};

void TestScale::initTestCase()
{
    if (const QString why = netnsUnavailable(); !why.isEmpty()) QSKIP(qPrintable(why));
}

void TestScale::sameRecordsAsOneByOne()
{
    const Outcome single = runPass(1);
    const Outcome many = runPass(Monitor::kDefaultMaxInFlight);
    QCOMPARE(single.log.size(), 60);  // neither the skipped host nor the broken one has a row
    QCOMPARE(many.log, single.log);
    QCOMPARE(many.outages, single.outages);
    QCOMPARE(many.events, single.events);
    QVERIFY(!single.alert.isEmpty());
    QCOMPARE(many.alert, single.alert);
    QCOMPARE(many.checked, QStringLiteral("62"));
    QCOMPARE(many.checked, single.checked);
    QCOMPARE(many.failed, single.failed);

    // One after the other, the last host waits for every silent one before it; at once, every
    // host's first echo goes out before the first silent host has timed out.
    auto firstRequest = [](const QList<SeenRequest>& seen, const QString& host) {
        for (const SeenRequest& s : seen)
            if (s.destination == host) return s.us;
        return qint64(-1);
    };
    const qint64 start = firstRequest(many.seen, ip(10));  // the first host of the pass
    for (int i = 11; i <= 60; ++i) {
        const qint64 t = firstRequest(many.seen, ip(i));
        QVERIFY2(t >= 0 && t - start < 200'000, qPrintable(ip(i)));
    }
    QVERIFY(firstRequest(single.seen, ip(60)) - firstRequest(single.seen, ip(10)) >
            10 * 2 * 200'000);
}

QTEST_MAIN(TestScale)
#include "tst_scale.moc"
