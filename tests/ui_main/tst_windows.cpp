#include "alerts/sound.h"
#include "monitor/monitor.h"
#include "store/maintenance.h"
#include "support/fakes.h"
#include "support/mainharness.h"
#include "support/testdb.h"
#include "ui/controls/flexgrid.h"
#include "ui/main/frmmain.h"
#include "ui/outages/frmnocon.h"

#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QSignalSpy>
#include <QSystemTrayIcon>
#include <QTest>

using namespace sentrok;
using namespace sentrok::test;

namespace {

using Harness = MainHarness;

QStringList names(const QList<QAction*>& actions)
{
    QStringList out;
    for (QAction* a : actions)
        out << (a->isSeparator() ? QStringLiteral("-") + a->objectName() : a->objectName());
    return out;
}

QStringList row(FlexGrid* g, int r)
{
    return {g->textMatrix(r, 1), g->textMatrix(r, 2), g->textMatrix(r, 3)};
}

}  // namespace

class TestWindows : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { QLocale::setDefault(QLocale(QLocale::Russian, QLocale::Russia)); }
    void menuBarAndTrayMenu();
    void trayToolTipCountsHostsDown();
    void hideWithoutTrayMinimises();
    void hideToTrayAndBack();
    void trayExitAnsweredNo();
    void outageListEmpty();
    void outageListNewestOnTop();
    void outageListNullAndEmptyDescription();
    void outageListNamesTheAncestorWaitedFor();
    void outageListShowsMaintenance_data();
    void outageListShowsMaintenance();
    void outageGeometryAndWidthsRoundTrip();
    void outageGridKeepsSizeWhenTiny();
    void closedOutageWindowReloadedHiddenByPass();
    void shutdownSavesOutageWindowToo();
    void adminWindowIsOneInstance();
};

void TestWindows::menuBarAndTrayMenu()
{
    Harness h;
    auto w = h.make();
    QVERIFY(w->Form_Load());
    QCOMPARE(names(w->menuBar()->actions()),
             QStringList({"mnuStart", "mnuShowNoCon", "mnuBase", "mnuMin", "mnuHistory"}));
    QStringList captions;
    for (QAction* a : w->menuBar()->actions()) captions << a->text();
    QCOMPARE(captions, QStringList({"Начать проверку", "Отсутствующие соединения", "База адресов",
                                    "Свернуть", "История"}));
    QMenu* popup = w->trayMenu();
    QCOMPARE(names(popup->actions()), QStringList({"mnuMax", "-itm0", "mnuStart1", "mnuNoconn",
                                                   "mnuBase1", "mnuHistory1", "-itm2", "mnuEnd1"}));
    QCOMPARE(popup->defaultAction(), w->findChild<QAction*>("mnuMax"));
    QCOMPARE(popup->defaultAction()->text(), QStringLiteral("Восстановить"));
    QCOMPARE(w->trayIcon()->contextMenu(), popup);
    QCOMPARE(w->trayIcon()->toolTip(), QStringLiteral("Sentrok"));
    QVERIFY(!w->trayIcon()->isVisible());
    // The tray's start item works while the window is hidden.
    h.folder.addHost("10.0.0.1", "a");
    w->findChild<QAction*>("mnuStart1")->trigger();
    QVERIFY(w->monitor()->passRunning());
}

void TestWindows::trayToolTipCountsHostsDown()
{
    Harness h;
    h.folder.addHost("10.0.0.1", "a");
    h.folder.addHost("10.0.0.2", "b");
    auto w = h.make();
    QVERIFY(w->Form_Load());
    QSignalSpy done(w->monitor(), &Monitor::passFinished);
    const auto pass = [&](ProbeOutcome a, ProbeOutcome b) {
        h.prober.answers["10.0.0.1"] = a;
        h.prober.answers["10.0.0.2"] = b;
        QVERIFY(w->monitor()->RunCheckPass());
        QVERIFY(done.wait(5000));
    };
    pass(silent(), silent());
    QCOMPARE(w->trayIcon()->toolTip(), QStringLiteral("Sentrok: не пингуется 2"));
    pass(reply("5"), silent());
    QCOMPARE(w->trayIcon()->toolTip(), QStringLiteral("Sentrok: не пингуется 1"));
    pass(reply("5"), reply("5"));
    QCOMPARE(w->trayIcon()->toolTip(), QStringLiteral("Sentrok"));
}

void TestWindows::hideWithoutTrayMinimises()
{
    Harness h;
    auto w = h.make();
    QVERIFY(w->Form_Load());
    w->show();
    w->findChild<QAction*>("mnuMin")->trigger();
    QVERIFY(w->isMinimized());
    QVERIFY(w->isVisible());  // still on the task bar
    QVERIFY(!w->trayIcon()->isVisible());
}

