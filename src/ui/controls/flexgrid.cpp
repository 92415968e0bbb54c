#include "ui/controls/flexgrid.h"

#include "ui/controls/units.h"

#include <QColor>

#include <QHeaderView>
#include <QStyle>
#include <algorithm>

namespace sentrok {

int FlexGridModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : int(m_rows.size());
}

int FlexGridModel::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : int(m_headings.size());
}

QVariant FlexGridModel::data(const QModelIndex& index, int role) const
{
    const Cell* c = cell(index.row(), index.column());
    if (!c) return {};
    switch (role) {
        case Qt::ToolTipRole:
            if (!c->toolTip.isEmpty()) return c->toolTip;
            [[fallthrough]];
        case Qt::DisplayRole:
            return c->text.isEmpty() ? QVariant() : QVariant(c->text);
        case Qt::TextAlignmentRole:
            return QVariant::fromValue(FlexGrid::qtAlignment(c->alignment));
        case Qt::ForegroundRole:
            if (c->hasColor)
                return QColor(int(c->color & 0xff), int((c->color >> 8) & 0xff),
                              int((c->color >> 16) & 0xff));
            return {};
        default:
            return {};
    }
}

QVariant FlexGridModel::headerData(int section, Qt::Orientation o, int role) const
{
    if (o != Qt::Horizontal || section < 0 || section >= m_headings.size()) return {};
    if (role == Qt::DisplayRole) return m_headings[section];
    if (role == Qt::TextAlignmentRole)
        return QVariant::fromValue(Qt::Alignment(Qt::AlignLeft | Qt::AlignVCenter));
    return {};
}

void FlexGridModel::setHeadings(const QStringList& headings)
{
    beginResetModel();
    m_headings = headings;
    for (auto& r : m_rows) r.resize(std::size_t(m_headings.size()));
    endResetModel();
}

void FlexGridModel::clearRows()
{
    if (m_rows.empty()) return;
    beginResetModel();
    m_rows = {};  // gives the memory back, which clear() need not do
    endResetModel();
}

void FlexGridModel::insertRowAt(int position, const QStringList& cells)
{
    position = std::clamp(position, 0, int(m_rows.size()));
    std::vector<Cell> row(std::size_t(m_headings.size()));
    for (int i = 0; i < cells.size() && i < int(row.size()); ++i)
        row[std::size_t(i)].text = cells[i];
    beginInsertRows({}, position, position);
    // Display position p lives at storage index size-1-p: the top row is the last stored.
    m_rows.insert(m_rows.end() - position, std::move(row));
    endInsertRows();
    // A view spends time on every removal in proportion to all its rows: rows go a hundredth
    // of the ceiling at a time, not one by one.
    dropBottomRows(m_maxRows / 100);
}

void FlexGridModel::setMaxRows(int rows)
{
    m_maxRows = std::max(rows, 0);
    dropBottomRows();
}

void FlexGridModel::dropBottomRows(int slack)
{
    if (m_maxRows == 0 || int(m_rows.size()) <= m_maxRows + slack) return;
    const int excess = int(m_rows.size()) - m_maxRows;
    beginRemoveRows({}, m_maxRows, m_maxRows + excess - 1);
    m_rows.erase(m_rows.begin(), m_rows.begin() + excess);
    endRemoveRows();
}

FlexGridModel::Cell* FlexGridModel::cell(int position, int column)
{
    if (position < 0 || position >= int(m_rows.size()) || column < 0 ||
        column >= int(m_headings.size()))
        return nullptr;
    return &m_rows[storageIndex(position)][std::size_t(column)];
}

const FlexGridModel::Cell* FlexGridModel::cell(int position, int column) const
{
    return const_cast<FlexGridModel*>(this)->cell(position, column);
}

void FlexGridModel::cellChanged(int position, int column)
{
    const QModelIndex i = index(position, column);
    emit dataChanged(i, i);
}

