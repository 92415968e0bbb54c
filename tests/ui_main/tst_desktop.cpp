// How the windows sit on the desktop: kept on the screen, boxes over their own window, Qt's texts
// in Russian, one running instance that a second start brings back, desktop notifications.

#include "monitor/monitor.h"
#include "support/mainharness.h"
#include "ui/admin/frmbase.h"
#include "ui/controls/flexgrid.h"
#include "ui/controls/qtmessageboxes.h"
#include "ui/controls/qttranslations.h"
#include "ui/controls/usersettings.h"
#include "ui/controls/windowgeometry.h"
#include "ui/main/application.h"
#include "ui/main/desktopnotifier.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QDBusConnection>
#include <QDialog>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QSettings>
#include <QSignalSpy>
#include <QSystemTrayIcon>
#include <QTemporaryDir>
#include <QTest>

using namespace sentrok;
using namespace sentrok::test;

namespace {

QStringList buttonTexts(const QMessageBox* box)
{
    QStringList out;
    for (const QAbstractButton* b : box->buttons()) out << b->text().remove(u'&');
    out.sort();
    return out;
}

}  // namespace

// The freedesktop notification service as a desktop runs it, on the test's own session bus.
class FakeNotifications : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")
    // Do not disturb, as KDE's service says it.
    Q_PROPERTY(bool Inhibited READ isInhibited)
public:
    QStringList bodies;
    bool inhibited = false;
    bool isInhibited() const { return inhibited; }

public slots:
    uint Notify(const QString&, uint, const QString&, const QString&, const QString& body,
                const QStringList&, const QVariantMap&, int)
    {
        bodies << body;
        return 41;
    }

signals:
    void ActionInvoked(uint id, const QString& action);
};

class TestDesktop : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void storedGeometryKeptOnScreen_data();
    void storedGeometryKeptOnScreen();
    void defaultWidthsShowTheirContent_data();
    void defaultWidthsShowTheirContent();
    void boxesBelongToTheWindowThatRaisedThem_data();
    void boxesBelongToTheWindowThatRaisedThem();
    void realBoxSitsOverItsOwner_data();
    void realBoxSitsOverItsOwner();
    void qtTextsInRussianAndTitlesWhole();
    void captionsAreExact();
    void secondStartBringsTheFirstBack_data();
    void secondStartBringsTheFirstBack();
    void passWithChangesNotifies_data();
    void passWithChangesNotifies();
    void windowsFitTheScreen_data();
    void windowsFitTheScreen();
    // Last: the confirmed exit ends the application's event loops for good, and every later
    // modal box or wait would return at once.
    void maximisedWindowStoresItsNormalGeometry();

private:
    QProcess m_bus;
    QString m_busAddress;
    QTemporaryDir m_config;  // the user's settings, not the tester's
};

void TestDesktop::initTestCase()
{
    QLocale::setDefault(QLocale(QLocale::Russian, QLocale::Russia));
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, m_config.path());
    // As in the program: a window closing must not end the event loop a modal box runs.
    QApplication::setQuitOnLastWindowClosed(false);
    // A session bus of the test's own, before anything in the process asks for one.
    m_bus.start(QStringLiteral("dbus-daemon"),
                {QStringLiteral("--session"), QStringLiteral("--nofork"),
                 QStringLiteral("--print-address=1")});
    if (m_bus.waitForStarted(5000) && m_bus.waitForReadyRead(10000)) {
        m_busAddress = QString::fromUtf8(m_bus.readLine()).trimmed();
        qputenv("DBUS_SESSION_BUS_ADDRESS", m_busAddress.toUtf8());
    }
}

void TestDesktop::cleanupTestCase()
{
    m_bus.kill();
    m_bus.waitForFinished(5000);
}

