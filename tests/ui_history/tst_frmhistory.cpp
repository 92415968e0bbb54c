#include "common/datetext.h"
#include "history/csv.h"
#include "history/historyquery.h"
#include "store/maintenance.h"
#include "store/totals.h"
#include "support/mainharness.h"
#include "ui/controls/flexgrid.h"
#include "ui/history/availabilityreport.h"
#include "ui/history/charticks.h"
#include "ui/history/frmhistory.h"
#include "ui/history/historychart.h"

#include <QComboBox>
#include <QLabel>
#include <QLineSeries>
#include <QListWidget>
#include <QMenu>
#include <QPushButton>
#include <QScatterSeries>
#include <QScrollArea>
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
    Data d{f.addHost("10.0.0.1", "steady"), f.addHost("10.0.0.2", "flaky"),
           f.addHost("10.0.0.3", "down")};
    const QDateTime flakyFrom = now.addSecs(-20 * 3600), flakyTo = flakyFrom.addSecs(2 * 3600);
    const QDateTime downFrom = now.addSecs(-6 * 3600);
    f.db().transaction([&] {
        for (QDateTime t = now.addDays(-2); t < now; t = t.addSecs(300)) {
            const QString dt = storedDateText(t);
            const qint64 echo[] = {20, (t >= flakyFrom && t < flakyTo) ? -1 : 40,
                                   t >= downFrom ? -1 : 60};
            const qint64 ids[] = {d.steady, d.flaky, d.down};
            for (int i = 0; i < 3; ++i) {
                f.db().execute(
                    "insert into log (id_ip,time_echo,time_wait,dt) values (?,?,'1000',?)",
                    {ids[i], echo[i], dt});
                addChecksToTotals(f.db(), {{ids[i], dt, echo[i]}});
            }
        }
        f.db().execute("insert into noconnect (id_ip,dt1,dt2) values (?,?,?)",
                       {d.flaky, storedDateText(flakyFrom), storedDateText(flakyTo)});
        f.db().execute("insert into noconnect (id_ip,dt1) values (?,?)",
                       {d.down, storedDateText(downFrom)});
    });
    return d;
}

QString figure(QWidget* w, const char* name)
{
    return w->findChild<QLabel*>(QString::fromLatin1(name))->text();
}

}  // namespace

class TestFrmHistory : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { QLocale::setDefault(QLocale(QLocale::Russian, QLocale::Russia)); }
    void hostFiguresAndChartOffTheWindowThread();
    void tableSortedColouredAndExported();
    void openedFromMenusAndDoubleClicks();
    void firstShowHasTheHostsData_data();
    void firstShowHasTheHostsData();
    void roundTicks_data();
    void roundTicks();
    void valueScale_data();
    void valueScale();
    void markLabelsInTheLocale_data();
    void markLabelsInTheLocale();
    void keptDaysSaved();
    void chartKeepsSpikesAndFailures();
};