FlexGrid::FlexGrid(QWidget* parent) : QTableView(parent)
{
    setModel(&m_model);
    setEditTriggers(NoEditTriggers);
    setSelectionBehavior(SelectRows);
    setSelectionMode(SingleSelection);
    setWordWrap(false);
    setCornerButtonEnabled(false);
    setHorizontalScrollMode(ScrollPerPixel);
    verticalHeader()->hide();
    verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    horizontalHeader()->setMinimumSectionSize(0);
    horizontalHeader()->setHighlightSections(false);
    horizontalHeader()->setSectionsClickable(false);
    horizontalHeader()->setStretchLastSection(false);
    // At most a few repaints a second however fast events arrive.
    m_redraw.setSingleShot(true);
    m_redraw.setInterval(40);
    connect(&m_redraw, &QTimer::timeout, this, [this] { setUpdatesEnabled(true); });
}

void FlexGrid::setFormatString(const QString& format)
{
    const QStringList pieces = format.split(u'|');
    m_model.setHeadings(pieces);
    verticalHeader()->setDefaultSectionSize(fontMetrics().height() + 6);
    const QFontMetrics fm = horizontalHeader()->fontMetrics();
    for (int i = 0; i < pieces.size(); ++i) setColumnWidth(i, fm.horizontalAdvance(pieces[i]) + 6);
}

int FlexGrid::cols() const { return m_model.columnCount(); }

int FlexGrid::colWidth(int col) const { return int(twipsX(this, columnWidth(col))); }

void FlexGrid::setColWidth(int col, int twips) { setColumnWidth(col, pxX(this, twips)); }

void FlexGrid::widenFor(int col, const QString& sample)
{
    // The style draws a cell's text inside a margin on each side, and the grid line takes one.
    const int margin = style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, this) + 1;
    const int needed = fontMetrics().horizontalAdvance(sample) + 2 * margin + 1;
    if (columnWidth(col) < needed) setColumnWidth(col, needed);
}

int FlexGrid::rows() const { return m_model.rowCount() + 1; }

void FlexGrid::setRows(int rows)
{
    if (rows <= 1) m_model.clearRows();
}

void FlexGrid::addItem(const QString& item, int row)
{
    m_model.insertRowAt(row - 1, item.split(u'\t'));
}

FlexGridModel::Cell* FlexGrid::current() { return m_model.cell(m_row - 1, m_col); }

void FlexGrid::setCellAlignment(int code)
{
    if (auto* c = current()) {
        c->alignment = std::uint8_t(code);
        m_model.cellChanged(m_row - 1, m_col);
    }
}

void FlexGrid::setCellForeColor(std::uint32_t colorref)
{
    if (auto* c = current()) {
        c->hasColor = true;
        c->color = colorref;
        m_model.cellChanged(m_row - 1, m_col);
    }
}

void FlexGrid::setCellToolTip(const QString& text)
{
    if (auto* c = current()) {
        c->toolTip = text;
        m_model.cellChanged(m_row - 1, m_col);
    }
}

QString FlexGrid::cellToolTipAt(int row, int col) const
{
    const FlexGridModel::Cell* c = m_model.cell(row - 1, col);
    return c ? c->toolTip : QString();
}

void FlexGrid::setRedraw(bool on)
{
    if (!on) {
        m_redraw.stop();
        setUpdatesEnabled(false);
    } else if (!updatesEnabled()) {
        m_redraw.start();
    }
}

QString FlexGrid::textMatrix(int row, int col) const
{
    if (row == 0) return m_model.headerData(col, Qt::Horizontal, Qt::DisplayRole).toString();
    const auto* c = m_model.cell(row - 1, col);
    return c ? c->text : QString();
}

int FlexGrid::cellAlignmentAt(int row, int col) const
{
    const auto* c = m_model.cell(row - 1, col);
    return c ? c->alignment : 0;
}

std::uint32_t FlexGrid::cellForeColorAt(int row, int col) const
{
    const auto* c = m_model.cell(row - 1, col);
    return c && c->hasColor ? c->color : 0;
}

Qt::Alignment FlexGrid::qtAlignment(int code)
{
    switch (code) {
        case LeftCenter:
            return Qt::AlignLeft | Qt::AlignVCenter;
        case RightTop:
            return Qt::AlignRight | Qt::AlignTop;
        case LeftTop:
        default:
            return Qt::AlignLeft | Qt::AlignTop;
    }
}

}  // namespace sentrok
