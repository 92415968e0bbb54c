// bench_scale: a whole monitoring pass over many hosts against the test responder, inside a
// private network namespace (run it with scripts/bench.sh scale), next to fping over the same
// addresses with the same pacing.
//
//   bench_scale [--hosts N] [--big N] [--repeat N] [--flood RATE] [--soak S] [--mixed 1]
//
// N hosts (default 1000) on 127.4.x.y: 10% silent, 5% answering after 100 ms, the rest at
// once; wait 500 ms, count 2. Reports the pass's wall time, the reply times of the delayed
// hosts, the event loop's worst stall, and fping -C 2 -t 500 -p 500 -i 1 over the same
// addresses. Then the memory a pass over --big hosts (default 10,000) takes, and whether
// --repeat passes (default 20) without changes leave the memory where it was.
// With --flood RATE (packets a second): passes back to back for --soak seconds (default 30)
// over the same hosts, quiet, then under a flood of echo replies carrying our identifier from
// random 127.x sources, then under garbage ICMP (tools/flood): the checks recorded, the share
// of the quiet run's, the outages opened for hosts that answer, and the worst stall.
// With --mixed 1 every fourth host is on IPv6 (fd00::4:x), fping's list too.

#include "alerts/sound.h"
#include "benchkit.h"
#include "common/clock.h"
#include "monitor/monitor.h"
#include "probe/echoprober.h"
#include "store/database.h"
#include "store/schema.h"
#include "support/netns.h"
#include "ui/controls/flexgrid.h"
#include "ui/main/frmmain.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTextStream>
#include <QTimer>

#include <algorithm>
#include <memory>

using namespace sentrok;
using namespace sentrok::bench;

namespace {

QTextStream out(stdout);

// With --mixed, every fourth host is on IPv6.
bool g_mixed = false;

// Host k is at 127.4.0.0 + k + 1, or fd00::4:0 + k + 1 when on IPv6; the responder's pct rules
// count from 127.4.0.0 and fd00::4:0.
QString address(int k)
{
    const int a = k + 1;
    if (g_mixed && k % 4 == 3) return QStringLiteral("fd00::4:%1").arg(a, 0, 16);
    return QStringLiteral("127.4.%1.%2").arg(a >> 8).arg(a & 255);
}
// k + 1 of the host at `ip`.
int numberOf(const QString& ip)
{
    if (ip.contains(u':')) return ip.section(u':', -1).toInt(nullptr, 16);
    return ip.section(u'.', 2, 2).toInt() * 256 + ip.section(u'.', 3, 3).toInt();
}
enum class Kind { Silent, Delayed, Prompt };
Kind kind(int k)
{
    const int r = (k + 1) % 100;
    return r < 10 ? Kind::Silent : r < 15 ? Kind::Delayed : Kind::Prompt;
}

// A program folder with a database of n hosts.
struct Folder {
    QTemporaryDir dir;
    explicit Folder(int n)
    {
        createDatabase(Database::fileIn(dir.path()));
        Database db(Database::fileIn(dir.path()), Database::uniqueName(QStringLiteral("setup")));
        db.transaction([&] {
            for (int k = 0; k < n; ++k)
                db.execute(QStringLiteral("insert into address (ip,[desc],vw,vn,vl,vi,color) "
                                          "values (?,?,'500','2','32','255','0')"),
                           {address(k), QStringLiteral("host %1").arg(k, 5, 10, QLatin1Char('0'))});
        });
    }
};

struct Pass {
    double ms = 0, stallMs = 0, cpuMs = 0;
};
Pass runPass(frmMain& w, StallMeter& stall);

struct Soak {
    qint64 checks = 0, falseOutages = 0, passes = 0, flooded = 0;
    double stallMs = 0, cpuMs = 0, seconds = 0;
    double perSecond() const { return seconds > 0 ? checks / seconds : 0; }
};

// Passes back to back for `seconds` over a fresh database of `hosts`, under the given flood
// (none when empty).
Soak soak(int hosts, int seconds, const QString& flood, int rate, const QString& locks,
          const Clock& clock, MessageBoxes& boxes, SoundPlayer& player,
          const EchoEngineOptions& options)
{
    Folder folder(hosts);
    EchoProber prober(options);
    Session session({.program = QStringLiteral("sentrok"),
                     .programFolder = folder.dir.path(),
                     .database = {},
                     .clock = &clock,
                     .boxes = &boxes,
                     .player = &player,
                     .prober = &prober,
                     .smtpPort = 1});
    frmMain w({.programFolder = folder.dir.path(),
               .lockFolder = locks,
               .boxes = &boxes,
               .clock = &clock,
               .session = &session});
    if (!w.Form_Load()) return {};
    w.show();
    std::unique_ptr<test::Flood> flooding;
    if (!flood.isEmpty()) {
        flooding = std::make_unique<test::Flood>(flood, rate);
        if (!flooding->error().isEmpty()) out << "flood: " << flooding->error() << "\n";
    }
    Soak s;
    StallMeter stall;
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < seconds * 1000) {
        const Pass p = runPass(w, stall);
        s.stallMs = std::max(s.stallMs, p.stallMs);
        s.cpuMs = std::max(s.cpuMs, p.cpuMs);
        ++s.passes;
    }
    s.seconds = t.nsecsElapsed() / 1e9;
    if (flooding) s.flooded = flooding->stop();
    Database db(Database::fileIn(folder.dir.path()), QStringLiteral("soak"));
    s.checks = db.execute(QStringLiteral("select count(*) from log")).field(0).toLongLong();
    for (Result r = db.execute(QStringLiteral(
             "select address.ip from noconnect join address on address.id = noconnect.id_ip"));
         !r.eof(); r.moveNext()) {
        const QString ip = r.field(0).toString();
        const int a = numberOf(ip);
        s.falseOutages += kind(a - 1) != Kind::Silent;
    }
    return s;
}