void TestFrmHistory::hostFiguresAndChartOffTheWindowThread()
{
    MainHarness h;
    fill(h.folder, h.clock.now());
    frmHistory w({.programFolder = h.folder.path(),
                  .boxes = &h.boxes,
                  .clock = &h.clock,
                  .retention = nullptr});
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
    const HostFigures want =
        availabilityOf(*std::make_unique<Database>(h.folder.dbFile(), Database::uniqueName("t")),
                       from, to, w.hostShown().figures.id)
            .front();
    QCOMPARE(w.hostShown().figures.ip, QStringLiteral("10.0.0.2"));
    QCOMPARE(figure(&w, "lblAvailability"), availabilityText(want));
    QCOMPARE(figure(&w, "lblAvailability"), QStringLiteral("91,667\u00A0%"));  // 2 of 24 hours down
    QCOMPARE(figure(&w, "lblOutages"), QStringLiteral("1"));
    QCOMPARE(figure(&w, "lblDowntime"), QStringLiteral("02:00:00"));
    QCOMPARE(figure(&w, "lblChecks"), QString::number(want.totals.checks));
    QCOMPARE(figure(&w, "lblReply"), QStringLiteral("40 / 40,0 / 40"));
    // Planned work over the whole outage: the agreed figure leaves it out, the other keeps it.
    {
        Database db(h.folder.dbFile(), Database::uniqueName("m"));
        const QDateTime outage = h.clock.now().addSecs(-20 * 3600);
        addMaintenanceWindow(db, {.hostId = w.hostShown().figures.id,
                                  .from = outage.addSecs(-1800),
                                  .to = outage.addSecs(2 * 3600 + 1800)});
    }
    loaded.clear();
    w.findChild<QPushButton*>(QStringLiteral("cmdRefresh"))->click();
    QVERIFY(loaded.wait(10000));
    QCOMPARE(figure(&w, "lblAvailability"),
             QStringLiteral("91,667\u00A0% (без обслуживания 100,000\u00A0%)"));
    // Every check of the day is on the chart, the failed ones among them.
    QCOMPARE(qint64(w.hostShown().points.size()), want.totals.checks);
    // Zooming keeps the axis inside what was asked for, a double click shows it all again.
    HistoryChart* chart = w.chart();
    chart->resize(600, 300);
    QWheelEvent wheel(QPointF(300, 150), chart->mapToGlobal(QPointF(300, 150)), {}, {0, 240},
                      Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
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
    frmHistory w({.programFolder = h.folder.path(),
                  .boxes = &h.boxes,
                  .clock = &h.clock,
                  .retention = nullptr});
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
    QCOMPARE(grid->model()->index(0, 2).data(Qt::BackgroundRole).value<QColor>(),
             tierColor(Tier::Poor));
    QCOMPARE(grid->model()->index(2, 2).data(Qt::BackgroundRole).value<QColor>(),
             tierColor(Tier::Best));

    QTemporaryDir dir;
    QVERIFY(w.exportCsv(dir.filePath("a.csv")));
    QFile csv(dir.filePath("a.csv"));
    QVERIFY(csv.open(QIODevice::ReadOnly));
    // For the spreadsheet of the user's locale (Russian here), marked as UTF-8.
    const QByteArray written = csv.readAll();
    QVERIFY(written.startsWith("\xEF\xBB\xBF" + QStringLiteral("Код;IP-адрес;Описание;").toUtf8()));
    QCOMPARE(written.mid(3), figuresCsv(w.tableShown(), QLocale()).toUtf8());

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
    QCOMPARE(h.boxes.asked[0].owner, &w);  // over the window, not the main one
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
    QCOMPARE(history->findChild<QComboBox*>("cboHost")->currentText(),
             QStringLiteral("steady [10.0.0.1]"));

    h.boxes.answerNext(MsgAnswer::Yes);
    QVERIFY(w->close());
    QTRY_VERIFY(!w->historyWindow());
}

// However the window is first opened, the host asked for is read at once: its figures and chart,
// without "Обновить". The hosts are listed by description (down, flaky, steady): the one asked
// for is not the first. From the tray the window shows the first host.
void TestFrmHistory::firstShowHasTheHostsData_data()
{
    QTest::addColumn<QString>("from");
    QTest::addColumn<bool>("empty");  // no host in the database
    QTest::addColumn<QString>("ip");  // the host shown
    QTest::addColumn<QString>("outages");
    QTest::newRow("double click in the administration window") << "admin" << false << "10.0.0.1"
                                                               << "0";
    QTest::newRow("double click on an event row") << "event" << false << "10.0.0.2"
                                                  << "1";
    QTest::newRow("tray menu") << "tray" << false << "10.0.0.3"
                               << "1";
    QTest::newRow("tray menu, empty database") << "tray" << true << ""
                                               << "—";
}

void TestFrmHistory::firstShowHasTheHostsData()
{
    QFETCH(QString, from);
    QFETCH(bool, empty);
    QFETCH(QString, ip);
    QFETCH(QString, outages);
    MainHarness h;
    if (!empty) fill(h.folder, h.clock.now());
    auto w = h.make();
    QVERIFY(w->Form_Load());
    w->show();
    if (from == "admin") {
        w->findChild<QAction*>("mnuBase")->trigger();
        auto* list = w->adminWindow()->findChild<QListWidget*>("lstAdr");
        const QRect item = list->visualItemRect(list->findItems(ip, Qt::MatchExactly).constFirst());
        // A double click as the user makes it: QTest's alone has no press before it.
        QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, item.center());
        QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, item.center());
    } else if (from == "event") {
        w->PrintStat(ip, "flaky", "1000", "-1", kColorDown);
        FlexGrid* grid = w->grid();
        const QPoint cell = grid->visualRect(grid->model()->index(0, 2)).center();
        QTest::mouseClick(grid->viewport(), Qt::LeftButton, {}, cell);
        QTest::mouseDClick(grid->viewport(), Qt::LeftButton, {}, cell);
    } else {
        w->findChild<QAction*>("mnuHistory1")->trigger();
    }
    frmHistory* history = w->historyWindow();
    QVERIFY(history && history->isVisible());
    // Made for 1000 pixels, it fits the offscreen 800 without scrolling.
    QTRY_VERIFY(QRect(0, 0, 800, 800).contains(history->frameGeometry()));
    QVERIFY(!history->findChild<QScrollArea*>());
    HistoryChart* chart = history->chart();
    if (empty) {
        QTRY_COMPARE(chart->chart()->title(), QStringLiteral("В базе нет хостов"));
        QVERIFY(!chart->chart()->axes().constFirst()->isVisible());
        QCOMPARE(figure(history, "lblOutages"), outages);
        return;
    }
    QTRY_COMPARE_WITH_TIMEOUT(history->hostShown().figures.ip, ip, 10000);
    QCOMPARE(history->findChild<QComboBox*>("cboHost")->currentData().toList().value(1).toString(),
             ip);
    QVERIFY(figure(history, "lblAvailability").endsWith(u'%'));
    QCOMPARE(figure(history, "lblOutages"), outages);
    QCOMPARE(chart->chart()->title(), QString());
    QVERIFY(chart->chart()->axes().constFirst()->isVisible());
    QVERIFY(qobject_cast<QLineSeries*>(chart->chart()->series()[2])->count() > 0);
}

