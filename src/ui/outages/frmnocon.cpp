#include "ui/outages/frmnocon.h"

#include "common/conversions.h"
#include "common/datetext.h"
#include "monitor/monitorview.h"
#include "store/maintenance.h"
#include "store/outages.h"
#include "ui/controls/flexgrid.h"
#include "ui/controls/programicon.h"
#include "ui/controls/thinborder.h"
#include "ui/controls/units.h"

#include <QAction>
#include <QCloseEvent>
#include <QScreen>
#include <QTextStream>

#include <algorithm>

namespace sentrok {

namespace {

// The window's definition, in twips.
constexpr double kClientWidth = 6855, kClientHeight = 3270;

}  // namespace

frmNoCon::frmNoCon(OutageWindowDeps deps, QWidget* parent)
    : QWidget(parent, Qt::Tool), m_deps(std::move(deps))
{
    setObjectName(QStringLiteral("frmNoCon"));
    setWindowTitle(QStringLiteral("Не пингуются"));
    setWindowIcon(outageIcon());
    m_fg = new FlexGrid(this);
    m_fg->setObjectName(QStringLiteral("fg"));
    m_fg->setFont(QFont(QStringLiteral("Verdana"), 9));
    resize(pxX(this, kClientWidth), pxY(this, kClientHeight));
    move(0, 0);
}

// With nothing stored: the defined size at the top left corner of the screen, not centred.
QRect frmNoCon::definedGeometry(const QMargins& frame) const
{
    const QRect screenRect = screen() ? screen()->geometry() : QRect();
    const QSize client(pxX(this, kClientWidth), pxY(this, kClientHeight));
    return {screenRect.topLeft(), client.grownBy(frame)};
}

frmNoCon::~frmNoCon() = default;

bool frmNoCon::Form_Load()
{
    WindowSettings<3> settings;
    try {
        m_db =
            std::make_unique<Database>(Database::locationOr(m_deps.database, m_deps.programFolder),
                                       Database::uniqueName(QStringLiteral("frmNoCon")));
        settings = readOutageWindowSettings(*m_db);
    } catch (const DbError& e) {
        m_db.reset();
        tell(e);
        return false;
    }
    m_geometry.restore(
        this, [this](const QMargins& frame) { return definedGeometry(frame); }, settings.geometry);

    SetThinBorder(m_fg);
    m_fg->setFormatString(kGridFormat);
    m_fg->setColWidth(0, 0);
    for (int n = 1; n <= 3; ++n)
        if (settings.columns[std::size_t(n - 1)] > 0)
            m_fg->setColWidth(n, settings.columns[std::size_t(n - 1)]);
    fitGrid();
    GetNoCon();
    return true;
}

void frmNoCon::GetNoCon()
{
    if (!m_db) return;
    // The tray item goes grey for the refresh and back, as a sign of work under way.
    if (m_deps.trayItem) m_deps.trayItem->setEnabled(!m_deps.trayItem->isEnabled());
    setWindowTitle(QStringLiteral("Не пингуются [%1]").arg(generalDateText(m_deps.clock->now())));
    m_fg->setRows(1);
    try {
        const std::vector<OpenOutage> rows = openOutages(*m_db);
        // Hosts under planned work are down as expected: their own colour, the work in the tip.
        const QHash<qint64, QString> maintenance =
            hostsUnderMaintenance(*m_db, m_deps.clock->now());
        for (const OpenOutage& row : rows) {
            const auto planned = maintenance.constFind(row.hostId);
            // A host behind an ancestor that is down too waits for that one: said and greyed.
            const std::optional<HostNode>& waitsFor = row.waitsFor;
            const QString desc =
                waitsFor
                    ? row.desc +
                          QStringLiteral(" (ждёт %1)").arg(hostLabel(waitsFor->desc, waitsFor->ip))
                    : row.desc;
            m_fg->setRedraw(false);
            m_fg->addItem(
                QString() + u'\t' + desc + u'\t' + row.ip + u'\t' + displayText(row.began), 1);
            m_fg->setRow(1);
            static const int alignment[] = {0, FlexGrid::LeftCenter, FlexGrid::LeftTop,
                                            FlexGrid::RightTop};
            for (int col = 1; col <= 3; ++col) {
                m_fg->setCol(col);
                m_fg->setCellAlignment(alignment[col]);
                if (planned != maintenance.cend()) {
                    m_fg->setCellForeColor(kColorMaintenance);
                    m_fg->setCellToolTip(
                        QStringLiteral("Обслуживание: %1").arg(printableText(*planned)));
                } else if (waitsFor) {
                    m_fg->setCellForeColor(kColorUnreachable);
                }
            }
            m_fg->setRedraw(true);
        }
        emit listed(int(rows.size()));
    } catch (const DbError& e) {
        tell(e);
    }
    if (m_deps.trayItem) m_deps.trayItem->setEnabled(!m_deps.trayItem->isEnabled());
}

void frmNoCon::tell(const DbError& e)
{
    QTextStream(stderr) << "sentrok: " << e.userText() << "\n";
    if (m_deps.boxes)
        m_deps.boxes->tell({e.userText(), kAppTitle, MsgButtons::Ok, MsgIcon::Stop, this});
}

void frmNoCon::fitGrid()
{
    const QRect frame = frameGeometry();
    QRect r = m_fg->geometry();
    r.moveTopLeft(QPoint(pxX(this, 2), pxY(this, 2)));
    // Sizes that would not be positive keep the grid as it is.
    int w = pxX(this, twipsX(this, frame.width()) - 100 - twipsX(this, r.left()));
    w = std::min(w, width() - r.left());
    if (w > 0) r.setWidth(w);
    int h = pxY(this, twipsY(this, frame.height()) - 350 - twipsY(this, r.top()));
    // The rule counts on a frame as thin as the one it was drawn for; under a taller title bar
    // it would reach past the window's edge.
    h = std::min(h, height() - r.top());
    if (h > 0) r.setHeight(h);
    m_fg->setGeometry(r);
}

void frmNoCon::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    if (m_geometry.frameChanged(this)) fitGrid();
}

void frmNoCon::moveEvent(QMoveEvent* event)
{
    QWidget::moveEvent(event);
    // Framed by the window manager a moment after showing: the outer size is known only now.
    if (m_geometry.frameChanged(this)) fitGrid();
}

void frmNoCon::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    fitGrid();
}

void frmNoCon::closeEvent(QCloseEvent* event)
{
    Form_Unload();
    event->accept();
}

void frmNoCon::Form_Unload()
{
    if (!m_db) return;
    WindowSettings<3> s;
    s.geometry = m_geometry.read(this);
    for (int n = 1; n <= 3; ++n) s.columns[std::size_t(n - 1)] = m_fg->colWidth(n);
    try {
        saveOutageWindowSettings(*m_db, s);
    } catch (const DbError& e) {
        QTextStream(stderr) << "sentrok: " << e.userText() << "\n";
    }
    m_db.reset();
}

}  // namespace sentrok
