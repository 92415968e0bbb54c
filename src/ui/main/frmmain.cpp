#include "ui/main/frmmain.h"

#include "common/datetext.h"
#include "monitor/monitor.h"
#include "monitor/viewer.h"
#include "ui/controls/busypointer.h"
#include "ui/controls/flexgrid.h"
#include "ui/controls/programicon.h"
#include "ui/controls/units.h"
#include "ui/main/desktopnotifier.h"
#include "ui/main/singleinstance.h"
#include "ui/outages/frmnocon.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDialog>
#include <QMenu>
#include <QMenuBar>
#include <QScreen>
#include <QStatusBar>
#include <QSystemTrayIcon>
#include <QTextStream>
#include <QTimer>

#include <algorithm>

namespace sentrok {

namespace {

// The window's definition, in twips. The client area holds the grid and the status bar; the
// menu bar comes on top of it.
constexpr double kClientWidth = 7050, kClientHeight = 4125;
constexpr double kGridLeft = 100, kGridTop = 120;
constexpr double kGridDefWidth = 6855, kGridDefHeight = 3255;
// Failed checks listed in the notice panel's tool tip.
constexpr int kFailuresShown = 10;

}  // namespace

frmMain::frmMain(MainWindowDeps deps, QWidget* parent)
    : QMainWindow(parent), m_deps(std::move(deps))
{
    setObjectName(QStringLiteral("frmMain"));
    setWindowTitle(QStringLiteral("Sentrok"));
    setWindowIcon(programIcon());
    setFont(QFont(QStringLiteral("Verdana"), 9));

    auto* central = new QWidget(this);
    central->setObjectName(QStringLiteral("client"));
    setCentralWidget(central);
    m_fg = new FlexGrid(central);
    m_fg->setObjectName(QStringLiteral("fg"));
    m_fg->setMaxRows(kEventRowsKept);
    QFont gridFont(QStringLiteral("Verdana"));
    gridFont.setPointSizeF(8.25);
    m_fg->setFont(gridFont);
    m_fg->setGeometry(pxRect(this, 120, kGridTop, kGridDefWidth, kGridDefHeight));
    // An event row opens the history of its host.
    connect(m_fg, &QAbstractItemView::doubleClicked, this, [this](const QModelIndex& index) {
        mnuHistory_Click(m_fg->textMatrix(index.row() + 1, 2));
    });
    createMenus();
    createStatusBar();
    // Wide enough for every menu command, whatever the desktop's font.
    m_definedSize = QSize(std::max(pxX(this, kClientWidth), menuBar()->sizeHint().width()),
                          pxY(this, kClientHeight) + menuBar()->sizeHint().height());
    resize(m_definedSize);
}

frmMain::~frmMain()
{
    if (m_noCon) delete m_noCon.data();
    if (m_base) delete m_base.data();
    if (m_history) delete m_history.data();
    // The monitoring shows itself here: it ends with the window.
    if (m_deps.session) m_deps.session->stop();
}

QAction* frmMain::addCommand(QWidget* where, const char* name, const QString& caption,
                             std::function<void()> handler)
{
    auto* action = new QAction(caption, this);
    action->setObjectName(QString::fromLatin1(name));
    connect(action, &QAction::triggered, this, std::move(handler));
    if (where) where->addAction(action);
    return action;
}

void frmMain::createMenus()
{
    const auto start = [this] {
        if (Monitor* m = monitor()) m->mnuStart_Click();
    };
    // The items of the menu bar have no sub-menus: a click runs the command at once.
    QMenuBar* bar = menuBar();
    m_mnuStart = addCommand(bar, "mnuStart", QStringLiteral("Начать проверку"), start);
    addCommand(bar, "mnuShowNoCon", QStringLiteral("Отсутствующие соединения"),
               [this] { mnuShowNoCon_Click(); });
    addCommand(bar, "mnuBase", QStringLiteral("База адресов"), [this] { mnuBase_Click(); });
    addCommand(bar, "mnuMin", QStringLiteral("Свернуть"), [this] { mnuMin_Click(); });
    addCommand(bar, "mnuHistory", QStringLiteral("История"), [this] { mnuHistory_Click(); });
    // "Выход" of the menu definition is never shown on the bar; closing the window does the same.
    addCommand(nullptr, "mnuEnd", QStringLiteral("Выход"), [this] { close(); });

    // The tray menu.
    m_myPopup = new QMenu(QStringLiteral("MyPopup"), this);
    m_myPopup->setObjectName(QStringLiteral("MyPopup"));
    QAction* max =
        addCommand(m_myPopup, "mnuMax", QStringLiteral("Восстановить"), [this] { mnuMax_Click(); });
    m_myPopup->setDefaultAction(max);  // shown in bold
    m_myPopup->addSeparator()->setObjectName(QStringLiteral("itm0"));
    addCommand(m_myPopup, "mnuStart1", QStringLiteral("Начать проверку"), start);
    m_mnuNoconn = addCommand(m_myPopup, "mnuNoconn", QStringLiteral("Отсутствующие соединения"),
                             [this] { mnuShowNoCon_Click(); });
    addCommand(m_myPopup, "mnuBase1", QStringLiteral("База адресов"), [this] { mnuBase_Click(); });
    addCommand(m_myPopup, "mnuHistory1", QStringLiteral("История"), [this] { mnuHistory_Click(); });
    // "Выход" stays last, where menus keep it, away from the commands.
    m_myPopup->addSeparator()->setObjectName(QStringLiteral("itm2"));
    addCommand(m_myPopup, "mnuEnd1", QStringLiteral("Выход"), [this] { mnuEnd1_Click(); });

    m_tray = new QSystemTrayIcon(programIcon(), this);
    m_tray->setObjectName(QStringLiteral("Tray1"));
    m_tray->setToolTip(QStringLiteral("Sentrok"));
    m_tray->setContextMenu(m_myPopup);  // the right button
    connect(m_tray, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason r) {
        if (r == QSystemTrayIcon::Trigger) mnuMax_Click();  // the left button
    });
    m_notifier = new DesktopNotifier(m_tray, this);
    connect(m_notifier, &DesktopNotifier::clicked, this, &frmMain::bringBack);
}

