// bench_probe: how long probing takes and how much it holds up the event loop, against the
// test responder inside a private network namespace (run it with scripts/bench.sh probe).
//
//   bench_probe [--hosts N] [--wait MS] [--parallel N] [--window N] [--gap MS]
//
// One after the other: N hosts (default 200, from 127.5.0.1), half of them silent, count 1, each
// probe started when the previous one is done, as a monitoring pass does. Then, with --parallel N,
// N hosts started at once through an engine with the given window and gap.

#include "benchkit.h"
#include "probe/echoprober.h"
#include "support/netns.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTextStream>
#include <QTimer>

#include <algorithm>
#include <functional>

using namespace sentrok;
using sentrok::bench::StallMeter;

namespace {

QTextStream out(stdout);

QString host(int i) { return QStringLiteral("127.5.%1.%2").arg(i / 256).arg(i % 256); }

// The responder's rule covers 127.5.0.0/16 and takes the first fifty of every hundred
// addresses counted from 127.5.0.0, so host i answers when i % 100 < 50.
bool answers(int i) { return i % 100 < 50; }

struct Tally {
    int answered = 0, failed = 0, wrong = 0;
    void add(int i, const ProbeOutcome& o)
    {
        const bool ok = o.result.toInt() >= 0 && !o.failed();
        ok ? ++answered : ++failed;
        if (ok != answers(i)) ++wrong;
    }
};

void report(const char* title, const Tally& t, int hosts, int waitMs, qint64 elapsedMs,
            const StallMeter& stall)
{
    int silent = 0;
    for (int i = 1; i <= hosts; ++i) silent += !answers(i);
    out << title << "\n"
        << QStringLiteral(
               "  total %1 s; sum of time-outs %2 s; time-outs of the silent hosts %3 s\n")
               .arg(elapsedMs / 1000.0, 0, 'f', 2)
               .arg(hosts * waitMs / 1000.0, 0, 'f', 2)
               .arg(silent * waitMs / 1000.0, 0, 'f', 2)
        << QStringLiteral("  answered %1, failed %2, not as the responder was told: %3\n")
               .arg(t.answered)
               .arg(t.failed)
               .arg(t.wrong)
        << QStringLiteral(
               "  event loop: worst lateness of a 10 ms timer %1 ms over %2 ticks; "
               "most CPU between two ticks %3 ms\n")
               .arg(stall.worstMs(), 0, 'f', 2)
               .arg(stall.ticks())
               .arg(stall.worstCpuMs(), 0, 'f', 2)
        << Qt::flush;
}

void oneAfterTheOther(int hosts, int waitMs)
{
    EchoProber prober;
    QObject::connect(&prober, &EchoProber::socketUnavailable, [](const QString& m) {
        out << m << "\n" << Qt::flush;
    });
    Tally tally;
    StallMeter stall;
    stall.start();
    QElapsedTimer clock;
    clock.start();
    std::function<void(int)> next = [&](int i) {
        if (i > hosts) {
            QCoreApplication::exit();
            return;
        }
        prober.start({host(i), QString::number(waitMs), "255", "1", "32"},
                     [&, i](const ProbeOutcome& o) {
                         tally.add(i, o);
                         next(i + 1);
                     });
    };
    next(1);
    QCoreApplication::exec();
    report(
        qPrintable(QStringLiteral("one after the other: %1 hosts, half silent, wait %2 ms, count 1")
                       .arg(hosts)
                       .arg(waitMs)),
        tally, hosts, waitMs, clock.elapsed(), stall);
}

void allAtOnce(int hosts, int waitMs, int window, int gapMs)
{
    EchoEngineOptions options;
    options.maxInFlight = window;
    options.minGapMs = gapMs;
    EchoProber prober(options);
    Tally tally;
    int done = 0;
    StallMeter stall;
    QElapsedTimer clock;
    clock.start();
    for (int i = 1; i <= hosts; ++i)
        prober.start({host(i), QString::number(waitMs), "255", "1", "32"},
                     [&, i](const ProbeOutcome& o) {
                         tally.add(i, o);
                         if (++done == hosts) QCoreApplication::exit();
                     });
    // Asking for thousands of probes in one go is the caller's turn (the monitor asks for a
    // window's worth at a time); the meter watches the probing.
    stall.start();
    QCoreApplication::exec();
    report(qPrintable(QStringLiteral(
                          "all at once: %1 hosts, half silent, wait %2 ms, window %3, gap %4 ms")
                          .arg(hosts)
                          .arg(waitMs)
                          .arg(window)
                          .arg(gapMs)),
           tally, hosts, waitMs, clock.elapsed(), stall);
}

}  // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    int hosts = 200, waitMs = 200, parallel = 0, window = 256, gapMs = 1;
    const QStringList args = app.arguments();
    for (int i = 1; i + 1 < args.size(); i += 2) {
        const int v = args[i + 1].toInt();
        if (args[i] == QLatin1String("--hosts"))
            hosts = v;
        else if (args[i] == QLatin1String("--wait"))
            waitMs = v;
        else if (args[i] == QLatin1String("--parallel"))
            parallel = v;
        else if (args[i] == QLatin1String("--window"))
            window = v;
        else if (args[i] == QLatin1String("--gap"))
            gapMs = v;
    }
    const QString why = test::netnsUnavailable();
    if (!why.isEmpty()) {
        QTextStream(stderr) << "bench_probe: cannot run here: " << why << "\n";
        return 1;
    }
    test::Responder responder({QStringLiteral("127.5.0.0/16 reply pct=50")});
    if (!responder.error().isEmpty()) {
        QTextStream(stderr) << "bench_probe: " << responder.error() << "\n";
        return 1;
    }
    oneAfterTheOther(hosts, waitMs);
    if (parallel > 0) allAtOnce(parallel, waitMs, window, gapMs);
    return 0;
}