void TestWindows::hideToTrayAndBack()
{
    Harness h;
    h.tray = true;
    auto w = h.make();
    QVERIFY(w->Form_Load());
    w->show();
    w->findChild<QAction*>("mnuMin")->trigger();
    QVERIFY(!w->isVisible());
    QVERIFY(w->trayIcon()->isVisible());
    // The timer goes on while hidden.
    QVERIFY(w->monitor()->timer()->isActive());
    emit w->trayIcon()->activated(QSystemTrayIcon::Trigger);  // a left click
    QVERIFY(w->isVisible());
    QVERIFY(!w->trayIcon()->isVisible());
    w->findChild<QAction*>("mnuMin")->trigger();
    emit w->trayIcon()->activated(
        QSystemTrayIcon::Context);  // the right button only opens the menu
    QVERIFY(!w->isVisible());
    w->findChild<QAction*>("mnuMax")->trigger();
    QVERIFY(w->isVisible());
}

void TestWindows::trayExitAnsweredNo()
{
    Harness h;
    h.tray = true;
    auto w = h.make();
    QVERIFY(w->Form_Load());
    w->show();
    w->findChild<QAction*>("mnuMin")->trigger();
    h.boxes.answerNext(MsgAnswer::No);
    w->findChild<QAction*>("mnuEnd1")->trigger();
    QCOMPARE(h.boxes.asked.size(), 1);
    QCOMPARE(h.boxes.asked[0].text, QStringLiteral("Действительно хотите выйти ?"));
    QVERIFY(w->isVisible());
    QVERIFY(!w->trayIcon()->isVisible());
    QVERIFY(!w->unloaded());
    QVERIFY(w->monitor()->timer()->isActive());
}

void TestWindows::outageListEmpty()
{
    Harness h;
    QAction item("Отсутствующие соединения");
    auto o = h.outages(&item);
    QVERIFY(o->Form_Load());
    QCOMPARE(o->grid()->rows(), 1);
    QCOMPARE(o->grid()->cols(), 4);
    QCOMPARE(o->grid()->colWidth(0), 0);
    QCOMPARE(o->windowTitle(), QStringLiteral("Не пингуются [07.12.2026 20:07:11]"));
    QVERIFY(item.isEnabled());  // inverted twice: as it was
    item.setEnabled(false);
    o->GetNoCon();
    QVERIFY(!item.isEnabled());
}