void frmMain::createStatusBar()
{
    struct PanelDef {
        const char* text;
        const char* toolTip;
        double width;
    };
    static const PanelDef defs[] = {
        {"0", "Время до следующей проверки (сек)", 1005},
        {"0", "Время работы системы (мин)", 1005},
        {"0", "Адресов в базе", 1005},
        {"0", "Адресов не пингуется", 1005},
        {"0%", "Пороцент выполнения", 2680},
    };
    QStatusBar* sb = statusBar();
    sb->setObjectName(QStringLiteral("sb"));
    int n = 0;
    for (const PanelDef& d : defs) {
        auto* label = new QLabel(QString::fromUtf8(d.text), sb);
        label->setObjectName(QStringLiteral("sbPanel%1").arg(++n));
        label->setToolTip(QString::fromUtf8(d.toolTip));
        label->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        label->setMinimumWidth(pxX(this, 1000));
        label->setFixedWidth(pxX(this, d.width));
        sb->addWidget(label);
        m_panels << label;
    }
    m_notice = new QLabel(sb);
    m_notice->setObjectName(QStringLiteral("sbNotice"));
    m_notice->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    m_notice->setMinimumWidth(pxX(this, 1000));
    m_notice->hide();
    sb->addWidget(m_notice, 1);
}

QLabel* frmMain::panel(int n) const
{
    return n >= 1 && n <= m_panels.size() ? m_panels[n - 1] : nullptr;
}

// With nothing stored: the defined size, centred, its bottom edge 1000 twips above the screen's.
QRect frmMain::definedGeometry(const QMargins& frame) const
{
    const QSize outer = m_definedSize.grownBy(frame);
    const QRect screenRect = screen() ? screen()->geometry() : QRect(QPoint(), outer);
    const int top = screenRect.height() - outer.height() - pxY(this, 1000);
    const int left = screenRect.x() + (screenRect.width() - outer.width()) / 2;
    return {QPoint(left, screenRect.y() + top), outer};
}

