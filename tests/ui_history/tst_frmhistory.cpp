#include "common/datetext.h"
#include "history/csv.h"
#include "history/historyquery.h"
#include "store/totals.h"
#include "support/mainharness.h"
#include "ui/controls/flexgrid.h"
#include "ui/history/availabilityreport.h"
#include "ui/history/frmhistory.h"
#include "ui/history/historychart.h"

#include <QComboBox>
#include <QLineSeries>
#include <QScatterSeries>
#include <QLabel>
#include <QListWidget>
#include <QMenu>
#include <QPushButton>
#include <QSignalSpy>
#include <QSpinBox>
#include <QTableView>
#include <QTest>

using namespace sentrok;
using namespace sentrok::test;

namespace {

// Three hosts checked every 5 minutes for two days up to the harness clock's now: "steady"
// never fails, "flaky" was down for two hours yesterday, "down" has been down for six hours.
struct Data {
    qint64 steady, flaky, down;
};

Data fill(TestFolder& f, const QDateTime& now)
{
    Data d{f.addHost("10.0.0.1", "steady"), f.addHost("10.0.0.2", "flaky"), f.addHost("10.0.0.3", "down")};
    const QDateTime flakyFrom = now.addSecs(-20 * 3600), flakyTo = flakyFrom.addSecs(2 * 3600);
    const QDateTime downFrom = now.addSecs(-6 * 3600);
    f.db().transaction([&] {
        for (QDateTime t = now.addDays(-2); t < now; t = t.addSecs(300)) {
            const QString dt = storedDateText(t);
            const qint64 echo[] = {20, (t >= flakyFrom && t < flakyTo) ? -1 : 40, t >= downFrom ? -1 : 60};
            const qint64 ids[] = {d.steady, d.flaky, d.down};
            for (int i = 0; i < 3; ++i) {
                f.db().execute("insert into log (id_ip,time_echo,time_wait,dt) values (?,?,'1000',?)", {ids[i], echo[i], dt});
                addChecksToTotals(f.db(), {{ids[i], dt, echo[i]}});
            }
        }
        f.db().execute("insert into noconnect (id_ip,dt1,dt2) values (?,?,?)",
                       {d.flaky, storedDateText(flakyFrom), storedDateText(flakyTo)});
        f.db().execute("insert into noconnect (id_ip,dt1) values (?,?)", {d.down, storedDateText(downFrom)});
    });
    return d;
}

QString figure(QWidget* w, const char* name) { return w->findChild<QLabel*>(QString::fromLatin1(name))->text(); }

}  // namespace

class TestFrmHistory : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { QLocale::setDefault(QLocale(QLocale::Russian, QLocale::Russia)); }
    void hostFiguresAndChartOffTheWindowThread();
    void tableSortedColouredAndExported();
    void openedFromMenusAndDoubleClicks();
    void keptDaysSaved();
    void chartKeepsSpikesAndFailures();
};

