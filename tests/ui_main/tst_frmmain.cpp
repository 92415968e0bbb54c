#include "alerts/sound.h"
#include "common/datetext.h"
#include "monitor/monitor.h"
#include "support/fakes.h"
#include "support/mainharness.h"
#include "support/testdb.h"
#include "ui/controls/flexgrid.h"
#include "ui/main/frmmain.h"

#include <QAction>
#include <QDialog>
#include <QLabel>
#include <QMenuBar>
#include <QScreen>
#include <QSignalSpy>
#include <QStatusBar>
#include <QTest>
#include <QTimer>

using namespace sentrok;
using namespace sentrok::test;

namespace {

using Harness = MainHarness;

int twips(int px) { return px * 15; }

}  // namespace

class TestFrmMain : public QObject {
    Q_OBJECT
private slots:
    void zerosKeepDefinitionAndFormatWidths();
    void exitAndRestartRestoresGeometryAndWidths();
    void negativeEdgesAreNotRestored();
    void closeAnsweredNoKeepsRunning();
    void endSessionWaitsForAnOpenModalBox();
    void secondInstanceIsRefused();
    void fatalStartupErrors_data();
    void fatalStartupErrors();
    void gridFitsWindow();
    void statusPanels();
    void menuStartRunsAPass();
    void printStatPutsColouredRowOnTop();
    void soundPathsFromSettings();
    void twoDesktopsOneChecksTheOtherFollows();
};

void TestFrmMain::zerosKeepDefinitionAndFormatWidths()
{
    Harness h;
    auto w = h.make();
    QVERIFY(w->Form_Load());
    QVERIFY(h.boxes.asked.isEmpty());
    QCOMPARE(w->checkInterval(), 600);
    QCOMPARE(w->lastPassTime(), h.clock.now());
    // The definition's size, widened where the desktop's font needs more for the menu bar.
    QCOMPARE(w->size(), QSize(std::max(470, w->menuBar()->sizeHint().width()),
                              275 + w->menuBar()->sizeHint().height()));

    const int screenH = w->screen()->geometry().height();
    QCOMPARE(w->frameGeometry().top(), screenH - w->frameGeometry().height() - qRound(1000 / 15.0) +
                                           w->screen()->geometry().top());
    FlexGrid* fg = w->grid();
    QCOMPARE(fg->cols(), 6);
    QCOMPARE(fg->colWidth(0), 0);
    for (int c = 1; c <= 5; ++c) QVERIFY(fg->colWidth(c) > 0);
    QVERIFY(fg->colWidth(1) > fg->colWidth(2));
    QCOMPARE(fg->textMatrix(0, 2).trimmed(), QStringLiteral("Ip-адрес"));
    w->show();
    for (QAction* a : w->menuBar()->actions())
        QVERIFY2(!w->menuBar()->actionGeometry(a).isEmpty(), qPrintable(a->text()));
}