// Marks fall on whole minutes, hours or days, at most as many as asked for (one more where both
// ends of the span fall on one), their labels all different.
void TestFrmHistory::roundTicks_data()
{
    QTest::addColumn<QDateTime>("from");
    QTest::addColumn<qint64>("spanSecs");
    QTest::addColumn<int>("most");
    QTest::addColumn<qint64>("stepSecs");
    QTest::addColumn<QString>("first");
    const QDateTime odd(QDate(2024, 5, 6), QTime(6, 4, 17));
    QTest::newRow("24 hours, 7 marks: 6 hours") << odd << 86400LL << 7 << 21600LL << "06.05 12:00";
    QTest::newRow("24 hours, 4 marks: still 6 hours")
        << odd << 86400LL << 4 << 21600LL << "06.05 12:00";
    QTest::newRow("24 hours, 3 marks: 12 hours") << odd << 86400LL << 3 << 43200LL << "06.05 12:00";
    QTest::newRow("an hour: 10 minutes") << odd << 3600LL << 7 << 600LL << "06:10";
    QTest::newRow("7 days: 1 day, at midnight") << odd << 7 * 86400LL << 7 << 86400LL << "07.05";
    QTest::newRow("30 days: 5 days") << odd << 30 * 86400LL << 7 << 5 * 86400LL << "09.05";
    QTest::newRow("a year: 100 days") << odd << 365 * 86400LL << 4 << 100 * 86400LL << "08.07";
    const QDateTime round(QDate(2024, 5, 6), QTime(6, 0));
    QTest::newRow("both ends on a mark: one more") << round << 6 * 3600LL << 6 << 3600LL << "06:00";
}

void TestFrmHistory::roundTicks()
{
    QFETCH(QDateTime, from);
    QFETCH(qint64, spanSecs);
    QFETCH(int, most);
    QFETCH(qint64, stepSecs);
    QFETCH(QString, first);
    const QLocale ru(QLocale::Russian, QLocale::Russia);
    const qint64 a = from.toMSecsSinceEpoch(), b = a + spanSecs * 1000;
    const std::vector<TimeTick> ticks = timeTicks(a, b, most, ru);
    QVERIFY(!ticks.empty());
    QCOMPARE(ticks.front().label, first);
    QVERIFY(int(ticks.size()) <= most + 1);
    QVERIFY(ticks.front().msecs >= a && ticks.back().msecs <= b);
    QSet<QString> labels;
    for (std::size_t i = 0; i < ticks.size(); ++i) {
        const QDateTime t = QDateTime::fromMSecsSinceEpoch(ticks[i].msecs);
        if (stepSecs < 86400)
            QCOMPARE(t.time().msecsSinceStartOfDay() % (stepSecs * 1000), 0);
        else
            QCOMPARE(t.time(), QTime(0, 0));
        if (i > 0) QCOMPARE(QDateTime::fromMSecsSinceEpoch(ticks[i - 1].msecs).secsTo(t), stepSecs);
        labels.insert(ticks[i].label);
    }
    QCOMPARE(labels.size(), qsizetype(ticks.size()));
    // Half the step would give more intervals than asked for.
    QVERIFY(double(spanSecs) / double(stepSecs / 2) > most);
}

