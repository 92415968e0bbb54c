// Recording cost of a monitoring pass: 1,000 host records, a probe that answers at once, the
// real database file and the real event grid. Prints the cost per host and the event loop's
// longest stall (how late a 10 ms timer fires at worst) for three passes: every host going
// down, every host coming back, and nothing changing.
//
// The same passes run over hosts without parents and over the same number with dependencies:
// every tenth host is the parent of the nine before it (100 parents), so each child is recorded
// before its parent and waits for its check, and going down makes 900 unreachable hosts. The two
// kinds alternate, round after round, and the median of each is compared.
//
// Each round runs the three passes twice on one file. The first time, every statement of a new
// size is prepared (Qt's preparing of a statement with thousands of values grows with the square
// of their number, some 90 ms for the largest), and where the batches of the two kinds differ in
// size (children waiting for their parents cut them elsewhere) so do these costs. The second time
// the statements are prepared already: that is the recording itself.
//
//   bench_pass [HOSTS] [ROUNDS]     1000 hosts, 5 rounds unless given

#include "alerts/sound.h"
#include "benchkit.h"
#include "common/clock.h"
#include "monitor/monitor.h"
#include "store/database.h"
#include "store/schema.h"
#include "ui/controls/flexgrid.h"
#include "ui/main/frmmain.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTextStream>
#include <QTimer>

#include <algorithm>
#include <array>
#include <utility>
#include <vector>

using namespace sentrok;
using namespace sentrok::bench;

namespace {

// Answers the probes asked for in one turn of the event loop all at once, in the order asked. With
// the whole pass asked for at once, every pass cuts its batches the same way, and the second time
// finds its statements prepared.
class InstantProber final : public Prober {
public:
    QString result = QStringLiteral("-1");
    quint64 start(const ProbeRequest&, Done done) override
    {
        m_asked.push_back(std::move(done));
        if (m_asked.size() == 1)
            QTimer::singleShot(0, [this] {
                const std::vector<Done> asked = std::exchange(m_asked, {});
                for (const Done& d : asked) d({result, {}});
            });
        return ++m_id;
    }
    void cancel(quint64) override {}

private:
    quint64 m_id = 0;
    std::vector<Done> m_asked;
};

struct Pass {
    const char* label;
    const char* result;
};
constexpr std::array<Pass, 3> kPasses{
    {{"all going down", "-1"}, {"all coming back", "3"}, {"no change", "3"}}};

constexpr int kCycles = 2;  // the first with statements to prepare, then without

struct Round {
    std::array<std::array<double, 3>, kCycles> msPerHost{};
    std::array<std::array<double, 3>, kCycles> stallMs{};
};

Round runRound(int hosts, bool parents, bool show)
{
    QTemporaryDir dir;
    createDatabase(Database::fileIn(dir.path()));
    {
        Database db(Database::fileIn(dir.path()), QStringLiteral("setup"));
        db.transaction([&] {
            std::vector<qint64> ids;
            for (int i = 0; i < hosts; ++i)
                ids.push_back(addHost(
                    db, QStringLiteral("10.%1.%2.%3").arg(i >> 16).arg((i >> 8) & 255).arg(i & 255),
                    QStringLiteral("host %1").arg(i, 5, 10, QLatin1Char('0'))));
            if (parents)
                for (int i = 0; i < hosts; ++i)
                    if (const int parent = i / 10 * 10 + 9; parent != i && parent < hosts)
                        db.execute(QStringLiteral("update address set parent=? where id=?"),
                                   {ids[parent], ids[i]});
        });
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
    if (!w.Form_Load()) qFatal("the main window did not load");
    if (show) w.show();
    w.monitor()->setMaxInFlight(hosts);
    StallMeter stall;
    Round out;
    for (int cycle = 0; cycle < kCycles; ++cycle)
        for (std::size_t p = 0; p < kPasses.size(); ++p) {
            prober.result = QString::fromLatin1(kPasses[p].result);
            QSignalSpy done(w.monitor(), &Monitor::passFinished);
            stall.start();
            QElapsedTimer t;
            t.start();
            w.monitor()->RunCheckPass();
            while (done.isEmpty()) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
            out.msPerHost[cycle][p] = t.nsecsElapsed() / 1e6 / hosts;
            out.stallMs[cycle][p] = stall.stopMs();
        }
    return out;
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

}  // namespace

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const int hosts = argc > 1 ? QString::fromLocal8Bit(argv[1]).toInt() : 1000;
    const int rounds = argc > 2 ? QString::fromLocal8Bit(argv[2]).toInt() : 5;
    const bool show = !qEnvironmentVariableIsSet("BENCH_HIDDEN");
    QTextStream out(stdout);
    out << "hosts: " << hosts << ", rounds: " << rounds
        << " (without and with parents alternating; medians)\n";
    out.flush();

    // [parents][cycle][pass], one value a round.
    std::array<std::array<std::array<std::vector<double>, 3>, kCycles>, 2> cost, stall;
    for (int r = 0; r < rounds; ++r)
        for (int parents = 0; parents < 2; ++parents) {
            const Round round = runRound(hosts, parents, show);
            for (int c = 0; c < kCycles; ++c)
                for (std::size_t p = 0; p < kPasses.size(); ++p) {
                    cost[parents][c][p].push_back(round.msPerHost[c][p]);
                    stall[parents][c][p].push_back(round.stallMs[c][p]);
                }
        }
    for (int c = 0; c < kCycles; ++c) {
        out << (c == 0 ? "first passes, statements prepared as they come:\n"
                       : "the same passes again, statements prepared already:\n");
        for (std::size_t p = 0; p < kPasses.size(); ++p) {
            const double without = median(cost[0][c][p]), with = median(cost[1][c][p]);
            out << QStringLiteral(
                       "  %1: without parents %2 ms per host (stall %3 ms), with %4 "
                       "parents %5 ms per host (stall %6 ms): %7%8%\n")
                       .arg(QLatin1String(kPasses[p].label))
                       .arg(without, 0, 'f', 3)
                       .arg(median(stall[0][c][p]), 0, 'f', 1)
                       .arg(hosts / 10)
                       .arg(with, 0, 'f', 3)
                       .arg(median(stall[1][c][p]), 0, 'f', 1)
                       .arg(with >= without ? QStringLiteral("+") : QString())
                       .arg((with / without - 1) * 100, 0, 'f', 1);
        }
    }
    return 0;
}