// The offscreen screen is 800 x 800 pixels; its frames are 2 pixels on every side.
void TestDesktop::storedGeometryKeptOnScreen_data()
{
    QTest::addColumn<bool>("outageWindow");
    QTest::addColumn<QList<double>>("stored");  // top, left, width, height in twips
    QTest::addColumn<QRect>("expected");        // the frame, in pixels
    const QList<double> maximised = {0, 0, 19200, 15360};
    QTest::newRow("main: maximised on a larger screen")
        << false << maximised << QRect(0, 0, 800, 800);
    QTest::newRow("main: removed monitor")
        << false << QList<double>{30000, 40000, 7500, 4500} << QRect(300, 500, 500, 300);
    QTest::newRow("main: partly off the right edge")
        << false << QList<double>{1500, 10500, 3000, 3000} << QRect(600, 100, 200, 200);
    QTest::newRow("outage: maximised on a larger screen")
        << true << maximised << QRect(0, 0, 800, 800);
    // Edges not stored: the outage window's top left corner of the screen (the main window's
    // start-up rule: tst_frmmain).
    QTest::newRow("outage: negative edges")
        << true << QList<double>{-300, -450, 9000, 6000} << QRect(0, 0, 600, 400);
}

void TestDesktop::storedGeometryKeptOnScreen()
{
    QFETCH(bool, outageWindow);
    QFETCH(QList<double>, stored);
    QFETCH(QRect, expected);
    MainHarness h;
    const QString prefix = outageWindow ? "nocon" : "sentrok";
    h.folder.db().execute(
        QString("update options set %1_top=?, %1_left=?, %1_width=?, %1_height=?").arg(prefix),
        {stored[0], stored[1], stored[2], stored[3]});
    std::unique_ptr<frmMain> main;
    std::unique_ptr<frmNoCon> outage;
    QWidget* w = nullptr;
    if (outageWindow) {
        outage = h.outages();
        QVERIFY(outage->Form_Load());
        w = outage.get();
    } else {
        main = h.make();
        QVERIFY(main->Form_Load());
        w = main.get();
    }
    w->show();
    QTRY_COMPARE(w->frameGeometry(), expected);
}

void TestDesktop::maximisedWindowStoresItsNormalGeometry()
{
    MainHarness h;
    QRect normal;
    {
        auto w = h.make();
        QVERIFY(w->Form_Load());
        w->show();
        w->setGeometry(42, 52, 600, 400);
        QTRY_COMPARE(w->frameGeometry(), QRect(40, 50, 604, 404));
        normal = w->frameGeometry();
        w->showMaximized();
        QTRY_VERIFY(w->frameGeometry().width() > 700);
        h.boxes.answerNext(MsgAnswer::Yes);
        QVERIFY(w->close());
    }
    // The normal geometry, in twips.
    QCOMPARE(h.folder.scalar("select sentrok_left from options").toDouble(), 40 * 15.0);
    QCOMPARE(h.folder.scalar("select sentrok_top from options").toDouble(), 50 * 15.0);
    QCOMPARE(h.folder.scalar("select sentrok_width from options").toDouble(), 604 * 15.0);
    QCOMPARE(h.folder.scalar("select sentrok_height from options").toDouble(), 404 * 15.0);
    auto again = h.make();
    QVERIFY(again->Form_Load());
    again->show();
    QTRY_COMPARE(again->frameGeometry(), normal);
}

void TestDesktop::defaultWidthsShowTheirContent_data()
{
    QTest::addColumn<bool>("outageWindow");
    QTest::addColumn<int>("col");
    QTest::addColumn<QString>("sample");
    QTest::newRow("main, address") << false << 2 << "10.255.255.1";
    QTest::newRow("outage, address") << true << 2 << "10.255.255.1";
}

void TestDesktop::defaultWidthsShowTheirContent()
{
    QFETCH(bool, outageWindow);
    QFETCH(int, col);
    QFETCH(QString, sample);
    MainHarness h;
    auto main = h.make();
    QVERIFY(main->Form_Load());
    FlexGrid* grid = outageWindow ? main->outageWindow()->grid() : main->grid();
    // The text's own width and the cell margins Fusion draws it in (3 pixels a side).
    const int needed = grid->fontMetrics().horizontalAdvance(sample) + 6;
    QVERIFY2(grid->columnWidth(col) >= needed,
             qPrintable(QStringLiteral("%1 < %2").arg(grid->columnWidth(col)).arg(needed)));
}

