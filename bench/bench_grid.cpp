// The event grid over a long run: the cost of putting one more row on top as the grid fills
// up to its ceiling and keeps going past it (the bottom row leaving for every new one), in a
// shown window, and the memory the rows take. Past the ceiling the memory must stay flat.
//
//   bench_grid [ROWS [CEILING]]   rows to add, 400,000 by default (four times the ceiling);
//                                 the ceiling, the main window's by default

#include "benchkit.h"
#include "ui/controls/flexgrid.h"
#include "ui/main/frmmain.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTextStream>

#include <ctime>

using namespace sentrok;
using sentrok::bench::statusKb;

namespace {

// The time this thread has run: on a shared machine the wall clock also counts the others.
qint64 cpuNs()
{
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return qint64(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

}  // namespace

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const int total =
        argc > 1 ? QString::fromLocal8Bit(argv[1]).toInt() : 4 * frmMain::kEventRowsKept;
    const int step = std::max(total / 20, 1);
    QTextStream out(stdout);
    FlexGrid g;
    g.setFormatString(frmMain::kGridFormat);
    g.setColWidth(0, 0);
    g.setMaxRows(argc > 2 ? QString::fromLocal8Bit(argv[2]).toInt() : frmMain::kEventRowsKept);
    g.resize(640, 400);
    g.show();
    QCoreApplication::processEvents();
    const long before = statusKb("VmRSS:");
    long atCeiling = 0, highest = 0;
    QElapsedTimer t;
    qint64 worstNs = 0, batchNs = 0, cpuAtBatch = cpuNs();
    out << QStringLiteral("ceiling %1 rows, adding %2\n").arg(g.maxRows()).arg(total);
    for (int i = 1; i <= total; ++i) {
        t.start();
        g.setRedraw(false);
        // Texts of one length whatever i: rows that grew longer as the run goes on would read
        // as memory the grid fails to give back.
        g.addItem(QStringLiteral("\tСервер %1\t10.%2.%3.%4\t07.12.2026 20:07:11\t1000\t-1")
                      .arg(i, 7, 10, QChar(u'0'))
                      .arg((i >> 16) + 100)
                      .arg(((i >> 8) & 255) + 100)
                      .arg((i & 255) + 100),
                  1);
        g.setRow(1);
        for (int c = 1; c <= 5; ++c) {
            g.setCol(c);
            g.setCellAlignment(c == 1 ? 1 : c == 2 ? 0 : 6);
            g.setCellForeColor(i % 2 ? 0x0000FF : 0x008000);
        }
        g.setRedraw(true);
        QCoreApplication::processEvents();
        const qint64 ns = t.nsecsElapsed();
        worstNs = std::max(worstNs, ns);
        batchNs += ns;
        if (i % step == 0 || i == total) {
            const long rss = statusKb("VmRSS:") - before;
            if (i == g.maxRows()) atCeiling = rss;
            highest = std::max(highest, rss);
            const qint64 cpu = cpuNs();
            out << QStringLiteral(
                       "rows added %1, kept %2: mean %3 us per row (CPU %4 us), worst so "
                       "far %5 ms, RSS +%6 MB\n")
                       .arg(i, 7)
                       .arg(g.rows() - 1, 6)
                       .arg(batchNs / 1000.0 / step, 0, 'f', 1)
                       .arg((cpu - cpuAtBatch) / 1000.0 / step, 0, 'f', 1)
                       .arg(worstNs / 1e6, 0, 'f', 1)
                       .arg(rss / 1024.0, 0, 'f', 1);
            out.flush();
            batchNs = 0;
            cpuAtBatch = cpu;
        }
    }
    if (atCeiling > 0)
        out << QStringLiteral(
                   "memory at the ceiling +%1 MB, highest after it +%2 MB (%3 bytes a "
                   "kept row)\n")
                   .arg(atCeiling / 1024.0, 0, 'f', 1)
                   .arg(highest / 1024.0, 0, 'f', 1)
                   .arg(atCeiling * 1024.0 / g.maxRows(), 0, 'f', 0);
    return 0;
}