void TestFrmMain::exitAndRestartRestoresGeometryAndWidths()
{
    Harness h;
    QSize outer;
    {
        auto w = h.make();
        QVERIFY(w->Form_Load());
        w->show();
        w->move(40, 50);
        w->resize(600, 400);
        outer = w->frameGeometry().size();
        w->grid()->setColWidth(1, 1500);
        w->grid()->setColWidth(4, 0);  // hidden by the user: comes back with its format width
        h.boxes.answerNext(MsgAnswer::Yes);
        QVERIFY(w->close());
        QVERIFY(w->unloaded());
        QCOMPARE(h.boxes.asked.size(), 1);
        QCOMPARE(h.boxes.asked[0].text, QStringLiteral("Действительно хотите выйти ?"));
        QCOMPARE(h.boxes.asked[0].title, QStringLiteral("Завершение работы"));
        QCOMPARE(h.boxes.asked[0].icon, MsgIcon::Question);
        QCOMPARE(h.boxes.asked[0].buttons, MsgButtons::YesNo);
    }
    QCOMPARE(h.folder.scalar("select sentrok_left from options").toDouble(), double(twips(40)));
    QCOMPARE(h.folder.scalar("select sentrok_top from options").toDouble(), double(twips(50)));
    // The outer size is stored: the frame's edges included.
    QCOMPARE(h.folder.scalar("select sentrok_width from options").toDouble(),
             double(twips(outer.width())));
    QCOMPARE(h.folder.scalar("select sentrok_height from options").toDouble(),
             double(twips(outer.height())));
    QCOMPARE(h.folder.scalar("select pcol1 from options"), QStringLiteral("1500"));
    QCOMPARE(h.folder.scalar("select pcol4 from options"), QStringLiteral("0"));

    auto again = h.make();
    QVERIFY(again->Form_Load());
    again->show();
    QCOMPARE(again->frameGeometry().topLeft(), QPoint(40, 50));
    QTRY_COMPARE(again->size(), QSize(600, 400));
    QCOMPARE(again->frameGeometry().size(), outer);
    QCOMPARE(again->grid()->colWidth(1), 1500);
    QVERIFY(again->grid()->colWidth(4) > 0);
}

void TestFrmMain::negativeEdgesAreNotRestored()
{
    Harness h;
    h.folder.db().execute(
        "update options set sentrok_top=-300, sentrok_left=0, sentrok_width=9000, "
        "sentrok_height=6000");
    auto w = h.make();
    QVERIFY(w->Form_Load());
    w->show();
    QTRY_COMPARE(w->frameGeometry().size(), QSize(600, 400));
    // The edges stay where the start-up placed them, as with nothing stored: the left one
    // exactly; the top one too, unless the stored height would then run past the screen's
    // bottom, which the window is lifted to.
    Harness plain;
    auto reference = plain.make();
    QVERIFY(reference->Form_Load());
    reference->show();
    QTRY_COMPARE(w->frameGeometry().left(), reference->frameGeometry().left());
    const QRect screen = w->screen()->availableGeometry();
    QCOMPARE(w->frameGeometry().top(),
             std::min(reference->frameGeometry().top(), screen.bottom() + 1 - 400));
}

void TestFrmMain::closeAnsweredNoKeepsRunning()
{
    Harness h;
    auto w = h.make();
    QVERIFY(w->Form_Load());
    w->show();
    h.boxes.answerNext(MsgAnswer::No);
    QVERIFY(!w->close());
    QVERIFY(w->isVisible());
    QVERIFY(!w->unloaded());
    QVERIFY(w->database());
    QCOMPARE(h.folder.scalar("select sentrok_width from options").toDouble(), 0.0);
}

void TestFrmMain::endSessionWaitsForAnOpenModalBox()
{
    Harness h;
    auto w = h.make();
    QVERIFY(w->Form_Load());
    w->show();
    // A handler waits on a modal box when the system ends the program.
    QDialog box(w.get());
    QTimer::singleShot(0, w.get(), [&] { w->endSession(); });
    const int answer = box.exec();
    const bool unloadedUnderTheHandler = w->unloaded();
    QCOMPARE(answer, int(QDialog::Rejected));
    QVERIFY(!unloadedUnderTheHandler);
    QTRY_VERIFY(w->unloaded());
    QVERIFY(!w->database());
    QVERIFY(h.boxes.asked.isEmpty());  // no question
    QVERIFY(h.folder.scalar("select sentrok_width from options").toDouble() > 0);
}

