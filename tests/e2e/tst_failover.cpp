// Two headless monitors on one database, over real ICMP in the test network namespace: one runs
// the passes, the other waits; the active one killed outright, the other takes over, and the
// records stay whole (no two passes at once, no outage opened twice, no change announced twice).

#include "common/datetext.h"
#include "support/monitorprocess.h"
#include "support/netns.h"
#include "support/testdb.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QTest>

#include <csignal>

using namespace sentrok;
using namespace sentrok::test;

namespace {

constexpr int kStartMs = MonitorProcess::kStartMs;
// Taking over is promised within 10 s plus one interval; the rest is slack for a busy two-core
// machine.
constexpr int kTakeoverSlackMs = 15'000;
constexpr int kEndMs = MonitorProcess::kEndMs;

struct Pass {
    QString monitor, started, finished;
};

}  // namespace

class TestFailover : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void otherMonitorTakesOverAfterKill();
    void monitorThinsTheLog();
};

void TestFailover::initTestCase()
{
    if (const QString why = netnsUnavailable(); !why.isEmpty()) QSKIP(qPrintable(why));
    QVERIFY2(QFileInfo::exists(qEnvironmentVariable("SENTROK_BIN_DIR") + "/sentrok-monitor"),
             "SENTROK_BIN_DIR must name the folder holding sentrok-monitor");
}

void TestFailover::otherMonitorTakesOverAfterKill()
{
    TestFolder folder;
    // The interval is in minutes, 0.05 of one is 3 s; PostgreSQL keeps it a whole number, so
    // there the passes run back to back.
    const int interval = onPostgres() ? 0 : 3;
    folder.db().execute("update options set refresh_time=?",
                        {onPostgres() ? QVariant(0) : QVariant(0.05)});
    const QStringList up{"127.0.0.1", "127.0.0.2", "127.0.0.3"};
    for (const QString& ip : up) folder.addHost(ip, ip, "1000");
    QStringList down{"127.0.0.9"};  // no rule of the responder's: silent
    // Outside fd00::/64, which is all the namespace routes: the send fails at once.
    if (ipv6Unavailable().isEmpty()) down << "fd00:1::99";
    for (const QString& ip : down) folder.addHost(ip, ip, "700");
    Responder responder({"127.0.0.1-127.0.0.3 reply"});
    QVERIFY2(responder.error().isEmpty(), qPrintable(responder.error()));

    const auto passes = [&] {
        QList<Pass> out;
        const QString sql = "select monitor,started,finished from passes order by id";
        for (Result r = folder.db().execute(sql); !r.eof(); r.moveNext())
            out.append({r.field(0).toString(), r.field(1).toString(), r.field(2).toString()});
        return out;
    };
    const auto passesBy = [&](MonitorProcess& m, bool finished) {
        int n = 0;
        for (const Pass& p : passes())
            n += p.monitor.endsWith(m.name()) && (!finished || !p.finished.isEmpty());
        return n;
    };

    MonitorProcess a(folder.dbFile()), b(folder.dbFile());
    QVERIFY(a.started() && b.started());
    QTRY_VERIFY_WITH_TIMEOUT((a.runs() && b.waits()) || (b.runs() && a.waits()), kStartMs);
    MonitorProcess& victim = a.runs() ? a : b;
    MonitorProcess& survivor = a.runs() ? b : a;
    // Killed in the middle of a pass where the timing allows: the survivor must not wait a
    // whole interval after a pass that never ended.
    QTRY_VERIFY_WITH_TIMEOUT(passesBy(victim, true) >= 2 && passes().last().finished.isEmpty(),
                             kStartMs);
    QCOMPARE(passesBy(survivor, false), 0);
    QVERIFY2(!survivor.runs(), qPrintable(survivor.log()));

    victim.process().kill();
    QVERIFY(victim.process().waitForFinished(kEndMs));
    const QString killedAt = storedDateText(QDateTime::currentDateTime());
    QElapsedTimer sinceKill;
    sinceKill.start();
    QTRY_VERIFY_WITH_TIMEOUT(passesBy(survivor, false) > 0, kTakeoverSlackMs + interval * 1000);
    qInfo("takeover: the survivor's first pass recorded %lld ms after the kill (interval %d s)",
          sinceKill.elapsed(), interval);
    QTRY_VERIFY_WITH_TIMEOUT(passesBy(survivor, true) >= 2, kStartMs);
    QVERIFY2(survivor.runs(), qPrintable(survivor.log()));

    ::kill(pid_t(survivor.process().processId()), SIGTERM);
    QVERIFY2(survivor.process().waitForFinished(kEndMs), "the survivor did not end on SIGTERM");
    const QString stoppedAt = storedDateText(QDateTime::currentDateTime());
    QCOMPARE(survivor.process().exitStatus(), QProcess::NormalExit);
    QCOMPARE(survivor.process().exitCode(), 0);

    // A pass cut short by the end of its monitor ends when that monitor ended.
    QList<Pass> all = passes();
    for (Pass& p : all) {
        QVERIFY2(p.monitor.endsWith(victim.name()) || p.monitor.endsWith(survivor.name()),
                 qPrintable(p.monitor));
        if (p.finished.isEmpty())
            p.finished = p.monitor.endsWith(victim.name()) ? killedAt : stoppedAt;
    }
    for (qsizetype i = 0; i < all.size(); ++i)
        for (qsizetype j = i + 1; j < all.size(); ++j)
            QVERIFY2(all[i].finished <= all[j].started || all[j].finished <= all[i].started,
                     qPrintable(QString("passes %1..%2 and %3..%4 overlap")
                                    .arg(all[i].started, all[i].finished, all[j].started,
                                         all[j].finished)));

    for (const QString& ip : up + down) {
        const bool isDown = down.contains(ip);
        QCOMPARE(folder.scalar("select count(*) from noconnect n join address a on a.id=n.id_ip "
                               "where a.ip=? and n.dt2=?",
                               {ip, kZeroDate}),
                 QString(isDown ? "1" : "0"));
        // Taking over is no change of state: an outage is announced once, by whoever saw it open.
        QCOMPARE(folder.column("select e.kind from events e join address a on a.id=e.id_ip "
                               "where a.ip=?",
                               {ip}),
                 isDown ? QStringList{"down"} : QStringList());
    }

    // Let go on the way out: the next monitor takes the lease on its first try.
    MonitorProcess third(folder.dbFile());
    QVERIFY(third.started());
    QTRY_VERIFY_WITH_TIMEOUT(third.runs() || third.waits(), kStartMs);
    QVERIFY2(third.runs() && !third.waits(), qPrintable(third.log()));
}

