#include "ui/controls/flexgrid.h"

#include <QAbstractItemModelTester>
#include <QApplication>
#include <QHeaderView>
#include <QTest>

using namespace sentrok;

class TestFlexGrid : public QObject {
    Q_OBJECT
private slots:
    void formatStringMakesColumnsAndWidths();
    void insertAtRowOnePutsNewestOnTop();
    void cellsFromTabsAndMissingCells();
    void alignmentAndColourActOnCurrentCell_data();
    void alignmentAndColourActOnCurrentCell();
    void setRowsOneKeepsHeaderOnly();
    void ceilingDropsBottomRows_data();
    void ceilingDropsBottomRows();
    void widthsInTwips();
};

void TestFlexGrid::formatStringMakesColumnsAndWidths()
{
    FlexGrid g;
    g.setFormatString(
        "|Описание                      |Ip-адрес     |Дата/Время                |Вр.ож.|Вр.отв.");
    QCOMPARE(g.cols(), 6);
    QCOMPARE(g.rows(), 1);
    QCOMPARE(g.textMatrix(0, 0), QString());
    QCOMPARE(g.textMatrix(0, 1).trimmed(), QStringLiteral("Описание"));
    QCOMPARE(g.textMatrix(0, 5), QStringLiteral("Вр.отв."));
    // Trailing blanks make a heading's column wider than its word alone.
    QVERIFY(g.columnWidth(1) > g.columnWidth(4));
    QVERIFY(g.columnWidth(3) > g.columnWidth(2));
    g.setColWidth(0, 0);
    QCOMPARE(g.columnWidth(0), 0);
    QCOMPARE(g.colWidth(0), 0);
}

void TestFlexGrid::insertAtRowOnePutsNewestOnTop()
{
    FlexGrid g;
    g.setFormatString("|a|b");
    for (int i = 1; i <= 5; ++i) g.addItem(QStringLiteral("\tr%1\tx").arg(i), 1);
    QCOMPARE(g.rows(), 6);
    QCOMPARE(g.textMatrix(1, 1), QStringLiteral("r5"));
    QCOMPARE(g.textMatrix(5, 1), QStringLiteral("r1"));
    QCOMPARE(g.model()->index(0, 1).data().toString(), QStringLiteral("r5"));
    // A row inserted lower down lands where it was asked for.
    g.addItem("\tmid\ty", 3);
    QCOMPARE(g.textMatrix(3, 1), QStringLiteral("mid"));
    QCOMPARE(g.textMatrix(2, 1), QStringLiteral("r4"));
    QCOMPARE(g.textMatrix(4, 1), QStringLiteral("r3"));
}

void TestFlexGrid::cellsFromTabsAndMissingCells()
{
    FlexGrid g;
    g.setFormatString("|a|b|c");
    g.addItem("\tonly", 1);
    QCOMPARE(g.textMatrix(1, 1), QStringLiteral("only"));
    QCOMPARE(g.textMatrix(1, 2), QString());
    g.addItem("z\t1\t2\t3\textra", 1);
    QCOMPARE(g.textMatrix(1, 0), QStringLiteral("z"));
    QCOMPARE(g.textMatrix(1, 3), QStringLiteral("3"));
}

void TestFlexGrid::alignmentAndColourActOnCurrentCell_data()
{
    QTest::addColumn<int>("code");
    QTest::addColumn<int>("qt");
    QTest::newRow("left top") << 0 << int(Qt::AlignLeft | Qt::AlignTop);
    QTest::newRow("left centre") << 1 << int(Qt::AlignLeft | Qt::AlignVCenter);
    QTest::newRow("right top") << 6 << int(Qt::AlignRight | Qt::AlignTop);
}

void TestFlexGrid::alignmentAndColourActOnCurrentCell()
{
    QFETCH(int, code);
    QFETCH(int, qt);
    FlexGrid g;
    g.setFormatString("|a|b");
    g.addItem("\tx\ty", 1);
    g.addItem("\tp\tq", 1);
    g.setRow(2);
    g.setCol(2);
    g.setCellAlignment(code);
    g.setCellForeColor(0x0000FF);
    QCOMPARE(g.cellAlignmentAt(2, 2), code);
    QCOMPARE(g.cellForeColorAt(2, 2), 0x0000FFu);
    QCOMPARE(g.cellForeColorAt(1, 2), 0u);
    const QModelIndex i = g.model()->index(1, 2);
    QCOMPARE(i.data(Qt::TextAlignmentRole).value<Qt::Alignment>(), Qt::Alignment(qt));
    QCOMPARE(i.data(Qt::ForegroundRole).value<QColor>(), QColor(255, 0, 0));
    g.setCellForeColor(0x008000);
    QCOMPARE(i.data(Qt::ForegroundRole).value<QColor>(), QColor(0, 128, 0));
    // A new row on top moves the coloured one down with its colour.
    g.addItem("\tnew\trow", 1);
    QCOMPARE(g.cellForeColorAt(3, 2), 0x008000u);
}

