// History on a big log: the upgrade that fills the totals, one host's chart and figures, the
// all-hosts table, sentrok-db availability, and the log's thinning, each with the longest
// stall of the window's event loop while it runs.
//
//   bench_history [--hosts N] [--checks N] [--fixture FILE] [--no-retention] [--no-upgrade-kill]
//                 [--background-only]
//
// The background work (the upgrade, the thinning) reports the longest stall of the window's loop
// twice: as lateness of a 10 ms timer (which includes the time the thread waited for a core on a
// busy machine) and as the most CPU time the window's thread spent in one turn; and, for the
// thinning, the longest a write of another connection waited meanwhile (a pass's recording).
// --background-only skips the queries, the window and sentrok-db.
//
// The log holds N hosts x N checks (default 1,000 x 10,000 = 10 million rows) ending now, a
// check every 10 minutes, one in twenty failed, and 20 outages a host. A fixture FILE is kept
// (as the old version, before the upgrade) and reused by later runs.

#include "benchkit.h"
#include "common/clock.h"
#include "common/datetext.h"
#include "history/historyquery.h"
#include "history/retention.h"
#include "store/database.h"
#include "store/dbworker.h"
#include "store/schema.h"
#include "ui/controls/qtmessageboxes.h"
#include "ui/history/frmhistory.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>

#include <sys/resource.h>
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <vector>

using namespace sentrok;
using sentrok::bench::StallMeter;
using sentrok::bench::WriteWaitMeter;

namespace {

constexpr int kIntervalSecs = 600;

void fill(const QString& file, int hosts, qint64 checks, const QDateTime& now)
{
    createDatabase(file, 1);
    Database db(file, Database::uniqueName(QStringLiteral("fill")));
    const QDateTime start = now.addSecs(-checks * kIntervalSecs);
    db.transaction([&] {
        for (int i = 1; i <= hosts; ++i)
            addHost(db,
                    QStringLiteral("10.%1.%2.%3").arg(i / 65536).arg(i / 256 % 256).arg(i % 256),
                    QStringLiteral("хост %1").arg(i, 4, 10, QLatin1Char('0')));
        // The index is made again after the rows: a sort instead of ten million insertions.
        db.execute(QStringLiteral("DROP INDEX log_host_time"));
        db.execute(QStringLiteral(
                       "WITH RECURSIVE n(x) AS (SELECT 0 UNION ALL SELECT x+1 FROM n WHERE x+1<?) "
                       "INSERT INTO log (id_ip,time_echo,time_wait,dt) "
                       "SELECT 1+(x%?), CASE WHEN (x*7919)%20=0 THEN -1 ELSE 5+(x*31+x/?)%180 END, "
                       "'1000', "
                       "datetime(?, '+'||((x/?)*?+(x%?)/4)||' seconds') FROM n"),
                   {qint64(hosts) * checks, hosts, hosts, storedDateText(start), hosts,
                    kIntervalSecs, hosts});
        db.execute(QStringLiteral("CREATE INDEX log_host_time ON log (id_ip, dt)"));
        // 20 outages a host, from 5 minutes to 2 hours long, spread over the whole log; every
        // tenth host is still down.
        const qint64 spread = checks * kIntervalSecs / 20;
        db.execute(QStringLiteral(
                       "WITH RECURSIVE n(x) AS (SELECT 0 UNION ALL SELECT x+1 FROM n WHERE x+1<?) "
                       "INSERT INTO noconnect (id_ip,dt1,dt2) "
                       "SELECT 1+(x%?), datetime(?, '+'||((x/?)*?+(x*7919)%(?/2))||' seconds'), "
                       "datetime(?, '+'||((x/?)*?+(x*7919)%(?/2)+300+(x*104729)%6900)||' seconds') "
                       "FROM n"),
                   {hosts * 20, hosts, storedDateText(start), hosts, spread, spread,
                    storedDateText(start), hosts, spread, spread});
        db.execute(QStringLiteral("UPDATE noconnect SET dt2=? WHERE id_ip % 10 = 0 AND id IN "
                                  "(SELECT max(id) FROM noconnect GROUP BY id_ip)"),
                   {kZeroDate});
    });
}

qint64 count(Database& db, const QString& sql)
{
    Result r = db.execute(sql);
    return r.field(0).toLongLong();
}

// CPU time of this thread, and of the children waited for: what the work costs, apart from
// how busy the machine is.
double threadCpuMs()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) * 1e3 + double(t.tv_nsec) / 1e6;
}