void TestFrmHistory::valueScale_data()
{
    QTest::addColumn<double>("highest");
    QTest::addColumn<int>("intervals");
    QTest::addColumn<double>("step");
    QTest::addColumn<double>("top");
    QTest::newRow("19 in 5: by 5 to 20") << 19.0 << 5 << 5.0 << 20.0;
    QTest::newRow("exactly 10 in 5: by 2 to 10") << 10.0 << 5 << 2.0 << 10.0;
    QTest::newRow("just above 10 in 5: by 5 to 15") << 10.5 << 5 << 5.0 << 15.0;
    QTest::newRow("101 in 5: by 50 to 150") << 101.0 << 5 << 50.0 << 150.0;
    QTest::newRow("7000 in 4: by 2000 to 8000") << 7000.0 << 4 << 2000.0 << 8000.0;
    QTest::newRow("nothing: by 0.2 to 1") << 0.0 << 5 << 0.2 << 1.0;
}

void TestFrmHistory::valueScale()
{
    QFETCH(double, highest);
    QFETCH(int, intervals);
    QFETCH(double, step);
    QFETCH(double, top);
    const ValueScale s = sentrok::valueScale(highest, intervals);
    QCOMPARE(s.step, step);
    QCOMPARE(s.top, top);
    QVERIFY(s.intervals() <= intervals);
}

// A mark's label: the locale's own date without its year, its time without seconds.
void TestFrmHistory::markLabelsInTheLocale_data()
{
    QTest::addColumn<QLocale>("locale");
    QTest::addColumn<QString>("midnight");
    QTest::addColumn<QString>("evening");
    QTest::newRow("Russian") << QLocale(QLocale::Russian, QLocale::Russia) << "28.12"
                             << "28.12 20:58";
    QTest::newRow("C") << QLocale::c() << "28 Dec"
                       << "28 Dec 20:58";
    QTest::newRow("English (US)") << QLocale(QLocale::English, QLocale::UnitedStates) << "12/28"
                                  << "12/28 8:58 PM";
    QTest::newRow("ISO dates (Sweden)") << QLocale(QLocale::Swedish, QLocale::Sweden) << "12-28"
                                        << "12-28 20:58";
}

void TestFrmHistory::markLabelsInTheLocale()
{
    QFETCH(QLocale, locale);
    QFETCH(QString, midnight);
    QFETCH(QString, evening);
    const qint64 day = QDateTime(QDate(2026, 12, 28), QTime(0, 0)).toMSecsSinceEpoch();
    // Two days at 12-hour marks: midnight alone, the other marks with their date.
    const std::vector<TimeTick> ticks = timeTicks(day - 3600'000, day + 47 * 3600'000, 4, locale);
    QVERIFY(ticks.size() >= 2);
    QCOMPARE(ticks[0].label, midnight);
    QCOMPARE(widestTimeLabel(locale), evening);
}

void TestFrmHistory::keptDaysSaved()
{
    MainHarness h;
    frmHistory w({.programFolder = h.folder.path(),
                  .boxes = &h.boxes,
                  .clock = &h.clock,
                  .retention = nullptr});
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
    for (int i = 0; i < 40 && chart.visibleRange().first.secsTo(chart.visibleRange().second) > 3600;
         ++i) {
        const QPointF at(
            chart.chart()->mapToPosition(QPointF(double(start + 12345LL * 60000), 0), line));
        QWheelEvent wheel(at, chart.mapToGlobal(at), {}, {0, 120}, Qt::NoButton, Qt::NoModifier,
                          Qt::NoScrollPhase, false);
        QApplication::sendEvent(chart.viewport(), &wheel);
    }
    const auto [a, b] = chart.visibleRange();
    QVERIFY(a.secsTo(b) <= 3600);
    const auto inView = [&](const auto& points, auto x) {
        int n = 0;
        for (const auto& p : points)
            n += x(p) >= a.toMSecsSinceEpoch() && x(p) <= b.toMSecsSinceEpoch();
        return n;
    };
    int answered = 0;
    for (const ReplyPoint& p : h.points)
        answered +=
            p.reply >= 0 && p.msecs >= a.toMSecsSinceEpoch() && p.msecs <= b.toMSecsSinceEpoch();
    QCOMPARE(inView(line->points(), [](const QPointF& p) { return qint64(p.x()); }), answered);
}

QTEST_MAIN(TestFrmHistory)
#include "tst_frmhistory.moc"
