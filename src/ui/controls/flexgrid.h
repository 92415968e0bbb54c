#pragma once

#include <QAbstractTableModel>
#include <QStringList>
#include <QTableView>
#include <QTimer>

#include <cstdint>
#include <deque>
#include <vector>

namespace sentrok {

// Rows of a FlexGrid. Rows are kept in the order they were added and shown newest first, so
// putting a row on top, and dropping the bottom one at the ceiling, costs the same with ten
// rows as with a hundred thousand.
class FlexGridModel final : public QAbstractTableModel {
    Q_OBJECT
public:
    struct Cell {
        QString text{};
        std::uint8_t alignment = 0;  // the grid's alignment code
        bool hasColor = false;
        std::uint32_t color = 0;  // 0x00BBGGRR
        QString toolTip{};        // empty: the text
    };

    using QAbstractTableModel::QAbstractTableModel;

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation o, int role) const override;

    void setHeadings(const QStringList& headings);
    void clearRows();
    // Inserts a row at data row `position` (0 = top); past the ceiling the bottom rows go.
    void insertRowAt(int position, const QStringList& cells);
    // The most data rows kept; 0: no limit. Rows beyond it go from the bottom: at once when
    // it is lowered, in batches of a hundredth of it as rows are added.
    void setMaxRows(int rows);
    int maxRows() const { return m_maxRows; }
    Cell* cell(int position, int column);
    const Cell* cell(int position, int column) const;
    void cellChanged(int position, int column);

private:
    std::size_t storageIndex(int position) const
    {
        return m_rows.size() - 1 - std::size_t(position);
    }
    void dropBottomRows(int slack = 0);
    QStringList m_headings;
    std::deque<std::vector<Cell>> m_rows;  // bottom row first
    int m_maxRows = 0;
};

// The grid both list windows show their rows in. It speaks the grid's own terms: row 0 is the
// fixed header row, data rows count from 1; column 0 is the fixed first column; widths are in
// twips; cells are addressed by making a row and a column current.
class FlexGrid final : public QTableView {
    Q_OBJECT
public:
    // Alignment codes.
    enum : int { LeftTop = 0, LeftCenter = 1, RightTop = 6 };

    explicit FlexGrid(QWidget* parent = nullptr);

    // Headings separated by "|"; one column per piece; each column as wide as its heading,
    // trailing blanks included.
    void setFormatString(const QString& format);
    int cols() const;
    int colWidth(int col) const;  // twips
    void setColWidth(int col, int twips);
    // Widens a column that is too narrow to show `sample` whole in a cell.
    void widenFor(int col, const QString& sample);
    int rows() const;        // header row included
    void setRows(int rows);  // only shrinking is needed: 1 leaves the header alone
    // The most data rows the grid keeps (0: no limit); rows added beyond it push the bottom
    // rows out, a hundredth of the ceiling at a time. A grid that runs for months keeps its
    // memory bounded this way.
    void setMaxRows(int rows) { m_model.setMaxRows(rows); }
    int maxRows() const { return m_model.maxRows(); }
    // Inserts a row whose cells are the TAB-separated pieces of `item`, from column 0 on.
    void addItem(const QString& item, int row);
    void setRow(int row) { m_row = row; }
    void setCol(int col) { m_col = col; }
    int row() const { return m_row; }
    int col() const { return m_col; }
    void setCellAlignment(int code);
    void setCellForeColor(std::uint32_t colorref);
    void setCellToolTip(const QString& text);
    // Off: no repaint until switched on again. On: one repaint, made a moment later, so rows
    // added in quick succession are painted together.
    void setRedraw(bool on);

    QString textMatrix(int row, int col) const;
    int cellAlignmentAt(int row, int col) const;
    std::uint32_t cellForeColorAt(int row, int col) const;  // 0 when none set
    QString cellToolTipAt(int row, int col) const;

    static Qt::Alignment qtAlignment(int code);

private:
    FlexGridModel::Cell* current();
    FlexGridModel m_model;
    QTimer m_redraw;
    int m_row = 0, m_col = 0;
};

}  // namespace sentrok