double childrenCpuMs()
{
    rusage u{};
    getrusage(RUSAGE_CHILDREN, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1e3 +
           double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e3;
}

struct Stats {
    double median = 0, worst = 0;
};

Stats stats(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return {v[v.size() / 2], v.back()};
}

void line(const char* what, Stats ms, double stall, const char* target, double cpu = -1)
{
    std::printf("  %-40s median %7.1f ms  worst %7.1f ms  stall %6.1f ms", what, ms.median,
                ms.worst, stall);
    if (cpu >= 0) std::printf("  cpu %6.1f ms", cpu);
    std::printf("   (%s)\n", target);
    std::fflush(stdout);
}

// Kills `sentrok-db upgrade` part-way and checks that the file is as it was.
void interruptedUpgrade(const QString& file, qint64 rows)
{
    QProcess p;
    p.setProcessChannelMode(QProcess::SeparateChannels);
    p.setReadChannel(QProcess::StandardError);
    p.start(QCoreApplication::applicationDirPath() + QStringLiteral("/../bin/sentrok-db"),
            {QStringLiteral("upgrade"), file});
    QByteArray err;
    while (p.waitForReadyRead(60000)) {
        err += p.readAllStandardError();
        if (err.contains("(20%)")) break;
    }
    p.kill();
    p.waitForFinished();
    Database db(file, Database::uniqueName(QStringLiteral("check")));
    if (schemaVersion(db) != 1) {
        std::printf("upgrade finished before it could be killed: no check of an interrupted one\n");
        return;
    }
    const bool intact =
        schemaVersion(db) == 1 && count(db, QStringLiteral("SELECT count(*) FROM log")) == rows &&
        count(db, QStringLiteral("SELECT count(*) FROM sqlite_master WHERE name='log_hourly'")) ==
            0;
    std::printf("upgrade killed at 20%%: version %d, log rows %s, no totals table: %s\n",
                schemaVersion(db), intact ? "all there" : "CHANGED", intact ? "yes" : "NO");
}

}  // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", QByteArrayLiteral("offscreen"));
    QApplication app(argc, argv);
    QLocale::setDefault(QLocale(QLocale::Russian, QLocale::Russia));
    int hosts = 1000;
    qint64 checks = 10000;
    QString fixture;
    bool retention = true, killTest = true, backgroundOnly = false;
    const QStringList args = app.arguments();
    for (int i = 1; i < args.size(); ++i) {
        if (args[i] == QLatin1String("--hosts") && i + 1 < args.size())
            hosts = args[++i].toInt();
        else if (args[i] == QLatin1String("--checks") && i + 1 < args.size())
            checks = args[++i].toLongLong();
        else if (args[i] == QLatin1String("--fixture") && i + 1 < args.size())
            fixture = args[++i];
        else if (args[i] == QLatin1String("--no-retention"))
            retention = false;
        else if (args[i] == QLatin1String("--no-upgrade-kill"))
            killTest = false;
        else if (args[i] == QLatin1String("--background-only"))
            backgroundOnly = true;
    }
    const auto load = [] {
        QFile f(QStringLiteral("/proc/loadavg"));
        return f.open(QIODevice::ReadOnly) ? f.readAll().trimmed() : QByteArray("?");
    };
    std::printf("load average at start: %s (2 cores)\n", load().constData());
    {
        // What the machine itself does to an idle event loop: the floor under every stall below.
        StallMeter idle;
        idle.start();
        QElapsedTimer wait;
        wait.start();
        while (wait.elapsed() < 10000)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 100);
        std::printf("idle event loop for 10 s: worst stall %.1f ms\n", idle.stopMs());
    }
    SystemClock clock;
    QTemporaryDir dir;
    const QString file = Database::fileIn(dir.path());
    QElapsedTimer t;
    t.start();
    if (!fixture.isEmpty() && QFile::exists(fixture)) {
        QFile::copy(fixture, file);
        std::printf("fixture %s copied in %.1f s\n", qPrintable(fixture),
                    double(t.elapsed()) / 1000);
    } else {
        fill(file, hosts, checks, clock.now());
        std::printf("%lld log rows written in %.1f s\n", qint64(hosts) * checks,
                    double(t.elapsed()) / 1000);
        if (!fixture.isEmpty()) QFile::copy(file, fixture);
    }
    qint64 rows = 0, outages = 0;
    {
        Database db(file, Database::uniqueName(QStringLiteral("bench")));
        rows = count(db, QStringLiteral("SELECT count(*) FROM log"));
        outages = count(db, QStringLiteral("SELECT count(*) FROM noconnect"));
        std::printf("log %lld rows, %lld outages, %lld hosts; file %.0f MB\n", rows, outages,
                    count(db, QStringLiteral("SELECT count(*) FROM address")),
                    double(QFileInfo(file).size()) / 1e6);
    }
    std::fflush(stdout);
    if (killTest) interruptedUpgrade(file, rows);

    // The upgrade as the program runs it at start: on a thread, the window's loop measured.
    {
        StallMeter stall;
        DbWorker thread(
            file, {.connectionBase = QStringLiteral("upgrade"), .nice = DbWorker::kBackgroundNice});
        bool done = false;
        QString error;
        stall.start();
        t.restart();
        thread.run<int>(
            &app, [](Database& db) { return upgradeSchema(db); }, [&](int) { done = true; },
            [&](const DbError& e) {
                error = e.userText();
                done = true;
            });
        while (!done) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        const double secs = double(t.elapsed()) / 1000, worst = stall.stopMs();
        std::printf(
            "upgrade to version %d: %.1f s, stall %.1f ms (ending %.1f s in), most CPU in one turn "
            "%.1f ms %s\n",
            kSchemaVersion, secs, worst, stall.worstAtMs() / 1000, stall.worstCpuMs(),
            qPrintable(error));
        Database db(file, Database::uniqueName(QStringLiteral("bench")));
        std::printf(
            "totals: %lld hourly rows, %lld daily rows, checks in totals %lld (log %lld); file "
            "%.0f MB\n",
            count(db, QStringLiteral("SELECT count(*) FROM log_hourly")),
            count(db, QStringLiteral("SELECT count(*) FROM log_daily")),
            count(db, QStringLiteral("SELECT sum(checks) FROM log_daily")), rows,
            double(QFileInfo(file).size()) / 1e6);
    }

    // The same queries on this thread, without the window.
    if (!backgroundOnly) {
        Database db(file, Database::uniqueName(QStringLiteral("bench")));
        const QDateTime to = clock.now(), from = to.addDays(-30);
        std::vector<double> one, all, oneCpu, allCpu;
        for (int i = 0; i < 10; ++i) {
            t.restart();
            const double cpu = threadCpuMs();
            hostHistory(db, 1 + (i * 97) % hosts, from, to);
            one.push_back(double(t.nsecsElapsed()) / 1e6);
            oneCpu.push_back(threadCpuMs() - cpu);
        }
        for (int i = 0; i < 3; ++i) {
            t.restart();
            const double cpu = threadCpuMs();
            availabilityOf(db, from, to);
            all.push_back(double(t.nsecsElapsed()) / 1e6);
            allCpu.push_back(threadCpuMs() - cpu);
        }
        std::printf("queries alone, 30 days (wall time; cpu: the median CPU time they took):\n");
        line("one host: chart points and figures", stats(one), 0, "target 200 ms",
             stats(oneCpu).median);
        line("all hosts: figures", stats(all), 0, "target 1000 ms", stats(allCpu).median);
    }

    // Through the window, as the user has it.
    if (!backgroundOnly) {
        QtMessageBoxes boxes;
        frmHistory w(
            {.programFolder = dir.path(), .boxes = &boxes, .clock = &clock, .retention = nullptr});
        w.resize(1100, 650);
        w.show();
        if (!w.Form_Load()) return 1;
        QSignalSpy hostLoaded(&w, &frmHistory::hostLoaded),
            tableLoaded(&w, &frmHistory::tableLoaded);
        hostLoaded.wait(30000);
        std::printf(
            "history window, 30 days (query on the window's thread, then the chart or table "
            "filled):\n");
        {
            w.setPeriod(frmHistory::Month);
            hostLoaded.wait(30000);
            std::vector<double> ms;
            StallMeter stall;
            stall.start();
            for (int i = 0; i < 10; ++i) {
                hostLoaded.clear();
                t.restart();
                const int n = 1 + (i * 97) % hosts;
                w.showHost(
                    QStringLiteral("10.%1.%2.%3").arg(n / 65536).arg(n / 256 % 256).arg(n % 256));
                if (!hostLoaded.wait(30000)) std::printf("  host %d: no answer\n", i);
                QCoreApplication::processEvents();  // the chart painted
                ms.push_back(double(t.nsecsElapsed()) / 1e6);
            }
            line("one host: chart and figures", stats(ms), stall.stopMs(),
                 "target 200 ms, stall 50 ms");
        }
        {
            std::vector<double> ms;
            StallMeter stall;
            stall.start();
            for (int i = 0; i < 3; ++i) {
                tableLoaded.clear();
                t.restart();
                if (i == 0)
                    w.showAllHosts();
                else
                    w.findChild<QAbstractButton*>(QStringLiteral("cmdRefresh"))->click();
                if (!tableLoaded.wait(30000)) std::printf("  table: no answer\n");
                QCoreApplication::processEvents();
                ms.push_back(double(t.nsecsElapsed()) / 1e6);
            }
            line("all hosts: table", stats(ms), stall.stopMs(), "target 1000 ms, stall 50 ms");
        }
        {
            QSignalSpy exported(&w, &frmHistory::exported);
            StallMeter stall;
            stall.start();
            t.restart();
            w.exportPdf(dir.filePath(QStringLiteral("report.pdf")));
            exported.wait(300000);
            std::printf("  %-44s %8.1f ms, %.0f kB, stall %.1f ms\n", "PDF report of all hosts",
                        double(t.nsecsElapsed()) / 1e6,
                        double(QFileInfo(dir.filePath(QStringLiteral("report.pdf"))).size()) / 1024,
                        stall.stopMs());
        }
        {
            std::vector<double> ms, cpu;
            StallMeter stall;
            stall.start();
            for (int i = 0; i < 3; ++i) {
                QProcess p;
                const double before = childrenCpuMs();
                t.restart();
                p.start(
                    QCoreApplication::applicationDirPath() + QStringLiteral("/../bin/sentrok-db"),
                    {QStringLiteral("availability"), file});
                while (!p.waitForFinished(5)) QCoreApplication::processEvents();
                ms.push_back(double(t.nsecsElapsed()) / 1e6);
                cpu.push_back(childrenCpuMs() - before);
                if (i == 0)
                    std::printf("  sentrok-db availability: %d lines, exit %d\n",
                                int(p.readAllStandardOutput().count('\n')), p.exitCode());
            }
            line("sentrok-db availability (whole process)", stats(ms), stall.stopMs(),
                 "target 1000 ms", stats(cpu).median);
        }
        w.close();
    }

    if (retention) {
        const QDateTime to = clock.now();
        QString before30, beforeAll;
        qint64 left = 0;
        {
            Database db(file, Database::uniqueName(QStringLiteral("bench")));
            before30 = QString::number(availabilityOf(db, to.addDays(-30), to).size());
            for (const HostFigures& f : availabilityOf(db, to.addDays(-365), to))
                beforeAll += QStringLiteral("%1 %2 %3 %4;")
                                 .arg(f.id)
                                 .arg(f.downtimeSecs)
                                 .arg(f.totals.checks)
                                 .arg(f.totals.failed);
            setLogKeepDays(db, 30);
        }
        LogRetention r(file, clock);
        QSignalSpy swept(&r, &LogRetention::swept);
        StallMeter stall;
        WriteWaitMeter writer(file);
        stall.start();
        writer.start();
        t.restart();
        r.runNow();
        swept.wait(3600 * 1000);
        const double secs = double(t.elapsed()) / 1000, worst = stall.stopMs(),
                     wait = writer.stopMs();
        Database db(file, Database::uniqueName(QStringLiteral("bench")));
        left = count(db, QStringLiteral("SELECT count(*) FROM log"));
        QString after;
        for (const HostFigures& f : availabilityOf(db, to.addDays(-365), to))
            after += QStringLiteral("%1 %2 %3 %4;")
                         .arg(f.id)
                         .arg(f.downtimeSecs)
                         .arg(f.totals.checks)
                         .arg(f.totals.failed);
        std::printf(
            "log thinned to 30 days: %lld of %lld rows left, %.1f s in %lld batches, stall %.1f "
            "ms, "
            "most CPU in one turn %.1f ms; another connection's write waited %.1f ms at most (%d "
            "writes); "
            "a year's figures of every host %s\n",
            left, rows, secs, swept.isEmpty() ? -1 : swept.first().at(0).toLongLong(), worst,
            stall.worstCpuMs(), wait, writer.writes(),
            after == beforeAll ? "unchanged" : "CHANGED");
    }
    std::printf("load average at end: %s\n", load().constData());
    return 0;
}