bool frmMain::Form_Load()
{
    fitGrid();
    const auto defined = [this](const QMargins& frame) { return definedGeometry(frame); };
    m_geometry.restore(this, defined, {});
    BusyPointer busy(this);

    m_instance = std::make_unique<SingleInstance>(m_deps.lockFolder, m_deps.programFolder);
    if (!m_instance->acquire()) {
        // The running one comes back to the screen, wherever it was hidden.
        m_instance->wakeRunning();
        m_deps.boxes->ask({QStringLiteral("Программа уже запущена!"), QStringLiteral("Sentrok"),
                           MsgButtons::Ok, MsgIcon::None, this});
        m_instance.reset();
        m_exitCode = ExitAlreadyRunning;
        return false;
    }
    connect(m_instance.get(), &SingleInstance::wakeRequested, this, &frmMain::bringBack);

    Session& session = *m_deps.session;
    try {
        if (!session.open(m_deps.upgrade)) {
            m_instance.reset();
            m_exitCode = ExitFatal;
            return false;
        }
        const MainSettings& settings = session.settings();
        m_geometry.restore(this, defined, settings.window.geometry);
        m_fg->setFormatString(kGridFormat);
        m_fg->setColWidth(0, 0);
        // A heading's trailing blanks leave "10.255.255.1" cut in the desktop's fonts.
        m_fg->widenFor(2, QStringLiteral("255.255.255.255"));
        for (int n = 1; n <= 5; ++n)
            if (settings.window.columns[std::size_t(n - 1)] > 0)
                m_fg->setColWidth(n, settings.window.columns[std::size_t(n - 1)]);
    } catch (const DbError& e) {
        return fatal(e);
    }

    connect(&session, &Session::leaseChanged, this, &frmMain::leaseChanged);
    session.start(this, [this] { GetNoCon(); });
    // A pass that changed something shows a notification too, with the alert's text.
    connect(&session, &Session::passAnnounced, this, [this](const PassReport& report) {
        if (!report.alertText.isEmpty())
            m_notifier->notify(QStringLiteral("Sentrok"), report.alertText);
    });

    if (frmNoCon* w = loadOutageWindow()) w->show();
    return true;
}

// Checking here, or following the process that checks: the event grid, the sounds and the
// outage window show the same changes either way.
void frmMain::leaseChanged(bool held, const QString& holder)
{
    if (held) {
        setCondition(Condition::Viewing, {});
        return;
    }
    setCondition(Condition::Viewing,
                 holder.isEmpty()
                     ? QStringLiteral("Проверки ведёт другой процесс; окно показывает его записи")
                     : QStringLiteral("Проверки ведёт %1; окно показывает его записи").arg(holder));
}

Database* frmMain::database() const
{
    return m_deps.session->isOpen() ? &m_deps.session->database() : nullptr;
}

bool frmMain::fatal(const DbError& error)
{
    m_deps.session->stop();
    m_deps.boxes->ask({error.userText(), kAppTitle, MsgButtons::Ok, MsgIcon::Stop, this});
    m_exitCode = ExitFatal;
    return false;
}

QDateTime frmMain::lastPassTime() const
{
    return monitor() ? monitor()->lastPassTime() : QDateTime();
}

frmNoCon* frmMain::loadOutageWindow()
{
    if (m_noCon) return m_noCon;
    auto* w = new frmNoCon({.programFolder = m_deps.programFolder,
                            .boxes = m_deps.boxes,
                            .clock = m_deps.clock,
                            .trayItem = m_mnuNoconn,
                            .database = location()});
    w->setAttribute(Qt::WA_DeleteOnClose);
    // The hosts down now, in the tray icon's tool tip: seen without opening anything.
    connect(w, &frmNoCon::listed, this, [this](int down) {
        m_tray->setToolTip(down ? QStringLiteral("Sentrok: не пингуется %1").arg(down)
                                : QStringLiteral("Sentrok"));
    });
    if (!w->Form_Load()) {
        delete w;
        return nullptr;
    }
    m_noCon = w;
    return w;
}

void frmMain::GetNoCon()
{
    // A window that is not loaded is loaded hidden; its load fills the list already.
    if (m_noCon)
        m_noCon->GetNoCon();
    else
        loadOutageWindow();
}

void frmMain::mnuShowNoCon_Click()
{
    frmNoCon* w = loadOutageWindow();
    if (!w) return;
    w->show();
    w->raise();
    w->activateWindow();
    w->GetNoCon();
}

void frmMain::mnuBase_Click()
{
    // One instance: showing it again only brings it to the front, with what is typed in it.
    if (!m_base) {
        auto* w = new frmBase({.programFolder = m_deps.programFolder,
                               .boxes = m_deps.boxes,
                               .sound = sound(),
                               .showHistory = [this](const QString& ip) { mnuHistory_Click(ip); },
                               .clock = nullptr,
                               .secrets = nullptr,
                               .database = location()});
        w->setAttribute(Qt::WA_DeleteOnClose);
        w->setWindowIcon(adminIcon());
        if (!w->Form_Load()) {
            delete w;
            return;
        }
        m_base = w;
    }
    m_base->show();
    m_base->raise();
    m_base->activateWindow();
}

void frmMain::mnuHistory_Click(const QString& ip)
{
    // One instance, like the administration window.
    if (!m_history) {
        auto* w = new frmHistory({.programFolder = m_deps.programFolder,
                                  .boxes = m_deps.boxes,
                                  .clock = m_deps.clock,
                                  .retention = m_deps.session->retention(),
                                  .database = location()});
        w->setAttribute(Qt::WA_DeleteOnClose);
        w->setWindowIcon(windowIcon());
        if (!w->Form_Load()) {
            delete w;
            return;
        }
        m_history = w;
    }
    if (!ip.isEmpty()) m_history->showHost(ip);
    m_history->show();
    m_history->raise();
    m_history->activateWindow();
}