void TestDesktop::boxesBelongToTheWindowThatRaisedThem_data()
{
    QTest::addColumn<QString>("action");
    QTest::addColumn<QString>("owner");
    QTest::newRow("exit question") << "exit"
                                   << "frmMain";
    QTest::newRow("refused interval") << "abc as interval"
                                      << "frmBase";
    QTest::newRow("delete question") << "delete"
                                     << "frmBase";
    QTest::newRow("outage list failure") << "outage query fails"
                                         << "frmNoCon";
    QTest::newRow("mail server dialog's refusal") << "mail test with port abc"
                                                  << "frmMailServer";
}

void TestDesktop::boxesBelongToTheWindowThatRaisedThem()
{
    QFETCH(QString, action);
    QFETCH(QString, owner);
    MainHarness h;
    h.folder.addHost("10.0.0.1", "a");
    auto w = h.make();
    QVERIFY(w->Form_Load());
    w->show();
    w->findChild<QAction*>("mnuBase")->trigger();
    frmBase* admin = w->adminWindow();
    QVERIFY(admin);
    if (action == "exit") {
        h.boxes.answerNext(MsgAnswer::No);
        w->close();
    } else if (action == "abc as interval") {
        admin->findChild<QLineEdit*>("txtInt")->setText("abc");
        admin->findChild<QAbstractButton*>("cmdSaveOpt")->click();
    } else if (action == "delete") {
        admin->findChild<QListWidget*>("lstAdr")->setCurrentRow(0);
        h.boxes.answerNext(MsgAnswer::No);
        admin->findChild<QAbstractButton*>("cmdDel")->click();
    } else if (action == "mail test with port abc") {
        admin->findChild<QAbstractButton*>("cmdMailServer")->click();
        auto* dialog = admin->findChild<QDialog*>("frmMailServer");
        QVERIFY(dialog && dialog->isVisible());
        dialog->findChild<QLineEdit*>("txtPort")->setText("abc");
        dialog->findChild<QAbstractButton*>("cmdTestMail")->click();
    } else {
        h.folder.db().execute("drop table noconnect");
        w->outageWindow()->GetNoCon();
    }
    const QList<Message> all = h.boxes.asked + h.boxes.told;
    QCOMPARE(all.size(), 1);
    QVERIFY(all[0].owner);
    QCOMPARE(all[0].owner->objectName(), owner);
}

void TestDesktop::realBoxSitsOverItsOwner_data()
{
    QTest::addColumn<bool>("ownerShown");
    QTest::addColumn<bool>("mainShown");
    QTest::addColumn<QString>("parent");
    QTest::newRow("owner shown") << true << true << "owner";
    QTest::newRow("owner hidden: the main window") << false << true << "main";
    QTest::newRow("nothing shown: the screen") << false << false << "";
}

void TestDesktop::realBoxSitsOverItsOwner()
{
    QFETCH(bool, ownerShown);
    QFETCH(bool, mainShown);
    QFETCH(QString, parent);
    QWidget main, owner;
    main.setObjectName("main");
    owner.setObjectName("owner");
    main.setGeometry(20, 30, 300, 200);
    owner.setGeometry(400, 300, 360, 420);
    if (mainShown) main.show();
    if (ownerShown) owner.show();
    QtMessageBoxes boxes(&main);
    auto* child = new QLineEdit(&owner);  // a control of the window raises it
    std::unique_ptr<QMessageBox> box(boxes.makeBox(
        {"Интервал должен быть числом", kAppTitle, MsgButtons::Ok, MsgIcon::Exclamation, child}));
    QCOMPARE(box->parentWidget() ? box->parentWidget()->objectName() : QString(), parent);
    box->show();
    if (parent == "owner")
        QTRY_VERIFY(
            (box->frameGeometry().center() - owner.frameGeometry().center()).manhattanLength() <=
            4);
}