void TestFlexGrid::setRowsOneKeepsHeaderOnly()
{
    FlexGrid g;
    g.setFormatString("|a|b");
    g.addItem("\t1\t2", 1);
    g.addItem("\t3\t4", 1);
    g.setRows(1);
    QCOMPARE(g.rows(), 1);
    QCOMPARE(g.textMatrix(0, 1), QStringLiteral("a"));
    g.setRow(1);
    g.setCol(1);
    g.setCellAlignment(6);  // no row: nothing happens, nothing breaks
    QCOMPARE(g.textMatrix(1, 1), QString());
}

void TestFlexGrid::ceilingDropsBottomRows_data()
{
    QTest::addColumn<int>("ceiling");
    QTest::addColumn<QList<int>>("inserts");  // the grid row of each new row, r1, r2, ...
    QTest::addColumn<int>("lowerTo");         // a ceiling set afterwards, or -1
    QTest::addColumn<QStringList>("rows");    // top to bottom
    QTest::newRow("newest on top, oldest out")
        << 3 << QList<int>{1, 1, 1, 1, 1} << -1 << QStringList{"r5", "r4", "r3"};
    QTest::newRow("no ceiling") << 0 << QList<int>{1, 1, 1, 1, 1} << -1
                                << QStringList{"r5", "r4", "r3", "r2", "r1"};
    QTest::newRow("lowered: the bottom goes at once")
        << 0 << QList<int>{1, 1, 1, 1, 1} << 2 << QStringList{"r5", "r4"};
    QTest::newRow("inserted lower down: still the bottom goes")
        << 3 << QList<int>{1, 1, 1, 2} << -1 << QStringList{"r3", "r4", "r2"};
    QTest::newRow("inserted at the bottom of a full grid")
        << 2 << QList<int>{1, 1, 3} << -1 << QStringList{"r2", "r1"};
    // A large ceiling lets a hundredth of it gather before they go together.
    const auto newest = [](int added, int kept) {
        QStringList rows;
        for (int n = added; n > added - kept; --n) rows << QStringLiteral("r%1").arg(n);
        return rows;
    };
    QTest::newRow("100: one over waits") << 100 << QList<int>(101, 1) << -1 << newest(101, 101);
    QTest::newRow("100: two over go") << 100 << QList<int>(102, 1) << -1 << newest(102, 100);
}

void TestFlexGrid::ceilingDropsBottomRows()
{
    QFETCH(int, ceiling);
    QFETCH(QList<int>, inserts);
    QFETCH(int, lowerTo);
    QFETCH(QStringList, rows);
    FlexGrid g;
    g.setFormatString("|a|b");
    g.resize(300, 200);
    g.show();  // a view that paints and keeps a current row sees every removal
    QAbstractItemModelTester tester(g.model(),
                                    QAbstractItemModelTester::FailureReportingMode::QtTest);
    g.setMaxRows(ceiling);
    for (int n = 1; n <= inserts.size(); ++n) {
        const int at = inserts[n - 1];
        g.addItem(QStringLiteral("	r%1	x").arg(n), at);
        g.setRow(at);
        g.setCol(1);
        g.setCellForeColor(std::uint32_t(n));
        g.setCurrentIndex(g.model()->index(g.rows() - 2, 1));
    }
    if (lowerTo >= 0) g.setMaxRows(lowerTo);
    QCOMPARE(g.rows(), rows.size() + 1);
    for (int r = 1; r <= rows.size(); ++r) {
        QCOMPARE(g.textMatrix(r, 1), rows[r - 1]);
        // Each row's colour left with it, not with its position.
        QCOMPARE(g.cellForeColorAt(r, 1), rows[r - 1].mid(1).toUInt());
    }
}

void TestFlexGrid::widthsInTwips()
{
    FlexGrid g;
    g.setFormatString("|a|b");
    g.setColWidth(1, 3000);
    QCOMPARE(g.columnWidth(1), 200);  // 96 dpi: 15 twips a pixel
    QCOMPARE(g.colWidth(1), 3000);
    g.setColumnWidth(2, 77);  // as the user drags a border
    QCOMPARE(g.colWidth(2), 77 * 15);
}

QTEST_MAIN(TestFlexGrid)
#include "tst_flexgrid.moc"