void TestFrmMain::secondInstanceIsRefused()
{
    Harness h;
    auto first = h.make();
    QVERIFY(first->Form_Load());
    h.folder.db().execute("update options set refresh_time=3");
    auto second = h.make();
    QVERIFY(!second->Form_Load());
    QCOMPARE(second->exitCode(), int(frmMain::ExitAlreadyRunning));
    QCOMPARE(h.boxes.asked.size(), 1);
    QCOMPARE(h.boxes.asked[0].text, QStringLiteral("Программа уже запущена!"));
    QCOMPARE(h.boxes.asked[0].title, QStringLiteral("Sentrok"));
    QCOMPARE(h.boxes.asked[0].icon, MsgIcon::None);
    QCOMPARE(h.boxes.asked[0].buttons, MsgButtons::Ok);
    // The second never opened the database; the first runs on with what it read.
    QVERIFY(!second->database());
    QCOMPARE(second->checkInterval(), 0);
    QVERIFY(first->database());
    QCOMPARE(first->checkInterval(), 600);
    // Once the first has gone, a new start succeeds.
    h.boxes.answerNext(MsgAnswer::Yes);
    first->close();
    first.reset();
    second.reset();
    auto third = h.make();
    QVERIFY(third->Form_Load());
    QCOMPARE(third->checkInterval(), 180);
}

void TestFrmMain::fatalStartupErrors_data()
{
    QTest::addColumn<QString>("setup");
    QTest::addColumn<int>("number");
    QTest::newRow("missing file") << "" << 14;
    QTest::newRow("empty options") << "delete from options" << 16;
    QTest::newRow("NULL refresh_time") << "update options set refresh_time=NULL" << -1;
    QTest::newRow("non-numeric refresh_time") << "update options set refresh_time='десять'" << 20;
    QTest::newRow("options table missing") << "drop table options" << 1;
}

void TestFrmMain::fatalStartupErrors()
{
    QFETCH(QString, setup);
    QFETCH(int, number);
    Harness h;
    if (setup.isEmpty())
        QVERIFY(QFile::remove(h.folder.dbFile()));
    else {
        // A NULL is refused by the column itself; rebuild the table without the constraint.
        if (setup.contains("NULL")) {
            h.folder.db().execute("create table o2 as select * from options");
            h.folder.db().execute("drop table options");
            h.folder.db().execute("alter table o2 rename to options");
        }
        h.folder.db().execute(setup);
    }
    auto w = h.make();
    QVERIFY(!w->Form_Load());
    QCOMPARE(w->exitCode(), int(frmMain::ExitFatal));
    QCOMPARE(h.boxes.asked.size(), 1);
    const Message& m = h.boxes.asked[0];
    QCOMPARE(m.icon, MsgIcon::Stop);
    if (number < 0) number = 20;
    QVERIFY2(m.text.startsWith(QStringLiteral("Ошибка %1: ").arg(number)), qPrintable(m.text));
    QVERIFY(!w->database());
    if (setup.isEmpty()) QVERIFY(!QFile::exists(h.folder.dbFile()));
}

void TestFrmMain::gridFitsWindow()
{
    Harness h;
    auto w = h.make();
    QVERIFY(w->Form_Load());
    w->show();
    w->resize(600, 400);
    FlexGrid* fg = w->grid();
    QCOMPARE(fg->x(), 100 / 15 + 1);  // 100 twips rounds to 7 pixels
    const QSize outer = w->frameGeometry().size();
    QCOMPARE(fg->width(), (twips(outer.width()) - 200 - 100) / 15);
    const int top = fg->y();
    QCOMPARE(fg->height(), qRound((twips(outer.height()) - 1100 - top * 15) / 15.0));
    // Too small to fit: the grid keeps its last size.
    const QSize before = fg->size();
    w->resize(10, 10);
    QVERIFY(w->frameGeometry().height() * 15 <= 1220);
    QVERIFY(w->frameGeometry().width() * 15 <= 300);
    QCOMPARE(fg->size(), before);
    w->resize(700, 500);
    QVERIFY(fg->width() > before.width());
    QVERIFY(fg->height() > before.height());
}