void TestDesktop::qtTextsInRussianAndTitlesWhole()
{
    QVERIFY2(installQtTranslations(*qApp), "qt6-translations-l10n is not installed");
    QtMessageBoxes boxes;
    // A text shorter than its title: the box would be as narrow as the text.
    const Message exit{"Выйти?", "Завершение работы", MsgButtons::YesNo, MsgIcon::Question};
    QStringList texts;
    int boxWidth = 0;
    QTimer::singleShot(0, this, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        QVERIFY(box);
        texts = buttonTexts(box);
        boxWidth = box->width();
        box->button(QMessageBox::No)->click();
    });
    QCOMPARE(boxes.ask(exit), MsgAnswer::No);
    QCOMPARE(texts, QStringList({"Да", "Нет"}));
    // The title in bold with the window's icon and buttons beside it.
    QFont bold = QApplication::font();
    bold.setBold(true);
    QVERIFY(boxWidth >= QFontMetrics(bold).horizontalAdvance(exit.title) + 100);
    // The context menu of a text box.
    QLineEdit edit("x");
    std::unique_ptr<QMenu> menu(edit.createStandardContextMenu());
    QStringList items;
    for (const QAction* a : menu->actions()) items << a->text().remove(u'&').section(u'\t', 0, 0);
    QVERIFY2(items.contains("Копировать") && items.contains("Вставить"),
             qPrintable(items.join('|')));
}

void TestDesktop::captionsAreExact()
{
    prepareApplication(*qApp);
    // A display name of its own would be added by the window system to every caption.
    QCOMPARE(QGuiApplication::applicationDisplayName(), QGuiApplication::applicationName());
    MainHarness h;
    auto w = h.make();
    QVERIFY(w->Form_Load());
    w->findChild<QAction*>("mnuBase")->trigger();
    QCOMPARE(w->windowTitle(), QStringLiteral("Sentrok"));
    QCOMPARE(w->outageWindow()->windowTitle(),
             QStringLiteral("Не пингуются [07.12.2026 20:07:11]"));
    QCOMPARE(w->adminWindow()->windowTitle(), QStringLiteral("Работа с базой"));
}

void TestDesktop::secondStartBringsTheFirstBack_data()
{
    QTest::addColumn<bool>("tray");
    QTest::newRow("from the tray") << true;
    QTest::newRow("from the minimised state") << false;
}

void TestDesktop::secondStartBringsTheFirstBack()
{
    QFETCH(bool, tray);
    MainHarness h;
    h.tray = tray;
    auto first = h.make();
    QVERIFY(first->Form_Load());
    first->show();
    first->findChild<QAction*>("mnuMin")->trigger();
    QTRY_VERIFY(tray ? !first->isVisible() : first->isMinimized());
    auto second = h.make();
    QVERIFY(!second->Form_Load());
    QCOMPARE(h.boxes.asked.size(), 1);
    QCOMPARE(h.boxes.asked[0].text, QStringLiteral("Программа уже запущена!"));
    QTRY_VERIFY(first->isVisible() && !first->isMinimized());
    QVERIFY(!first->trayIcon()->isVisible());
}

void TestDesktop::passWithChangesNotifies_data()
{
    QTest::addColumn<bool>("inTray");
    QTest::addColumn<QString>("quiet");  // why none is shown
    QTest::newRow("window shown: the notification service") << false << "";
    QTest::newRow("in the tray: the tray's message") << true << "";
    QTest::newRow("turned off in the administration window") << false << "off";
    QTest::newRow("turned off, in the tray") << true << "off";
    QTest::newRow("the desktop's do not disturb") << false << "inhibited";
    QTest::newRow("do not disturb, in the tray") << true << "inhibited";
}

