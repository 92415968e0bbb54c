#pragma once

#include "history/historyquery.h"

#include <QChartView>

class QAreaSeries;
class QCategoryAxis;
class QLineSeries;
class QScatterSeries;
class QValueAxis;

namespace sentrok {

// Reply times of one host over a period: answered checks as a line, failed checks as red
// marks on the time axis, outages as red bands behind them. The wheel zooms the time axis
// around the pointer, dragging moves along it, a double click shows the whole period again.
// Marks on both axes fall on round values: 1, 2 or 5 times a power of ten milliseconds, whole
// minutes, hours or days.
class HistoryChart final : public QChartView {
    Q_OBJECT
public:
    explicit HistoryChart(QWidget* parent = nullptr);
    void setHistory(const HostHistory& h);
    // No axes, no lines: only the text, until the next setHistory().
    void showMessage(const QString& text);
    // The time axis's range, for tests.
    std::pair<QDateTime, QDateTime> visibleRange() const;
    void resetZoom();

protected:
    void wheelEvent(QWheelEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void zoomAround(double factor, double atX);
    void setTimeRange(qint64 fromMs, qint64 toMs);
    // The time axis's marks for the stretch it shows now.
    void markTime();
    // Puts the points of the visible stretch on the series, at most a few a pixel column.
    void showVisible();

    QLineSeries* m_replies = nullptr;
    QLineSeries* m_hourly = nullptr;
    QScatterSeries* m_failed = nullptr;
    QLineSeries* m_bandTop = nullptr;
    QAreaSeries* m_bands = nullptr;
    QCategoryAxis* m_time = nullptr;
    QValueAxis* m_ms = nullptr;
    qint64 m_from = 0, m_to = 0;       // the whole period, ms since the epoch
    std::vector<ReplyPoint> m_points;  // all of them, in time order
    bool m_dragging = false;
    QPointF m_dragFrom;
};

}  // namespace sentrok