void frmMain::mnuMin_Click()
{
    // Without a tray there would be no way back to a hidden window: minimise instead.
    const bool tray =
        m_deps.trayAvailable ? m_deps.trayAvailable() : QSystemTrayIcon::isSystemTrayAvailable();
    if (!tray) {
        showMinimized();
        return;
    }
    m_tray->show();
    hide();
}

void frmMain::mnuMax_Click() { bringBack(); }

void frmMain::bringBack()
{
    if (m_tray->isVisible()) m_tray->hide();
    // Out of the task bar's minimised state too, keeping a maximised window maximised.
    setWindowState((windowState() & ~Qt::WindowMinimized) | Qt::WindowActive);
    show();
    raise();
    activateWindow();
}

void frmMain::mnuEnd1_Click()
{
    mnuMax_Click();
    close();
}

void frmMain::PrintStat(const QString& ip, const QString& desc, const QString& pto,
                        const QString& v_w, std::uint32_t color)
{
    m_fg->setRedraw(false);
    const QString when = generalDateText(m_deps.clock->now());
    m_fg->addItem(QString() + u'\t' + desc + u'\t' + ip + u'\t' + when + u'\t' + pto + u'\t' + v_w,
                  1);
    m_fg->setRow(1);
    static const int alignment[] = {0,
                                    FlexGrid::LeftCenter,
                                    FlexGrid::LeftTop,
                                    FlexGrid::RightTop,
                                    FlexGrid::RightTop,
                                    FlexGrid::RightTop};
    for (int col = 1; col <= 5; ++col) {
        m_fg->setCol(col);
        m_fg->setCellAlignment(alignment[col]);
        m_fg->setCellForeColor(color);
    }
    m_fg->setRedraw(true);
}

void frmMain::setLastRowToolTip(const QString& text)
{
    m_fg->setRow(1);
    for (int col = 1; col <= 5; ++col) {
        m_fg->setCol(col);
        m_fg->setCellToolTip(text);
    }
}

QString frmMain::panelText(int n) const { return panel(n) ? panel(n)->text() : QString(); }

void frmMain::setPanelText(int n, const QString& text)
{
    if (QLabel* p = panel(n)) p->setText(text);
}

void frmMain::setPanelToolTip(int n, const QString& text)
{
    if (QLabel* p = panel(n)) p->setToolTip(text);
}

void frmMain::setPanelEnabled(int n, bool enabled)
{
    if (QLabel* p = panel(n)) p->setEnabled(enabled);
}

void frmMain::setStartEnabled(bool enabled) { m_mnuStart->setEnabled(enabled); }

void frmMain::setBusy(bool busy)
{
    if (busy)
        setCursor(Qt::WaitCursor);
    else
        unsetCursor();
}

void frmMain::reportCheckFailure(const QString& message)
{
    m_failures << generalDateText(m_deps.clock->now()) + QStringLiteral("  ") + message;
    if (m_failures.size() > kFailuresShown) m_failures.removeFirst();
    ++m_failureCount;
    showNotices();
}

void frmMain::clearCheckFailures()
{
    m_failureCount = 0;
    showNotices();
}

void frmMain::setCondition(Condition condition, const QString& text)
{
    const bool arisen = !text.isEmpty() && !m_conditions.contains(condition);
    if (text.isEmpty())
        m_conditions.remove(condition);
    else
        m_conditions.insert(condition, text);
    showNotices();
    // A database that has gone needs the user: told once in a box, then by the panel.
    if (arisen && condition == Condition::DatabaseGone)
        m_deps.boxes->tell({text, kAppTitle, MsgButtons::Ok, MsgIcon::Exclamation, this});
}

// The sixth panel: the first lasting condition, else how many checks of this pass failed; the
// tool tip has every condition in full and the latest failures.
void frmMain::showNotices()
{
    QString text, tip;
    bool warning = false;
    for (auto it = m_conditions.cbegin(); it != m_conditions.cend(); ++it) {
        if (text.isEmpty()) {
            text = it.value().section(u'\n', 0, 0).trimmed();
            // Following another process's checks is how a team works, not a fault.
            warning = it.key() != Condition::Viewing;
        }
        tip += it.value() + QStringLiteral("\n\n");
    }
    if (text.isEmpty()) warning = true;
    if (text.isEmpty() && m_failureCount > 0)
        text = QStringLiteral("Не проверено: %1").arg(m_failureCount);
    if (!m_failures.isEmpty()) {
        tip += QStringLiteral("Последние ошибки проверки:");
        for (auto it = m_failures.crbegin(); it != m_failures.crend(); ++it)
            tip += QStringLiteral("\n") + *it;
    }
    m_notice->setText(text.isEmpty() ? QString()
                                     : (warning ? QStringLiteral("\u26A0 ") : QString()) + text);
    m_notice->setToolTip(tip.trimmed());
    m_notice->setVisible(!text.isEmpty());
}