void TestDesktop::passWithChangesNotifies()
{
    QFETCH(bool, inTray);
    QFETCH(QString, quiet);
    if (m_busAddress.isEmpty()) QSKIP("dbus-daemon could not be started (package dbus-daemon)");
    QDBusConnection service = QDBusConnection::connectToBus(m_busAddress, "fake-notifications");
    FakeNotifications fake;
    QVERIFY(service.registerObject(DesktopNotifier::kPath, &fake,
                                   QDBusConnection::ExportAllSlots |
                                       QDBusConnection::ExportAllSignals |
                                       QDBusConnection::ExportAllProperties));
    QVERIFY(service.registerService(DesktopNotifier::kService));

    MainHarness h;
    h.tray = inTray;
    h.folder.addHost("10.0.0.1", "Шлюз <главный>");
    auto w = h.make();
    QVERIFY(w->Form_Load());
    w->show();
    setDesktopNotificationsOn(true);  // as a user who never chose
    fake.inhibited = quiet == "inhibited";
    if (quiet == "off") {
        w->findChild<QAction*>("mnuBase")->trigger();
        auto* box = w->adminWindow()->findChild<QCheckBox*>("chkNotify");
        QVERIFY(box->isChecked());
        box->click();
        QVERIFY(!desktopNotificationsOn());
    }
    if (inTray) w->findChild<QAction*>("mnuMin")->trigger();
    h.prober.answers["10.0.0.1"] = silent();
    QSignalSpy done(w->monitor(), &Monitor::passFinished);
    QSignalSpy withheld(w->notifier(), &DesktopNotifier::withheld);
    QVERIFY(w->monitor()->RunCheckPass());
    QVERIFY(done.wait(5000));
    if (!quiet.isEmpty()) {
        QTRY_COMPARE(withheld.count(), 1);
        QCOMPARE(fake.bodies.size(), 0);
        setDesktopNotificationsOn(true);
        service.unregisterService(DesktopNotifier::kService);
        QDBusConnection::disconnectFromBus("fake-notifications");
        return;
    }
    const QString expected =
        QStringLiteral("NO CONNECT\nШлюз &lt;главный&gt;[10.0.0.1]\n\nCONNECT");
    if (inTray) {
        // A click on the tray's message brings the window back.
        emit w->trayIcon()->messageClicked();
        QTRY_VERIFY(w->isVisible());
        // Nothing went on the bus: the next pass's notification is the first to arrive there.
        h.prober.answers["10.0.0.1"] = reply("5");
        QVERIFY(w->monitor()->RunCheckPass());
        QVERIFY(done.wait(5000));
        QTRY_COMPARE(fake.bodies.size(), 1);
        QCOMPARE(fake.bodies[0],
                 QStringLiteral("NO CONNECT\n\nCONNECT\nШлюз &lt;главный&gt;[10.0.0.1]"));
    } else {
        QTRY_COMPARE(fake.bodies.size(), 1);
        QCOMPARE(fake.bodies[0], expected);
        w->showMinimized();
        QTRY_VERIFY(w->isMinimized());
        QTRY_COMPARE(w->notifier()->shownId(), 41u);
        emit fake.ActionInvoked(41, "default");
    }
    QTRY_VERIFY(w->isVisible() && !w->isMinimized());
    service.unregisterService(DesktopNotifier::kService);
    QDBusConnection::disconnectFromBus("fake-notifications");
}

// The offscreen screen is 800 x 800. A window larger than that is made smaller; content that
// cannot be made so small scrolls, the controls where they were placed.
void TestDesktop::windowsFitTheScreen_data()
{
    QTest::addColumn<QString>("window");
    QTest::addColumn<bool>("scrolls");
    QTest::newRow("fits: left as it is") << "small" << false;
    QTest::newRow("larger, its layout lets it shrink") << "shrinkable" << false;
    QTest::newRow("fixed layout taller than the screen") << "fixed" << true;
    QTest::newRow("row of controls wider than the screen") << "wide" << true;
}

void TestDesktop::windowsFitTheScreen()
{
    QFETCH(QString, window);
    QFETCH(bool, scrolls);
    auto w = std::make_unique<QWidget>();
    QPushButton* last = nullptr;  // a control at the far end
    if (window == "fixed") {
        w->setFixedSize(400, 1200);
        last = new QPushButton("end", w.get());
        last->setGeometry(10, 1150, 100, 30);
    } else {
        auto* layout = new QHBoxLayout(w.get());
        last = new QPushButton("end");
        last->setMinimumWidth(window == "wide" ? 1200 : 50);
        layout->addWidget(last);
        w->resize(window == "shrinkable" ? QSize(1500, 1500) : QSize(300, 200));
    }
    fitToScreen(w.get());
    const QSize before = w->size();
    w->show();
    QTRY_VERIFY(QRect(0, 0, 800, 800).contains(w->frameGeometry()));
    QCOMPARE(w->findChild<QScrollArea*>() != nullptr, scrolls);
    if (window == "small") QCOMPARE(w->size(), before);
    if (window == "fixed") {
        QCOMPARE(last->geometry(), QRect(10, 1150, 100, 30));  // in the scrolled content
        QVERIFY(last->isVisibleTo(w.get()));
    }
}

QTEST_MAIN(TestDesktop)
#include "tst_desktop.moc"