void TestWindows::outageListNewestOnTop()
{
    Harness h;
    const qint64 a = h.folder.addHost("10.0.0.1", "A");
    const qint64 b = h.folder.addHost("10.0.0.2", "B");
    const qint64 c = h.folder.addHost("10.0.0.3", "C closed");
    h.folder.db().execute("insert into noconnect (id_ip,dt1) values (?,'2026-12-07 08:00:00')",
                          {a});
    h.folder.db().execute("insert into noconnect (id_ip,dt1) values (?,'2026-12-07 09:30:15')",
                          {b});
    h.folder.db().execute(
        "insert into noconnect (id_ip,dt1,dt2) values (?,'2026-12-07 07:00:00','2026-12-07 "
        "07:05:00')",
        {c});
    auto o = h.outages();
    QVERIFY(o->Form_Load());
    QCOMPARE(o->grid()->rows(), 3);
    QCOMPARE(row(o->grid(), 1), QStringList({"B", "10.0.0.2", "07.12.2026 9:30:15"}));
    QCOMPARE(row(o->grid(), 2), QStringList({"A", "10.0.0.1", "07.12.2026 8:00:00"}));
    const int align[] = {0, 1, 0, 6};
    for (int col = 1; col <= 3; ++col) QCOMPARE(o->grid()->cellAlignmentAt(1, col), align[col]);
    // A refresh replaces the list rather than adding to it.
    h.folder.db().execute("update noconnect set dt2='2026-12-07 10:00:00' where id_ip=?", {b});
    h.clock.advance(60'000);
    o->GetNoCon();
    QCOMPARE(o->grid()->rows(), 2);
    QCOMPARE(row(o->grid(), 1), QStringList({"A", "10.0.0.1", "07.12.2026 8:00:00"}));
    QCOMPARE(o->windowTitle(), QStringLiteral("Не пингуются [07.12.2026 20:08:11]"));
}

void TestWindows::outageListNullAndEmptyDescription()
{
    Harness h;
    const qint64 a = h.folder.addHost("10.0.0.1", "");
    h.folder.db().execute("insert into noconnect (id_ip,dt1) values (?,'2026-12-07 00:00:00')",
                          {a});
    // A table made by another tool may hold NULLs.
    h.folder.db().execute("PRAGMA foreign_keys=OFF");
    h.folder.db().execute(
        "create table a2 (id INTEGER PRIMARY KEY, ip TEXT, [desc] TEXT, vw TEXT, vn TEXT, vl TEXT, "
        "vi TEXT, color TEXT, parent INTEGER, confirm INTEGER)");
    h.folder.db().execute("insert into a2 select * from address");
    h.folder.db().execute("drop table address");
    h.folder.db().execute("alter table a2 rename to address");
    h.folder.db().execute("PRAGMA foreign_keys=ON");
    h.folder.db().execute("insert into address (id,ip,[desc]) values (77,'10.0.0.7',NULL)");
    h.folder.db().execute("insert into noconnect (id_ip,dt1) values (77,'2026-12-07 10:00:00')");
    auto o = h.outages();
    QVERIFY(o->Form_Load());
    QCOMPARE(row(o->grid(), 1), QStringList({"", "10.0.0.7", "07.12.2026 10:00:00"}));
    QCOMPARE(row(o->grid(), 2),
             QStringList({"", "10.0.0.1", "07.12.2026"}));  // midnight: the date alone
}

// Router down, Switch behind it answering, Web behind Switch down: Web waits for Router.
void TestWindows::outageListNamesTheAncestorWaitedFor()
{
    Harness h;
    const qint64 router = h.folder.addHost("10.0.0.1", "Router");
    const qint64 sw = h.folder.addHost("10.0.0.2", "Switch");
    const qint64 web = h.folder.addHost("10.0.0.3", "Web");
    h.folder.db().execute("update address set parent=? where id=?", {router, sw});
    h.folder.db().execute("update address set parent=? where id=?", {sw, web});
    for (qint64 id : {router, web})
        h.folder.db().execute("insert into noconnect (id_ip,dt1) values (?,'2026-12-07 08:00:00')",
                              {id});
    auto o = h.outages();
    QVERIFY(o->Form_Load());
    QCOMPARE(row(o->grid(), 1),
             QStringList({"Web (ждёт Router[10.0.0.1])", "10.0.0.3", "07.12.2026 8:00:00"}));
    QCOMPARE(row(o->grid(), 2), QStringList({"Router", "10.0.0.1", "07.12.2026 8:00:00"}));
    QCOMPARE(o->grid()->cellForeColorAt(1, 2), kColorUnreachable);
    QCOMPARE(o->grid()->cellForeColorAt(2, 2), 0u);
}

// A host down under planned work: the maintenance colour and the work in the tool tip, only while
// the window lasts.
void TestWindows::outageListShowsMaintenance_data()
{
    QTest::addColumn<int>("endsInSecs");  // from now
    QTest::addColumn<bool>("shown");
    QTest::newRow("lasting") << 1 << true;
    QTest::newRow("just ended") << 0 << false;
}

void TestWindows::outageListShowsMaintenance()
{
    QFETCH(int, endsInSecs);
    QFETCH(bool, shown);
    Harness h;
    const qint64 router = h.folder.addHost("10.0.0.1", "Router");
    h.folder.db().execute("insert into noconnect (id_ip,dt1) values (?,'2026-12-07 08:00:00')",
                          {router});
    addMaintenanceWindow(h.folder.db(), {.hostId = router,
                                         .from = h.clock.now().addSecs(-3600),
                                         .to = h.clock.now().addSecs(endsInSecs),
                                         .comment = "замена роутера"});
    auto o = h.outages();
    QVERIFY(o->Form_Load());
    QCOMPARE(o->grid()->cellForeColorAt(1, 2), shown ? kColorMaintenance : 0u);
    QCOMPARE(o->grid()->cellToolTipAt(1, 2),
             shown ? QStringLiteral("Обслуживание: замена роутера") : QString());
}

void TestWindows::outageGeometryAndWidthsRoundTrip()
{
    Harness h;
    QSize outer;
    int defaultCol2 = 0;
    {
        auto o = h.outages();
        QVERIFY(o->Form_Load());
        QCOMPARE(o->frameGeometry().topLeft(), QPoint(0, 0));
        o->show();
        o->move(30, 40);
        o->resize(500, 300);
        outer = o->frameGeometry().size();
        defaultCol2 = o->grid()->colWidth(2);
        o->grid()->setColWidth(1, 2250);
        o->grid()->setColWidth(2, 0);  // hidden: comes back with its heading's width
        o->close();
        QVERIFY(!o->loaded());
    }
    QCOMPARE(h.folder.scalar("select nocon_left from options").toDouble(), 30 * 15.0);
    QCOMPARE(h.folder.scalar("select nocon_width from options").toDouble(), outer.width() * 15.0);
    QCOMPARE(h.folder.scalar("select ncol1 from options"), QStringLiteral("2250"));
    QCOMPARE(h.folder.scalar("select ncol2 from options"), QStringLiteral("0"));
    auto again = h.outages();
    QVERIFY(again->Form_Load());
    again->show();
    QCOMPARE(again->frameGeometry().topLeft(), QPoint(30, 40));
    QTRY_COMPARE(again->frameGeometry().size(), outer);
    QCOMPARE(again->grid()->colWidth(1), 2250);
    QCOMPARE(again->grid()->colWidth(2), defaultCol2);
}

void TestWindows::outageGridKeepsSizeWhenTiny()
{
    Harness h;
    auto o = h.outages();
    QVERIFY(o->Form_Load());
    o->show();
    o->resize(400, 200);
    FlexGrid* g = o->grid();
    QCOMPARE(g->pos(), QPoint(0, 0));  // 2 twips
    const QSize frame = o->frameGeometry().size();
    QCOMPARE(g->width(), qRound((frame.width() * 15 - 100 - 0) / 15.0));
    QCOMPARE(g->height(), qRound((frame.height() * 15 - 350 - 0) / 15.0));
    const QSize before = g->size();
    o->resize(3, 3);
    QVERIFY(o->frameGeometry().height() * 15 <= 350);
    QCOMPARE(g->size(), before);
}

void TestWindows::closedOutageWindowReloadedHiddenByPass()
{
    Harness h;
    const qint64 id = h.folder.addHost("10.0.0.1", "Router");
    h.folder.db().execute("update options set nocon_left=1500, nocon_top=900");
    auto w = h.make();
    QVERIFY(w->Form_Load());
    QVERIFY(w->outageWindow());
    QVERIFY(w->outageWindow()->isVisible());  // shown at start-up
    w->outageWindow()->close();
    QTRY_VERIFY(!w->outageWindow());  // unloaded
    h.prober.answers["10.0.0.1"] = silent();
    QSignalSpy done(w->monitor(), &Monitor::passFinished);
    QVERIFY(w->monitor()->RunCheckPass());
    QVERIFY(done.wait(2000));
    frmNoCon* o = w->outageWindow();
    QVERIFY(o);
    QVERIFY(!o->isVisible());  // loaded, not shown
    QCOMPARE(o->grid()->rows(), 2);
    QCOMPARE(o->grid()->textMatrix(1, 2), QStringLiteral("10.0.0.1"));
    QCOMPARE(o->frameGeometry().topLeft(), QPoint(100, 60));
    QCOMPARE(h.folder.scalar("select count(*) from noconnect where id_ip=?", {id}),
             QStringLiteral("1"));
    // The menu shows it with the pass's list.
    w->findChild<QAction*>("mnuShowNoCon")->trigger();
    QVERIFY(o->isVisible());
    QCOMPARE(o->grid()->rows(), 2);
}

void TestWindows::shutdownSavesOutageWindowToo()
{
    Harness h;
    auto w = h.make();
    QVERIFY(w->Form_Load());
    w->outageWindow()->move(45, 60);
    h.boxes.answerNext(MsgAnswer::Yes);
    QVERIFY(w->close());
    QCOMPARE(h.folder.scalar("select nocon_left from options").toDouble(), 45 * 15.0);
    QCOMPARE(h.folder.scalar("select nocon_top from options").toDouble(), 60 * 15.0);
}

void TestWindows::adminWindowIsOneInstance()
{
    Harness h;
    auto w = h.make();
    QVERIFY(w->Form_Load());
    QVERIFY(!w->adminWindow());
    w->findChild<QAction*>("mnuBase")->trigger();
    frmBase* admin = w->adminWindow();
    QVERIFY(admin);
    QVERIFY(admin->isVisible());
    auto* ip = admin->findChild<QLineEdit*>("txtIP");
    QVERIFY(ip);
    ip->setText("10.9.9.9");
    // Opened again from the tray: the same window, the typed text kept.
    w->findChild<QAction*>("mnuBase1")->trigger();
    QCOMPARE(w->adminWindow(), admin);
    QCOMPARE(ip->text(), QStringLiteral("10.9.9.9"));
    // Closed: the next opening loads it afresh.
    admin->close();
    QTRY_VERIFY(!w->adminWindow());
    w->findChild<QAction*>("mnuBase")->trigger();
    QVERIFY(w->adminWindow());
    QCOMPARE(w->adminWindow()->findChild<QLineEdit*>("txtIP")->text(), QString());
    // The main window's shutdown takes it down.
    h.boxes.answerNext(MsgAnswer::Yes);
    QVERIFY(w->close());
    QTRY_VERIFY(!w->adminWindow());
}

QTEST_MAIN(TestWindows)
#include "tst_windows.moc"