// The headless monitor thins the log as the desktop does, at its start: the checks older than the
// kept days go, the newer ones stay.
void TestFailover::monitorThinsTheLog()
{
    TestFolder folder;
    const qint64 id = folder.addHost("127.0.0.1", "not checked", "0");
    const QDateTime now = QDateTime::currentDateTime();
    folder.db().execute(
        "with recursive n(i) as (select 1 union all select i+1 from n where i < 5000) "
        "insert into log (id_ip,time_echo,time_wait,dt) select ?, 3, '1000', ? from n",
        {id, storedDateText(now.addDays(-40))});
    for (const int hours : {25, 23, 1})
        folder.db().execute("insert into log (id_ip,time_echo,time_wait,dt) values (?,?,'1000',?)",
                            {id, hours, storedDateText(now.addSecs(-3600 * hours))});
    folder.db().execute("update options set log_keep_days=1");
    MonitorProcess monitor(folder.dbFile());
    QVERIFY(monitor.started());
    QTRY_COMPARE_WITH_TIMEOUT(folder.scalar("select count(*) from log"), QStringLiteral("2"),
                              kStartMs);
    QCOMPARE(folder.column("select time_echo from log order by dt"), QStringList({"23", "1"}));
}

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    TestFailover tests;
    return runOnBothEngines(&tests, argc, argv);
}

#include "tst_failover.moc"