void TestFrmHistory::hostFiguresAndChartOffTheWindowThread()
{
    MainHarness h;
    fill(h.folder, h.clock.now());
    frmHistory w({h.folder.path(), &h.boxes, &h.clock, nullptr});
    QSignalSpy loaded(&w, &frmHistory::hostLoaded);
    QVERIFY(w.Form_Load());
    QVERIFY(w.busy());  // the query runs elsewhere; the window shows it is waiting
    QCOMPARE(w.cursor().shape(), Qt::WaitCursor);
    QVERIFY(loaded.wait(10000));
    QTRY_VERIFY(!w.busy());
    QCOMPARE(w.cursor().shape(), Qt::ArrowCursor);

    loaded.clear();
    w.showHost("10.0.0.2");
    QVERIFY(loaded.wait(10000));
    const auto [from, to] = w.period();
    QCOMPARE(from.secsTo(to), 86400);
    const HostFigures want = availabilityOf(*std::make_unique<Database>(h.folder.dbFile(), Database::uniqueName("t")),
                                            from, to, w.hostShown().figures.id)
                                 .front();
    QCOMPARE(w.hostShown().figures.ip, QStringLiteral("10.0.0.2"));
    QCOMPARE(figure(&w, "lblAvailability"), availabilityText(want));
    QCOMPARE(figure(&w, "lblAvailability"), QStringLiteral("91,667 %"));  // 2 of 24 hours down
    QCOMPARE(figure(&w, "lblOutages"), QStringLiteral("1"));
    QCOMPARE(figure(&w, "lblDowntime"), QStringLiteral("02:00:00"));
    QCOMPARE(figure(&w, "lblChecks"), QString::number(want.totals.checks));
    QCOMPARE(figure(&w, "lblReply"), QStringLiteral("40 / 40,0 / 40"));
    // Every check of the day is on the chart, the failed ones among them.
    QCOMPARE(qint64(w.hostShown().points.size()), want.totals.checks);
    // Zooming keeps the axis inside what was asked for, a double click shows it all again.
    HistoryChart* chart = w.chart();
    chart->resize(600, 300);
    QWheelEvent wheel(QPointF(300, 150), chart->mapToGlobal(QPointF(300, 150)), {}, {0, 240}, Qt::NoButton,
                      Qt::NoModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(chart->viewport(), &wheel);
    const auto zoomed = chart->visibleRange();
    QVERIFY(zoomed.first > from && zoomed.second < to);
    QTest::mouseDClick(chart->viewport(), Qt::LeftButton, {}, QPoint(300, 150));
    QCOMPARE(chart->visibleRange().first, from);
}

void TestFrmHistory::tableSortedColouredAndExported()
{
    MainHarness h;
    fill(h.folder, h.clock.now());
    frmHistory w({h.folder.path(), &h.boxes, &h.clock, nullptr});
    QVERIFY(w.Form_Load());
    QSignalSpy table(&w, &frmHistory::tableLoaded);
    w.setPeriod(frmHistory::Week);
    w.showAllHosts();
    QVERIFY(table.wait(10000));
    auto* grid = w.findChild<QTableView*>("grdHosts");
    QCOMPARE(grid->model()->rowCount(), 3);
    // Poorest first, each row in its tier's colour.
    QStringList order;
    for (int r = 0; r < 3; ++r) order << grid->model()->index(r, 0).data().toString();
    QCOMPARE(order, QStringList({"down", "flaky", "steady"}));
    QCOMPARE(grid->model()->index(0, 2).data(Qt::BackgroundRole).value<QColor>(), tierColor(Tier::Poor));
    QCOMPARE(grid->model()->index(2, 2).data(Qt::BackgroundRole).value<QColor>(), tierColor(Tier::Best));

    QTemporaryDir dir;
    QVERIFY(w.exportCsv(dir.filePath("a.csv")));
    QFile csv(dir.filePath("a.csv"));
    QVERIFY(csv.open(QIODevice::ReadOnly));
    QCOMPARE(csv.readAll(), QByteArray("\xEF\xBB\xBF") + figuresCsv(w.tableShown()).toUtf8());

    QSignalSpy exported(&w, &frmHistory::exported);
    w.exportPdf(dir.filePath("a.pdf"));
    QVERIFY(exported.wait(20000));
    QCOMPARE(exported.first().at(1).toString(), QString());
    QFile pdf(dir.filePath("a.pdf"));
    QVERIFY(pdf.open(QIODevice::ReadOnly));
    QVERIFY(pdf.read(5) == "%PDF-");
    QVERIFY(pdf.size() > 5000);

    // A folder that cannot be written is said so, and nothing is lost.
    QVERIFY(!w.exportCsv(dir.filePath("missing/a.csv")));
    QCOMPARE(h.boxes.asked.size(), 1);
}

void TestFrmHistory::openedFromMenusAndDoubleClicks()
{
    MainHarness h;
    fill(h.folder, h.clock.now());
    auto w = h.make();
    QVERIFY(w->Form_Load());
    w->findChild<QAction*>("mnuHistory1")->trigger();
    frmHistory* history = w->historyWindow();
    QVERIFY(history && history->isVisible());
    // The same window from the bar.
    w->findChild<QAction*>("mnuHistory")->trigger();
    QCOMPARE(w->historyWindow(), history);

    // An event row of the main window: the history of its host.
    QSignalSpy loaded(history, &frmHistory::hostLoaded);
    w->PrintStat("10.0.0.3", "down", "1000", "-1", kColorDown);
    w->show();
    FlexGrid* grid = w->grid();
    const QRect cell = grid->visualRect(grid->model()->index(0, 2));
    QTest::mouseDClick(grid->viewport(), Qt::LeftButton, {}, cell.center());
    QTRY_COMPARE(history->hostShown().figures.ip, QStringLiteral("10.0.0.3"));

    // An address in the administration window.
    w->findChild<QAction*>("mnuBase")->trigger();
    auto* list = w->adminWindow()->findChild<QListWidget*>("lstAdr");
    QListWidgetItem* item = list->findItems("10.0.0.1", Qt::MatchExactly).constFirst();
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->visualItemRect(item).center());
    QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, list->visualItemRect(item).center());
    QTRY_COMPARE(history->hostShown().figures.ip, QStringLiteral("10.0.0.1"));
    QCOMPARE(history->findChild<QComboBox*>("cboHost")->currentText(), QStringLiteral("steady [10.0.0.1]"));

    h.boxes.answerNext(MsgAnswer::Yes);
    QVERIFY(w->close());
    QTRY_VERIFY(!w->historyWindow());
}

