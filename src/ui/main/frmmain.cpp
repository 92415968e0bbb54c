#include "ui/main/frmmain.h"

#include "alerts/sound.h"
#include "common/datetext.h"
#include "monitor/monitor.h"
#include "ui/controls/busypointer.h"
#include "ui/controls/flexgrid.h"
#include "ui/controls/units.h"
#include "ui/main/singleinstance.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QLabel>
#include <QMenuBar>
#include <QScreen>
#include <QStatusBar>
#include <QTextStream>
#include <QTimer>

namespace sentrok {

namespace {

// The window's definition, in twips.
constexpr double kClientWidth = 7050, kClientHeight = 4125;
constexpr double kGridLeft = 100, kGridTop = 120;
constexpr double kGridDefWidth = 6855, kGridDefHeight = 3255;

}  // namespace

frmMain::frmMain(MainWindowDeps deps, QWidget* parent)
    : QMainWindow(parent), m_deps(std::move(deps))
{
    setObjectName(QStringLiteral("frmMain"));
    setWindowTitle(QStringLiteral("Sentrok"));
    QFont font(QStringLiteral("Verdana"), 9);
    setFont(font);

    auto* central = new QWidget(this);
    central->setObjectName(QStringLiteral("client"));
    setCentralWidget(central);
    m_fg = new FlexGrid(central);
    m_fg->setObjectName(QStringLiteral("fg"));
    QFont gridFont(QStringLiteral("Verdana"));
    gridFont.setPointSizeF(8.25);
    m_fg->setFont(gridFont);
    m_fg->setGeometry(pxRect(this, 120, kGridTop, kGridDefWidth, kGridDefHeight));
    createMenus();
    createStatusBar();
    resize(pxX(this, kClientWidth), pxY(this, kClientHeight));
}

void frmMain::createMenus()
{
    // The items of the menu bar have no sub-menus: a click runs the command at once.
    m_mnuStart = menuBar()->addAction(QStringLiteral("Начать проверку"));
    m_mnuStart->setObjectName(QStringLiteral("mnuStart"));
    connect(m_mnuStart, &QAction::triggered, this, [this] {
        if (m_monitor) m_monitor->mnuStart_Click();
    });
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
    sb->setSizeGripEnabled(true);
    int n = 0;
    for (const PanelDef& d : defs) {
        auto* label = new QLabel(QString::fromUtf8(d.text), sb);
        label->setObjectName(QStringLiteral("sbPanel%1").arg(++n));
        label->setToolTip(QString::fromUtf8(d.toolTip));
        label->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        label->setMinimumWidth(pxX(this, 1000));
        label->resize(pxX(this, d.width), label->sizeHint().height());
        label->setFixedWidth(pxX(this, d.width));
        sb->addWidget(label);
        m_panels << label;
    }
}

QLabel* frmMain::panel(int n) const
{
    return n >= 1 && n <= m_panels.size() ? m_panels[n - 1] : nullptr;
}

frmMain::~frmMain() = default;

bool frmMain::Form_Load()
{
    fitGrid();
    if (const QScreen* s = screen()) {
        const QRect screenRect = s->geometry();
        const int top = screenRect.height() - outerSize().height() - pxY(this, 1000);
        const int left = screenRect.x() + (screenRect.width() - outerSize().width()) / 2;
        move(left, screenRect.y() + top);
    }
    BusyPointer busy(this);

    m_instance = std::make_unique<SingleInstance>(m_deps.lockFolder, m_deps.programFolder);
    if (!m_instance->acquire()) {
        m_deps.boxes->ask({QStringLiteral("Программа уже запущена!"), QStringLiteral("Sentrok"),
                           MsgButtons::Ok, MsgIcon::None});
        m_instance.reset();
        m_exitCode = ExitAlreadyRunning;
        return false;
    }

    try {
        m_db = std::make_unique<Database>(Database::fileIn(m_deps.programFolder),
                                          Database::uniqueName(QStringLiteral("frmMain")));
        const MainSettings settings = readMainSettings(*m_db);
        m_checkInterval = settings.checkInterval;
        applyGeometry(settings.window.geometry);
        m_sound = std::make_unique<Sound>(*m_deps.player, m_deps.programFolder);
        m_sound->setNames(settings.sndUp, settings.sndDown);
        m_fg->setFormatString(kGridFormat);
        m_fg->setColWidth(0, 0);
        for (int n = 1; n <= 5; ++n)
            if (settings.window.columns[std::size_t(n - 1)] > 0)
                m_fg->setColWidth(n, settings.window.columns[std::size_t(n - 1)]);
    } catch (const DbError& e) {
        return fatal(e);
    }

    MonitorDeps monitor;
    monitor.db = m_db.get();
    monitor.prober = m_deps.prober;
    monitor.sound = m_sound.get();
    monitor.view = this;
    monitor.clock = m_deps.clock;
    m_monitor = std::make_unique<Monitor>(std::move(monitor), m_checkInterval);
    m_monitor->start();  // LastPassTime = now: the first pass comes one interval from now
    return true;
}

QDateTime frmMain::lastPassTime() const
{
    return m_monitor ? m_monitor->lastPassTime() : QDateTime();
}

void frmMain::PrintStat(const QString& ip, const QString& desc, const QString& pto,
                        const QString& v_w, std::uint32_t color)
{
    m_fg->setRedraw(false);
    const QString when = generalDateText(m_deps.clock->now());
    m_fg->addItem(QString() + u'\t' + desc + u'\t' + ip + u'\t' + when + u'\t' + pto + u'\t' + v_w, 1);
    m_fg->setRow(1);
    static const int alignment[] = {0, FlexGrid::LeftCenter, FlexGrid::LeftTop, FlexGrid::RightTop,
                                    FlexGrid::RightTop, FlexGrid::RightTop};
    for (int col = 1; col <= 5; ++col) {
        m_fg->setCol(col);
        m_fg->setCellAlignment(alignment[col]);
        m_fg->setCellForeColor(color);
    }
    m_fg->setRedraw(true);
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
    if (busy) setCursor(Qt::WaitCursor);
    else unsetCursor();
}

void frmMain::reportCheckFailure(const QString& message)
{
    // The panels give way to the message for a while; the pass goes on meanwhile.
    statusBar()->showMessage(message, 15000);
    statusBar()->setToolTip(message);
}

bool frmMain::fatal(const DbError& error)
{
    m_sound.reset();
    m_db.reset();
    m_deps.boxes->ask({error.userText(), kAppTitle, MsgButtons::Ok, MsgIcon::Stop});
    m_exitCode = ExitFatal;
    return false;
}

void frmMain::applyGeometry(const StoredGeometry& g)
{
    QPoint pos = this->pos();
    if (g.top > 0) pos.setY(pxY(this, g.top));
    if (g.left > 0) pos.setX(pxX(this, g.left));
    move(pos);
    QSize outer = outerSize();
    if (g.width > 0) outer.setWidth(pxX(this, g.width));
    if (g.height > 0) outer.setHeight(pxY(this, g.height));
    if (g.width > 0 || g.height > 0) {
        const QSize extra = outerSize() - size();
        resize(outer - extra);
        // Before the window is shown its frame is not known: settle the size once it is.
        if (!isVisible()) m_wantedOuter = outer;
    }
}

QSize frmMain::outerSize() const { return frameGeometry().size(); }

StoredGeometry frmMain::outerGeometry() const
{
    const QRect f = frameGeometry();
    return {twipsY(this, f.y()), twipsX(this, f.x()), twipsX(this, f.width()),
            twipsY(this, f.height())};
}

void frmMain::fitGrid()
{
    if (!m_fg) return;
    const double width = twipsX(this, outerSize().width());
    const double height = twipsY(this, outerSize().height());
    QRect r = m_fg->geometry();
    r.moveLeft(pxX(this, kGridLeft));
    const double w = width - 200 - kGridLeft;
    if (w > 0) r.setWidth(pxX(this, w));
    const double h = height - 1100 - twipsY(this, r.top());
    if (h > 0) r.setHeight(pxY(this, h));
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
    if (!m_wantedOuter) return;
    // The window manager tells the frame's size only after mapping the window.
    QTimer::singleShot(200, this, [this] {
        if (!m_wantedOuter) return;
        const QSize extra = outerSize() - size();
        if (extra != QSize(0, 0)) resize(*m_wantedOuter - extra);
        m_wantedOuter.reset();
    });
}

void frmMain::closeEvent(QCloseEvent* event)
{
    if (m_unloaded || !m_db) {
        event->accept();
        return;
    }
    if (!Form_QueryUnload()) {
        event->ignore();
        return;
    }
    const bool saved = Form_Unload();
    event->accept();
    QCoreApplication::exit(saved ? ExitOk : ExitFatal);
}

bool frmMain::Form_QueryUnload()
{
    return m_deps.boxes->ask({QStringLiteral("Действительно хотите выйти ?"),
                              QStringLiteral("Завершение работы"), MsgButtons::YesNo,
                              MsgIcon::Question}) == MsgAnswer::Yes;
}

bool frmMain::Form_Unload()
{
    m_unloaded = true;
    if (isMinimized()) showNormal();
    else show();
    WindowSettings<5> s;
    s.geometry = outerGeometry();
    for (int n = 1; n <= 5; ++n) s.columns[std::size_t(n - 1)] = m_fg->colWidth(n);
    bool saved = true;
    try {
        saveMainWindowSettings(*m_db, s);
    } catch (const DbError& e) {
        m_deps.boxes->ask({e.userText(), kAppTitle, MsgButtons::Ok, MsgIcon::Stop});
        saved = false;
    }
    m_monitor.reset();
    m_db.reset();
    m_instance.reset();
    return saved;
}

}  // namespace sentrok
