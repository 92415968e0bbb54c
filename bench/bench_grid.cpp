// The event grid with many rows: the cost of putting one more row on top as the grid grows
// to 100,000 rows, in a shown window, and the memory the rows take.

#include "benchkit.h"
#include "ui/controls/flexgrid.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTextStream>

using namespace sentrok;
using sentrok::bench::statusKb;

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const int total = argc > 1 ? QString::fromLocal8Bit(argv[1]).toInt() : 100000;
    QTextStream out(stdout);
    FlexGrid g;
    g.setFormatString(QStringLiteral(
        "|Описание                      |Ip-адрес     |Дата/Время                |Вр.ож.|Вр.отв."));
    g.setColWidth(0, 0);
    g.resize(640, 400);
    g.show();
    QCoreApplication::processEvents();
    const long before = statusKb("VmRSS:");
    QElapsedTimer t;
    qint64 worstNs = 0, batchNs = 0;
    for (int i = 1; i <= total; ++i) {
        t.start();
        g.setRedraw(false);
        g.addItem(QStringLiteral("\tСервер %1\t10.%2.%3.%4\t07.12.2026 20:07:11\t1000\t-1")
                      .arg(i).arg(i >> 16).arg((i >> 8) & 255).arg(i & 255), 1);
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
        if (i % (total / 10) == 0) {
            out << QStringLiteral("rows %1: mean %2 us per row over the last %3, worst so far %4 ms, RSS +%5 MB\n")
                       .arg(i, 6).arg(batchNs / 1000.0 / (total / 10), 0, 'f', 1).arg(total / 10)
                       .arg(worstNs / 1e6, 0, 'f', 1).arg((statusKb("VmRSS:") - before) / 1024.0, 0, 'f', 1);
            out.flush();
            batchNs = 0;
        }
    }
    return 0;
}