void TestFrmHistory::keptDaysSaved()
{
    MainHarness h;
    frmHistory w({h.folder.path(), &h.boxes, &h.clock, nullptr});
    QVERIFY(w.Form_Load());
    QTRY_VERIFY(!w.busy());
    QSignalSpy saved(&w, &frmHistory::keepDaysSaved);
    w.findChild<QSpinBox*>("spnKeepDays")->setValue(90);
    w.findChild<QPushButton*>("cmdKeepDays")->click();
    QTRY_COMPARE_WITH_TIMEOUT(saved.count(), 1, 10000);
    QCOMPARE(h.folder.scalar("select log_keep_days from options"), QStringLiteral("90"));
}

// A month of checks is thinned to what the pixels can show; a single slow reply or failed
// check must still be there, and zooming in brings back every check.
void TestFrmHistory::chartKeepsSpikesAndFailures()
{
    HostHistory h;
    const QDateTime to(QDate(2024, 5, 1), QTime(0, 0)), from = to.addDays(-30);
    h.figures.from = from;
    h.figures.to = to;
    h.figures.periodSecs = from.secsTo(to);
    const qint64 start = from.toMSecsSinceEpoch();
    for (int i = 0; i < 43200; ++i) {  // one a minute
        const qint64 reply = i == 30001 ? 999 : i == 12345 ? -1 : 20 + i % 7;
        h.points.push_back({start + qint64(i) * 60000, reply, false});
    }
    HistoryChart chart;
    chart.resize(800, 400);
    chart.setHistory(h);
    const auto series = chart.chart()->series();
    auto* line = qobject_cast<QLineSeries*>(series[2]);
    auto* failed = qobject_cast<QScatterSeries*>(series[3]);
    QVERIFY(line && failed);
    QVERIFY(line->count() < 5000);
    const auto has = [](QXYSeries* s, qint64 x, double y) {
        for (const QPointF& p : s->points())
            if (qint64(p.x()) == x && p.y() == y) return true;
        return false;
    };
    QVERIFY(has(line, start + 30001LL * 60000, 999));
    QVERIFY(has(failed, start + 12345LL * 60000, 0));
    // An hour around the failure: every check of it.
    chart.resize(800, 400);
    for (int i = 0; i < 40 && chart.visibleRange().first.secsTo(chart.visibleRange().second) > 3600; ++i) {
        const QPointF at(chart.chart()->mapToPosition(QPointF(double(start + 12345LL * 60000), 0), line));
        QWheelEvent wheel(at, chart.mapToGlobal(at), {}, {0, 120}, Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
        QApplication::sendEvent(chart.viewport(), &wheel);
    }
    const auto [a, b] = chart.visibleRange();
    QVERIFY(a.secsTo(b) <= 3600);
    const auto inView = [&](const auto& points, auto x) {
        int n = 0;
        for (const auto& p : points) n += x(p) >= a.toMSecsSinceEpoch() && x(p) <= b.toMSecsSinceEpoch();
        return n;
    };
    int answered = 0;
    for (const ReplyPoint& p : h.points)
        answered += p.reply >= 0 && p.msecs >= a.toMSecsSinceEpoch() && p.msecs <= b.toMSecsSinceEpoch();
    QCOMPARE(inView(line->points(), [](const QPointF& p) { return qint64(p.x()); }), answered);
}

QTEST_MAIN(TestFrmHistory)
#include "tst_frmhistory.moc"