void TestFrmMain::statusPanels()
{
    Harness h;
    auto w = h.make();
    QVERIFY(w->Form_Load());
    QStatusBar* sb = w->findChild<QStatusBar*>("sb");
    QVERIFY(sb);
    const QStringList tips = {"Время до следующей проверки (сек)", "Время работы системы (мин)",
                              "Адресов в базе", "Адресов не пингуется", "Пороцент выполнения"};
    const QList<int> widths = {67, 67, 67, 67, 179};  // 1005 and 2680 twips
    for (int n = 1; n <= 5; ++n) {
        auto* p = w->findChild<QLabel*>(QStringLiteral("sbPanel%1").arg(n));
        QVERIFY(p);
        QCOMPARE(p->text(), n == 5 ? QStringLiteral("0%") : QStringLiteral("0"));
        QCOMPARE(p->toolTip(), tips[n - 1]);
        QCOMPARE(p->width(), widths[n - 1]);
        QCOMPARE(w->panelText(n), p->text());
    }
    // Failures and lasting conditions have a place of their own: the five panels stay.
    auto* notice = w->findChild<QLabel*>("sbNotice");
    QVERIFY(notice);
    QVERIFY(notice->isHidden());
    w->reportCheckFailure("Хост 10.0.0.1 не проверен");
    w->reportCheckFailure("Хост 10.0.0.2 не проверен");
    QVERIFY(!notice->isHidden());
    QVERIFY(notice->text().contains("2"));
    QVERIFY(notice->toolTip().indexOf("10.0.0.2") < notice->toolTip().indexOf("10.0.0.1"));
    QVERIFY(sb->currentMessage().isEmpty());
    for (int n = 1; n <= 5; ++n)
        QVERIFY(w->findChild<QLabel*>(QStringLiteral("sbPanel%1").arg(n))->isVisibleTo(w.get()));
    w->setCondition(Condition::RecordingWaits, "Запись ждёт: база занята\nподробности");
    QVERIFY(notice->text().contains("Запись ждёт: база занята"));
    QVERIFY(!notice->text().contains("подробности"));
    w->setCondition(Condition::RecordingWaits, {});
    w->clearCheckFailures();
    QVERIFY(notice->isHidden());
}

void TestFrmMain::menuStartRunsAPass()
{
    Harness h;
    h.folder.addHost("10.0.0.1", "Router");
    auto w = h.make();
    QVERIFY(w->Form_Load());
    QList<QAction*> bar = w->menuBar()->actions();
    QVERIFY(!bar.isEmpty());
    QAction* start = w->findChild<QAction*>("mnuStart");
    QCOMPARE(bar.first(), start);
    QCOMPARE(start->text(), QStringLiteral("Начать проверку"));
    QVERIFY(!start->menu());  // no sub-menu: the click runs the command
    start->trigger();
    QVERIFY(w->monitor()->passRunning());
    QVERIFY(!start->isEnabled());
    QVERIFY(!w->findChild<QLabel*>("sbPanel2")->isEnabled());
    QCOMPARE(w->cursor().shape(), Qt::WaitCursor);
    QTRY_COMPARE(h.prober.pending(), 1);
    QVERIFY(h.prober.finishHost("10.0.0.1", silent()));
    QTRY_VERIFY(start->isEnabled());
    QVERIFY(w->findChild<QLabel*>("sbPanel2")->isEnabled());
    QCOMPARE(w->cursor().shape(), Qt::ArrowCursor);
    QCOMPARE(w->panelText(3), QStringLiteral("1"));
    QCOMPARE(w->panelText(4), QStringLiteral("1"));
    QCOMPARE(w->grid()->rows(), 2);
    QCOMPARE(h.player.played, QStringList{h.folder.path() + "/down.wav"});
}

