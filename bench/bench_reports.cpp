// How long the administration window's reports take when the log has grown large.
//
//   bench_reports [log rows, default 3000000] [hosts, default 100]
//
// Builds a throwaway database in a temporary folder: one host holds a third of the checks, the
// others share the rest, and every host has outages. Then times the two reports, composed
// alone and through the window's button, for the busy host and a few quiet ones.

#include "alerts/sound.h"
#include "benchkit.h"
#include "store/database.h"
#include "store/reports.h"
#include "store/schema.h"
#include "ui/admin/frmbase.h"
#include "ui/controls/qtmessageboxes.h"

#include <QAbstractButton>
#include <QApplication>
#include <QElapsedTimer>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <vector>

using namespace sentrok;
using sentrok::bench::SilentPlayer;

namespace {

void fill(Database& db, qint64 logRows, int hosts)
{
    db.transaction([&] {
        for (int i = 1; i <= hosts; ++i)
            addHost(db, QStringLiteral("10.0.%1.%2").arg(i / 256).arg(i % 256),
                    QStringLiteral("host %1").arg(i));
        // A check every 10 seconds; every third row belongs to host 1, the rest go round the
        // other hosts.
        db.execute(QStringLiteral(
                       "WITH RECURSIVE n(x) AS (SELECT 0 UNION ALL SELECT x+1 FROM n WHERE x+1<?) "
                       "INSERT INTO log (id_ip,time_echo,time_wait,dt) "
                       "SELECT CASE WHEN x%3=0 THEN 1 ELSE 2+((x/3)%(?-1)) END, "
                       "CASE WHEN x%17=0 THEN -1 ELSE x%250 END, '1000', "
                       "datetime('2020-01-01', '+'||(x*10)||' seconds') FROM n"),
                   {logRows, hosts});
        // An outage for every 50 checks, the last one of each host still open.
        db.execute(QStringLiteral(
                       "WITH RECURSIVE n(x) AS (SELECT 0 UNION ALL SELECT x+1 FROM n WHERE x+1<?) "
                       "INSERT INTO noconnect (id_ip,dt1,dt2) "
                       "SELECT 1+(x%?), datetime('2020-01-01', '+'||(x*500)||' seconds'), "
                       "datetime('2020-01-01', '+'||(x*500+60)||' seconds') FROM n"),
                   {logRows / 50, hosts});
        db.execute(
            QStringLiteral("UPDATE noconnect SET dt2='1899-12-30 00:00:00' WHERE id IN "
                           "(SELECT max(id) FROM noconnect GROUP BY id_ip)"));
    });
}

QString plan(Database& db, const QString& sql)
{
    QString out;
    for (Result r = db.execute(QStringLiteral("EXPLAIN QUERY PLAN ") + sql, {1, kReportRows});
         !r.eof(); r.moveNext())
        out += QStringLiteral("    ") + r.field(QStringLiteral("detail")).toString() + u'\n';
    return out;
}

struct Timing {
    double median, worst;
};

template <typename Fn>
Timing timeIt(int runs, Fn&& fn)
{
    std::vector<double> ms;
    for (int i = 0; i < runs; ++i) {
        QElapsedTimer t;
        t.start();
        fn();
        ms.push_back(double(t.nsecsElapsed()) / 1e6);
    }
    std::sort(ms.begin(), ms.end());
    return {ms[ms.size() / 2], ms.back()};
}

void print(const char* what, Timing t)
{
    std::printf("  %-46s median %7.1f ms   worst %7.1f ms\n", what, t.median, t.worst);
}

}  // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", QByteArrayLiteral("offscreen"));
    QApplication app(argc, argv);
    QLocale::setDefault(QLocale(QLocale::Russian, QLocale::Russia));
    const qint64 logRows = argc > 1 ? QByteArray(argv[1]).toLongLong() : 3'000'000;
    const int hosts = argc > 2 ? QByteArray(argv[2]).toInt() : 100;

    QTemporaryDir dir;
    const QString file = Database::fileIn(dir.path());
    createDatabase(file);
    QElapsedTimer t;
    t.start();
    {
        Database db(file, Database::uniqueName(QStringLiteral("bench")));
        fill(db, logRows, hosts);
    }
    std::printf("%lld log rows, %lld outages, %d hosts written in %.1f s\n", logRows, logRows / 50,
                hosts, double(t.elapsed()) / 1000);

    {
        Database db(file, Database::uniqueName(QStringLiteral("bench")));
        std::printf(
            "checks report plan:\n%s",
            qPrintable(plan(
                db, QStringLiteral("SELECT log.dt, log.time_echo FROM address INNER JOIN log ON "
                                   "address.id = log.id_ip WHERE address.id=? "
                                   "ORDER BY log.dt DESC, log.id DESC LIMIT ?"))));
        std::printf(
            "outages report plan:\n%s",
            qPrintable(plan(
                db, QStringLiteral("SELECT noconnect.dt1, noconnect.dt2 FROM address INNER JOIN "
                                   "noconnect ON address.id = noconnect.id_ip WHERE address.id=? "
                                   "LIMIT ?"))));
        // The first report after opening the file reads its pages from disk.
        print("checks, busy host, first after opening", timeIt(1, [&] { checksReport(db, 1); }));
        print("checks, busy host (1/3 of the log)", timeIt(20, [&] { checksReport(db, 1); }));
        print("checks, quiet host", timeIt(20, [&] { checksReport(db, hosts / 2); }));
        print("outages, busy host", timeIt(20, [&] { outagesReport(db, 1); }));
    }

    // The whole click as the user has it: query, text, and the box showing it.
    QtMessageBoxes boxes;
    SilentPlayer player;
    Sound sound(player, dir.path());
    frmBase window({.programFolder = dir.path(), .boxes = &boxes, .sound = &sound});
    if (!window.Form_Load()) return 1;
    window.show();
    auto* list = window.findChild<QListWidget*>(QStringLiteral("lstAdr"));
    auto* detail = window.findChild<QPlainTextEdit*>(QStringLiteral("txtDetail"));
    list->setCurrentItem(
        list->findItems(QStringLiteral("10.0.0.1"), Qt::MatchExactly).constFirst());
    for (const char* button : {"Command3", "Command4"}) {
        auto* b = window.findChild<QAbstractButton*>(QString::fromLatin1(button));
        const Timing timing = timeIt(10, [&] {
            b->click();
            QApplication::processEvents();
        });
        print(qPrintable(QStringLiteral("window %1, busy host (%2 lines)")
                             .arg(QLatin1String(button))
                             .arg(detail->document()->blockCount() - 1)),
              timing);
    }
    window.close();
    return 0;
}
