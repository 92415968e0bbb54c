// Recording cost of a monitoring pass: 1,000 host records, a probe that answers at once, the
// real database file and the real event grid. Prints the cost per host and the event loop's
// longest stall (how late a 10 ms timer fires at worst) for three passes: every host going
// down, every host coming back, and nothing changing.

#include "benchkit.h"
#include "alerts/sound.h"
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

using namespace sentrok;
using namespace sentrok::bench;

namespace {

class InstantProber final : public Prober {
public:
    QString result = QStringLiteral("-1");
    quint64 start(const ProbeRequest&, Done done) override
    {
        QTimer::singleShot(0, [r = result, done] { done({r, {}}); });
        return ++m_id;
    }
    void cancel(quint64) override {}

private:
    quint64 m_id = 0;
};

}  // namespace

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const int hosts = argc > 1 ? QString::fromLocal8Bit(argv[1]).toInt() : 1000;
    QTextStream out(stdout);

    QTemporaryDir dir;
    createDatabase(Database::fileIn(dir.path()));
    {
        Database db(Database::fileIn(dir.path()), QStringLiteral("setup"));
        db.transaction([&] {
            for (int i = 0; i < hosts; ++i)
                addHost(db, QStringLiteral("10.%1.%2.%3").arg(i >> 16).arg((i >> 8) & 255).arg(i & 255),
                        QStringLiteral("host %1").arg(i, 5, 10, QLatin1Char('0')));
        });
    }
    SystemClock clock;
    NoBoxes boxes;
    InstantProber prober;
    SilentPlayer player;
    QTemporaryDir locks;
    frmMain w({dir.path(), locks.path(), &boxes, &clock, &prober, &player, {}});
    if (!w.Form_Load()) return 1;
    if (!qEnvironmentVariableIsSet("BENCH_HIDDEN")) w.show();
    StallMeter stall;

    out << "hosts: " << hosts << "\n";
    for (const auto& [label, result] : {std::pair{"all going down", "-1"},
                                        std::pair{"all coming back", "3"},
                                        std::pair{"no change", "3"}}) {
        prober.result = QString::fromLatin1(result);
        QSignalSpy done(w.monitor(), &Monitor::passFinished);
        stall.start();
        QElapsedTimer t;
        t.start();
        w.monitor()->RunCheckPass();
        while (done.isEmpty()) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        const double ms = t.nsecsElapsed() / 1e6;
        out << QStringLiteral("%1: pass %2 ms, %3 ms per host, longest stall %4 ms, grid rows %5\n")
                   .arg(QLatin1String(label))
                   .arg(ms, 0, 'f', 1)
                   .arg(ms / hosts, 0, 'f', 3)
                   .arg(stall.stopMs(), 0, 'f', 1)
                   .arg(w.grid()->rows() - 1);
        out.flush();
    }
    return 0;
}