void TestFrmMain::printStatPutsColouredRowOnTop()
{
    QLocale::setDefault(QLocale(QLocale::Russian, QLocale::Russia));
    Harness h;
    auto w = h.make();
    QVERIFY(w->Form_Load());
    w->PrintStat("10.0.0.1", "Router", "1000", "-1", kColorDown);
    h.clock.advance(61'000);
    w->PrintStat("10.0.0.2", "Switch", "500", "3", kColorUp);
    FlexGrid* fg = w->grid();
    QCOMPARE(fg->rows(), 3);
    const QStringList top = {fg->textMatrix(1, 0), fg->textMatrix(1, 1), fg->textMatrix(1, 2),
                             fg->textMatrix(1, 3), fg->textMatrix(1, 4), fg->textMatrix(1, 5)};
    QCOMPARE(top, QStringList({"", "Switch", "10.0.0.2", "07.12.2026 20:08:12", "500", "3"}));
    QCOMPARE(fg->textMatrix(2, 1), QStringLiteral("Router"));
    const int align[] = {0, 1, 0, 6, 6, 6};
    for (int c = 1; c <= 5; ++c) {
        QCOMPARE(fg->cellAlignmentAt(1, c), align[c]);
        QCOMPARE(fg->cellForeColorAt(1, c), kColorUp);
        QCOMPARE(fg->cellForeColorAt(2, c), kColorDown);
    }
    QTRY_VERIFY(fg->updatesEnabled());
    QLocale::setDefault(QLocale::c());
}

void TestFrmMain::soundPathsFromSettings()
{
    Harness h;
    h.folder.db().execute("update options set snd_up='', snd_down=NULL");
    auto w = h.make();
    QVERIFY(w->Form_Load());
    QCOMPARE(w->sound()->upPath(), h.folder.path() + "/");
    QCOMPARE(w->sound()->downPath(), h.folder.path());
}

void TestFrmMain::twoDesktopsOneChecksTheOtherFollows()
{
    Harness h;
    h.folder.addHost("10.0.0.1", "Router");
    h.leaseHolder = QStringLiteral("sentrok на a, pid 1");
    auto a = h.make();
    QVERIFY(a->Form_Load());
    QTRY_VERIFY_WITH_TIMEOUT(a->monitor()->active(), 10000);
    // A second desktop on the same database, with its own instance lock, probes and sounds.
    QTemporaryDir locks;
    FakeProber prober;
    RecordingPlayer player;
    Session session({.program = QStringLiteral("sentrok"),
                     .programFolder = h.folder.path(),
                     .database = h.folder.dbFile(),
                     .clock = &h.clock,
                     .boxes = &h.boxes,
                     .player = &player,
                     .prober = &prober,
                     .leaseHolder = QStringLiteral("sentrok на b, pid 2"),
                     .follow = true});
    frmMain b({.programFolder = h.folder.path(),
               .lockFolder = locks.path(),
               .boxes = &h.boxes,
               .clock = &h.clock,
               .session = &session,
               .trayAvailable = [] { return false; }});
    QVERIFY(b.Form_Load());
    auto* notice = b.findChild<QLabel*>("sbNotice");
    QTRY_COMPARE_WITH_TIMEOUT(
        notice->text(),
        QStringLiteral("Проверки ведёт sentrok на a, pid 1; окно показывает его записи"), 10000);
    QVERIFY(b.viewer());
    QVERIFY(!b.monitor()->active());

    // "Начать проверку" where another desktop checks: that one makes the pass.
    b.findChild<QAction*>("mnuStart")->trigger();
    QTRY_COMPARE_WITH_TIMEOUT(h.prober.pending(), 1, 10000);
    QVERIFY(h.prober.finishHost("10.0.0.1", silent()));
    // The change shows here too: the same red row, the same sound; nothing was probed here.
    QTRY_COMPARE_WITH_TIMEOUT(b.grid()->rows(), 2, 5000);
    QCOMPARE(b.grid()->model()->index(0, 2).data().toString(), QStringLiteral("10.0.0.1"));
    QCOMPARE(player.played, QStringList{h.folder.path() + "/down.wav"});
    QVERIFY(prober.started.isEmpty());

    // The checking desktop ends: this one takes the checks over and says nothing more.
    a.reset();
    QTRY_VERIFY_WITH_TIMEOUT(b.monitor()->active(), 15000);
    QVERIFY(!b.viewer());
    QVERIFY(notice->text().isEmpty());
}

QTEST_MAIN(TestFrmMain)
#include "tst_frmmain.moc"