QSize frmMain::outerSize() const { return frameGeometry().size(); }

void frmMain::fitGrid()
{
    if (!m_fg) return;
    const double width = twipsX(this, outerSize().width());
    const double height = twipsY(this, outerSize().height());
    QRect r = m_fg->geometry();
    r.moveLeft(pxX(this, kGridLeft));
    // Sizes that would not be positive keep the grid as it is.
    const int w = pxX(this, width - 200 - kGridLeft);
    if (w > 0) r.setWidth(w);
    int h = pxY(this, height - 1100 - twipsY(this, r.top()));
    // Where the title bar counts in the outer height the rule would reach under the status
    // bar: stop at the client area's edge, with the same margin as on the left.
    if (const QWidget* client = centralWidget(); isVisible() && client)
        h = std::min(h, client->height() - r.top() - pxY(this, kGridLeft) / 2);
    if (h > 0) r.setHeight(h);
    m_fg->setGeometry(r);
}

void frmMain::resizeEvent(QResizeEvent* event)
{
    QMainWindow::resizeEvent(event);
    fitGrid();
}

void frmMain::showEvent(QShowEvent* event)
{
    QMainWindow::showEvent(event);
    if (m_geometry.frameChanged(this)) fitGrid();
}

void frmMain::moveEvent(QMoveEvent* event)
{
    QMainWindow::moveEvent(event);
    // The window manager frames a shown window a moment later, with a move: only then is the
    // outer size that the placing and the grid's rule go by known.
    if (m_geometry.frameChanged(this)) fitGrid();
}

void frmMain::closeEvent(QCloseEvent* event)
{
    if (m_unloaded || !m_deps.session->isOpen()) {
        event->accept();
        return;
    }
    if (!Form_QueryUnload()) {
        event->ignore();
        return;
    }
    if (m_unloaded) {  // ended by the system while the question was open
        event->accept();
        return;
    }
    const bool saved = Form_Unload();
    event->accept();
    QCoreApplication::exit(saved ? ExitOk : ExitFatal);
}

void frmMain::endSession()
{
    // A modal box has its handler waiting below us on the stack, and that handler may still
    // use what the shutdown releases: answer the box No and end once the handler is done.
    if (QWidget* modal = QApplication::activeModalWidget(); modal && m_modalsRejected < 10) {
        ++m_modalsRejected;
        if (auto* dialog = qobject_cast<QDialog*>(modal))
            dialog->reject();
        else
            modal->close();
        QTimer::singleShot(0, this, [this] { endSession(); });
        return;
    }
    const bool saved = m_unloaded || !m_deps.session->isOpen() || Form_Unload();
    QCoreApplication::exit(saved ? m_exitCode : ExitFatal);
}

bool frmMain::Form_QueryUnload()
{
    return m_deps.boxes->ask({QStringLiteral("Действительно хотите выйти ?"),
                              QStringLiteral("Завершение работы"), MsgButtons::YesNo,
                              MsgIcon::Question, this}) == MsgAnswer::Yes;
}

bool frmMain::Form_Unload()
{
    m_unloaded = true;
    // Read before showing: a window coming out of the minimised or maximised state reports
    // its new geometry only once the window manager has answered.
    WindowSettings<5> s;
    s.geometry = m_geometry.read(this);
    for (int n = 1; n <= 5; ++n) s.columns[std::size_t(n - 1)] = m_fg->colWidth(n);
    m_tray->hide();
    if (isMinimized()) setWindowState(windowState() & ~Qt::WindowMinimized);
    show();
    try {
        saveMainWindowSettings(m_deps.session->database(), s);
    } catch (const DbError& e) {
        // The other windows are not unloaded either: nothing more is saved.
        m_deps.boxes->ask({e.userText(), kAppTitle, MsgButtons::Ok, MsgIcon::Stop, this});
        m_deps.session->stop();
        m_instance.reset();
        return false;
    }
    m_deps.session->stop();
    if (m_noCon) m_noCon->close();  // saves its own geometry
    if (m_base) m_base->close();
    if (m_history) m_history->close();
    m_instance.reset();
    return true;
}

}  // namespace sentrok
