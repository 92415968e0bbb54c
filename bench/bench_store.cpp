// The database under strain while the program monitors: passes over 1,000 hosts run back to back
// (a probe that answers at once, the real database file, the real main window), and
//   lock [SECONDS]   another connection holds the write lock for SECONDS (default 30) in the
//                    middle of the run: the longest stall of the event loop, and whether every
//                    check made was recorded once the lock was gone;
//   purge [ROWS]     the log holds ROWS rows (default 10,000,000) when the administration
//                    window's purge starts; a pass starts every 5 s meanwhile: the purge's time,
//                    the longest stall (as lateness, and as the most CPU time of one turn), the
//                    longest another connection's write waited, and the checks recorded by the
//                    passes while it ran.

#include "benchkit.h"
#include "common/clock.h"
#include "monitor/monitor.h"
#include "store/database.h"
#include "store/purge.h"
#include "store/schema.h"
#include "ui/main/frmmain.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTextStream>
#include <QTimer>

using namespace sentrok;
using namespace sentrok::bench;

namespace {

constexpr int kHosts = 1000;

class InstantProber final : public Prober {
public:
    QString result = QStringLiteral("3");
    qint64 started = 0;
    quint64 start(const ProbeRequest&, Done done) override
    {
        ++started;
        QTimer::singleShot(0, [r = result, done] { done({r, {}}); });
        return ++m_id;
    }
    void cancel(quint64) override {}

private:
    quint64 m_id = 0;
};

qint64 scalar(Database& db, const QString& sql) { return db.execute(sql).field(0).toLongLong(); }

// Runs the event loop for `ms`, starting a pass whenever none runs and `gapMs` have passed
// since the last one started.
void monitorFor(frmMain& w, qint64 ms, qint64 gapMs = 0)
{
    static QElapsedTimer sinceStart;
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < ms) {
        if (!w.monitor()->passRunning() &&
            (!sinceStart.isValid() || sinceStart.elapsed() >= gapMs)) {
            w.monitor()->RunCheckPass();
            sinceStart.start();
        }
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    }
}

void waitForPassEnd(frmMain& w)
{
    while (w.monitor()->passRunning())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
}

}  // namespace

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const QString mode = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("lock");
    const qint64 amount = argc > 2 ? QString::fromLocal8Bit(argv[2]).toLongLong()
                                   : (mode == QLatin1String("purge") ? 10'000'000 : 30);
    QTextStream out(stdout);

    QTemporaryDir dir;
    const QString file = Database::fileIn(dir.path());
    createDatabase(file);
    Database bench(file, QStringLiteral("bench"));
    bench.transaction([&] {
        for (int i = 0; i < kHosts; ++i)
            addHost(bench, QStringLiteral("10.0.%1.%2").arg(i >> 8).arg(i & 255),
                    QStringLiteral("host %1").arg(i, 4, 10, QLatin1Char('0')));
    });
    if (mode == QLatin1String("purge")) {
        out << "filling the log with " << amount << " rows...\n";
        out.flush();
        QElapsedTimer fill;
        fill.start();
        bench.transaction([&] {
            bench.execute(
                QStringLiteral(
                    "with recursive n(i) as (select 0 union all select i+1 from n "
                    "where i+1 < ?) insert into log (id_ip,time_echo,time_wait,dt) "
                    "select 1 + i % ?, (i % 50) - 1, '1000', '2026-11-01 00:00:00' from n"),
                {amount, kHosts});
        });
        out << "filled in " << fill.elapsed() / 1000.0 << " s\n";
    }

    SystemClock clock;
    NoBoxes boxes;
    InstantProber prober;
    SilentPlayer player;
    QTemporaryDir locks;
    Session session({.program = QStringLiteral("sentrok"),
                     .programFolder = dir.path(),
                     .database = {},
                     .clock = &clock,
                     .boxes = &boxes,
                     .player = &player,
                     .prober = &prober});
    frmMain w({.programFolder = dir.path(),
               .lockFolder = locks.path(),
               .boxes = &boxes,
               .clock = &clock,
               .session = &session});
    if (!w.Form_Load()) return 1;
    w.show();
    StallMeter stall;

    if (mode == QLatin1String("lock")) {
        stall.start();
        monitorFor(w, 5000);
        const qint64 rowsBefore = scalar(bench, QStringLiteral("select count(*) from log"));
        const qint64 checksBefore = prober.started;
        out << "before the lock: " << checksBefore << " checks made, " << rowsBefore
            << " recorded, longest stall " << stall.worstMs() << " ms\n";
        bench.execute(QStringLiteral("BEGIN EXCLUSIVE"));
        stall.start();
        monitorFor(w, amount * 1000);
        const double lockedStall = stall.worstMs();
        const qint64 checksDuring = prober.started - checksBefore;
        bench.execute(QStringLiteral("COMMIT"));
        waitForPassEnd(w);
        const double afterStall = stall.stopMs();
        const qint64 rows = scalar(bench, QStringLiteral("select count(*) from log"));
        out << "lock held " << amount << " s: " << checksDuring
            << " checks made meanwhile; longest stall while locked " << lockedStall
            << " ms, until recorded " << afterStall << " ms\n";
        out << "checks made " << prober.started << ", recorded " << rows << ", lost "
            << prober.started - rows << "\n";
        return 0;
    }

    stall.start();
    monitorFor(w, 3000);
    const qint64 rowsBefore = scalar(bench, QStringLiteral("select max(id) from log"));
    TablePurge purge(file, {QStringLiteral("noconnect"), QStringLiteral("log")},
                     {QStringLiteral("log_hourly"), QStringLiteral("log_daily")});
    bool done = false;
    QString error;
    QObject::connect(&purge, &TablePurge::finished, [&](const QString& e) {
        done = true;
        error = e;
    });
    WriteWaitMeter writer(file);
    stall.start();
    writer.start();
    QElapsedTimer t;
    t.start();
    purge.start();
    while (!done) monitorFor(w, 100, 5000);
    const double seconds = t.elapsed() / 1000.0;
    const double worst = stall.worstMs(), wait = writer.stopMs();
    waitForPassEnd(w);
    const qint64 kept = scalar(bench, QStringLiteral("select count(*) from log"));
    const qint64 older =
        scalar(bench, QStringLiteral("select count(*) from log where id <= %1").arg(rowsBefore));
    out << "purge of " << amount << " rows: " << seconds << " s"
        << (error.isEmpty() ? QString() : QStringLiteral(" (error: %1)").arg(error))
        << ", longest stall " << worst << " ms, most CPU in one turn " << stall.worstCpuMs()
        << " ms; another connection's write waited " << wait << " ms at most (" << writer.writes()
        << " writes); checks recorded meanwhile and kept: " << kept
        << ", rows from before the purge left: " << older << "\n";
    return 0;
}