Pass runPass(frmMain& w, StallMeter& stall)
{
    QSignalSpy done(w.monitor(), &Monitor::passFinished);
    stall.start();
    QElapsedTimer t;
    t.start();
    w.monitor()->RunCheckPass();
    while (done.isEmpty()) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    Pass p;
    p.ms = t.nsecsElapsed() / 1e6;
    p.stallMs = stall.stopMs();
    p.cpuMs = stall.worstCpuMs();
    return p;
}

}  // namespace

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    int hosts = 1000, big = 10000, repeat = 20, flood = 0, soakSeconds = 30;
    const QStringList args = app.arguments();
    for (int i = 1; i + 1 < args.size(); i += 2) {
        if (args[i] == QLatin1String("--hosts"))
            hosts = args[i + 1].toInt();
        else if (args[i] == QLatin1String("--big"))
            big = args[i + 1].toInt();
        else if (args[i] == QLatin1String("--repeat"))
            repeat = args[i + 1].toInt();
        else if (args[i] == QLatin1String("--flood"))
            flood = args[i + 1].toInt();
        else if (args[i] == QLatin1String("--soak"))
            soakSeconds = args[i + 1].toInt();
        else if (args[i] == QLatin1String("--mixed"))
            g_mixed = args[i + 1].toInt() != 0;
    }
    if (const QString why = test::netnsUnavailable(); !why.isEmpty()) {
        out << "cannot run: " << why << "\n";
        return 1;
    }
    if (g_mixed) {
        if (const QString why = test::ipv6Unavailable(); !why.isEmpty()) {
            out << "cannot run with IPv6: " << why << "\n";
            return 1;
        }
    }
    const QStringList rules = {QStringLiteral("127.4.0.0/16 silent pct=10"),
                               QStringLiteral("127.4.0.0/16 reply delay=100 pct=15"),
                               QStringLiteral("127.4.0.0/16 reply"),
                               QStringLiteral("fd00::4:0/112 silent pct=10"),
                               QStringLiteral("fd00::4:0/112 reply delay=100 pct=15"),
                               QStringLiteral("fd00::4:0/112 reply")};
    auto responder = std::make_unique<test::Responder>(rules);
    if (!responder->error().isEmpty()) {
        out << "responder: " << responder->error() << "\n";
        return 1;
    }

    SystemClock clock;
    NoBoxes boxes;
    SilentPlayer player;
    QTemporaryDir locks;
    StallMeter stall;
    EchoEngineOptions options;
    options.minGapMs = 1;

    out << "== " << hosts << " hosts" << (g_mixed ? " (a quarter on IPv6)" : "")
        << ": 10% silent, 5% after 100 ms, wait 500 ms, count 2\n";
    {
        Folder folder(hosts);
        EchoProber prober(options);
        Session session({.program = QStringLiteral("sentrok"),
                         .programFolder = folder.dir.path(),
                         .database = {},
                         .clock = &clock,
                         .boxes = &boxes,
                         .player = &player,
                         .prober = &prober,
                         .smtpPort = 1});
        frmMain w({.programFolder = folder.dir.path(),
                   .lockFolder = locks.path(),
                   .boxes = &boxes,
                   .clock = &clock,
                   .session = &session});
        if (!w.Form_Load()) return 1;
        w.show();
        const Pass p = runPass(w, stall);
        Database db(Database::fileIn(folder.dir.path()), QStringLiteral("read"));
        int wrong = 0, delayedWorst = 0, promptWorst = 0;
        for (Result r = db.execute(QStringLiteral("select address.ip, log.time_echo from log join "
                                                  "address on address.id = log.id_ip"));
             !r.eof(); r.moveNext()) {
            const QString ip = r.field(0).toString();
            const int a = numberOf(ip);
            const Kind k = kind(a - 1);
            const int rtt = r.field(1).toInt();
            if (k == Kind::Silent)
                wrong += rtt != -1;
            else if (rtt < 0)
                ++wrong;
            else if (k == Kind::Delayed)
                delayedWorst = std::max(delayedWorst, std::abs(rtt - 100));
            else
                promptWorst = std::max(promptWorst, rtt);
        }
        out << QStringLiteral(
                   "pass: %1 ms; count x wait = 1000 ms; worst stall %2 ms (%3 ms of CPU)\n")
                   .arg(p.ms, 0, 'f', 0)
                   .arg(p.stallMs, 0, 'f', 1)
                   .arg(p.cpuMs, 0, 'f', 1);
        const QList<test::SeenRequest>& seen = responder->seen();
        if (!seen.isEmpty())
            out << QStringLiteral("requests on the wire: %1 over %2 ms (first to last)\n")
                       .arg(seen.size())
                       .arg((seen.last().us - seen.first().us) / 1000.0, 0, 'f', 0);
        // From here on the requests are not looked at: a quiet responder does not fill this
        // process's memory with its report of them.
        responder.reset();
        responder =
            std::make_unique<test::Responder>(QStringList{QStringLiteral("--quiet")} + rules);
        out << QStringLiteral(
                   "reply times: delayed hosts within %1 ms of 100; prompt hosts at most "
                   "%2 ms; wrong outcomes %3\n")
                   .arg(delayedWorst)
                   .arg(promptWorst)
                   .arg(wrong);
        out.flush();

        // fping over the same addresses, with the same pacing, in the same run.
        const QString fping = QStandardPaths::findExecutable(QStringLiteral("fping"));
        if (fping.isEmpty()) {
            out << "fping: not installed\n";
        } else {
            QFile list(folder.dir.filePath(QStringLiteral("hosts.txt")));
            if (!list.open(QIODevice::WriteOnly)) return 1;
            for (int k = 0; k < hosts; ++k) list.write(address(k).toLatin1() + '\n');
            list.close();
            QProcess f;
            QElapsedTimer t;
            t.start();
            f.start(fping, {QStringLiteral("-C"), QStringLiteral("2"), QStringLiteral("-t"),
                            QStringLiteral("500"), QStringLiteral("-p"), QStringLiteral("500"),
                            QStringLiteral("-i"), QStringLiteral("1"), QStringLiteral("-q"),
                            QStringLiteral("-f"), list.fileName()});
            f.waitForFinished(120000);
            const double ms = t.nsecsElapsed() / 1e6;
            out << QStringLiteral(
                       "fping -C 2 -t 500 -p 500 -i 1: %1 ms; the pass took %2 x fping's time\n")
                       .arg(ms, 0, 'f', 0)
                       .arg(p.ms / ms, 0, 'f', 2);
        }
        out.flush();

        // Passes with nothing changing: the memory must not grow with them.
        const long anon = statusKb("RssAnon:"), file = statusKb("RssFile:"),
                   shmem = statusKb("RssShmem:");
        for (int i = 0; i < repeat; ++i) runPass(w, stall);
        out << QStringLiteral(
                   "%1 more passes without changes: RSS anonymous %2 -> %3 MB, "
                   "files %4 -> %5 MB, shared %6 -> %7 MB\n")
                   .arg(repeat)
                   .arg(anon / 1024.0, 0, 'f', 1)
                   .arg(statusKb("RssAnon:") / 1024.0, 0, 'f', 1)
                   .arg(file / 1024.0, 0, 'f', 1)
                   .arg(statusKb("RssFile:") / 1024.0, 0, 'f', 1)
                   .arg(shmem / 1024.0, 0, 'f', 1)
                   .arg(statusKb("RssShmem:") / 1024.0, 0, 'f', 1);
        out.flush();
    }

    if (flood > 0) {
        responder.reset();
        responder =
            std::make_unique<test::Responder>(QStringList{QStringLiteral("--quiet")} + rules);
        out << "== " << hosts << " hosts, passes back to back for " << soakSeconds
            << " s: quiet, then under " << flood << " ICMP packets a second\n";
        const Soak quiet =
            soak(hosts, soakSeconds, {}, 0, locks.path(), clock, boxes, player, options);
        out << QStringLiteral(
                   "quiet: %1 passes, %2 checks recorded in %3 s (%4/s), outages of "
                   "answering hosts %5, worst stall %6 ms (%7 ms of CPU)\n")
                   .arg(quiet.passes)
                   .arg(quiet.checks)
                   .arg(quiet.seconds, 0, 'f', 1)
                   .arg(quiet.perSecond(), 0, 'f', 1)
                   .arg(quiet.falseOutages)
                   .arg(quiet.stallMs, 0, 'f', 1)
                   .arg(quiet.cpuMs, 0, 'f', 1);
        out.flush();
        for (const QString& kindOfFlood : {QStringLiteral("replies"), QStringLiteral("garbage")}) {
            const Soak f = soak(hosts, soakSeconds, kindOfFlood, flood, locks.path(), clock, boxes,
                                player, options);
            out << QStringLiteral(
                       "flood of %1 (%2 packets, %3/s): %4 passes, %5 checks recorded in %6 s "
                       "(%7/s, %8% of quiet), outages of answering hosts %9, ")
                       .arg(kindOfFlood)
                       .arg(f.flooded)
                       .arg(f.flooded / f.seconds, 0, 'f', 0)
                       .arg(f.passes)
                       .arg(f.checks)
                       .arg(f.seconds, 0, 'f', 1)
                       .arg(f.perSecond(), 0, 'f', 1)
                       .arg(quiet.perSecond() > 0 ? 100.0 * f.perSecond() / quiet.perSecond() : 0.0,
                            0, 'f', 1)
                       .arg(f.falseOutages)
                << QStringLiteral("worst stall %1 ms (%2 ms of CPU)\n")
                       .arg(f.stallMs, 0, 'f', 1)
                       .arg(f.cpuMs, 0, 'f', 1);
            out.flush();
        }
    }

    if (big > 0) {
        out << "== " << big << " hosts\n";
        const long before = statusKb("VmRSS:");
        Folder folder(big);
        EchoProber prober(options);
        Session session({.program = QStringLiteral("sentrok"),
                         .programFolder = folder.dir.path(),
                         .database = {},
                         .clock = &clock,
                         .boxes = &boxes,
                         .player = &player,
                         .prober = &prober,
                         .smtpPort = 1});
        frmMain w({.programFolder = folder.dir.path(),
                   .lockFolder = locks.path(),
                   .boxes = &boxes,
                   .clock = &clock,
                   .session = &session});
        if (!w.Form_Load()) return 1;
        w.show();
        const Pass p = runPass(w, stall);
        out << QStringLiteral(
                   "pass: %1 ms, worst stall %2 ms (%7 ms of CPU), event rows %3; RSS %4 MB "
                   "-> %5 MB (peak of the process %6 MB)\n")
                   .arg(p.ms, 0, 'f', 0)
                   .arg(p.stallMs, 0, 'f', 1)
                   .arg(w.grid()->rows() - 1)
                   .arg(before / 1024.0, 0, 'f', 1)
                   .arg(statusKb("VmRSS:") / 1024.0, 0, 'f', 1)
                   .arg(statusKb("VmHWM:") / 1024.0, 0, 'f', 1)
                   .arg(p.cpuMs, 0, 'f', 1);
    }
    return 0;
}
