#include "ui/history/historychart.h"

#include <QAreaSeries>
#include <QDateTimeAxis>
#include <QLineSeries>
#include <QMouseEvent>
#include <QScatterSeries>
#include <QValueAxis>

#include <algorithm>
#include <cmath>

namespace sentrok {

namespace {

// Bands reach far above any reply time; the plot area cuts them at its top.
constexpr double kBandTop = 1e7;
// The shortest stretch of time the axis zooms in to.
constexpr qint64 kMinSpanMs = 60'000;

}  // namespace

HistoryChart::HistoryChart(QWidget* parent) : QChartView(parent)
{
    setObjectName(QStringLiteral("chtReply"));
    setRenderHint(QPainter::Antialiasing);
    auto* chart = new QChart;
    chart->legend()->setAlignment(Qt::AlignBottom);
    chart->setMargins(QMargins(4, 4, 4, 4));
    setChart(chart);

    m_bandTop = new QLineSeries(this);
    m_bands = new QAreaSeries(m_bandTop);
    m_bands->setName(QStringLiteral("Обрывы"));
    m_bands->setColor(QColor(220, 40, 40, 60));
    m_bands->setBorderColor(QColor(220, 40, 40, 120));
    m_hourly = new QLineSeries;
    m_hourly->setName(QStringLiteral("Среднее за час"));
    m_hourly->setPen(QPen(QColor(120, 120, 200), 1.5, Qt::DashLine));
    m_replies = new QLineSeries;
    m_replies->setName(QStringLiteral("Время ответа, мс"));
    m_replies->setPen(QPen(QColor(30, 90, 180), 1.2));
    m_failed = new QScatterSeries;
    m_failed->setName(QStringLiteral("Неудачные проверки"));
    m_failed->setMarkerShape(QScatterSeries::MarkerShapeRectangle);
    m_failed->setMarkerSize(5);
    m_failed->setColor(QColor(200, 0, 0));
    m_failed->setBorderColor(QColor(200, 0, 0));

    m_time = new QDateTimeAxis;
    m_time->setFormat(QStringLiteral("dd.MM HH:mm"));
    m_time->setTickCount(7);
    m_ms = new QValueAxis;
    m_ms->setTitleText(QStringLiteral("мс"));
    m_ms->setLabelFormat(QStringLiteral("%d"));
    chart->addAxis(m_time, Qt::AlignBottom);
    chart->addAxis(m_ms, Qt::AlignLeft);
    for (QAbstractSeries* s : std::initializer_list<QAbstractSeries*>{m_bands, m_hourly, m_replies, m_failed}) {
        chart->addSeries(s);
        s->attachAxis(m_time);
        s->attachAxis(m_ms);
    }
}

void HistoryChart::setHistory(const HostHistory& h)
{
    const HostFigures& f = h.figures;
    m_from = f.from.isValid() && f.periodSecs ? f.from.toMSecsSinceEpoch() : 0;
    m_to = f.to.toMSecsSinceEpoch();
    if (!m_from) m_from = m_to - 86'400'000;
    m_points = h.points;
    QList<QPointF> bands;
    qint64 top = 0;
    for (const ReplyPoint& p : h.points) top = std::max(top, p.reply);
    // One area for every outage: a step up at its start and down at its end.
    bands << QPointF(double(m_from), 0);
    for (const Outage& o : f.outageList) {
        const double a = double(o.startMs);
        const double b = double(o.open() ? m_to : o.endMs);
        bands << QPointF(a, 0) << QPointF(a, kBandTop) << QPointF(std::max(a + 1000, b), kBandTop)
              << QPointF(std::max(a + 1000, b), 0);
    }
    bands << QPointF(double(m_to), 0);
    m_bandTop->replace(bands);
    m_ms->setRange(0, std::max<double>(10, double(top) * 1.1));
    resetZoom();
}

void HistoryChart::resetZoom()
{
    m_time->setRange(QDateTime::fromMSecsSinceEpoch(m_from), QDateTime::fromMSecsSinceEpoch(m_to));
    showVisible();
}

// A month of checks is tens of thousands of points, far more than the chart has pixels: each
// pixel column keeps its lowest and highest reply and its first failure, which draws the same
// picture at a fraction of the cost, and a zoom brings the detail back.
void HistoryChart::showVisible()
{
    const qint64 lo = m_time->min().toMSecsSinceEpoch(), hi = m_time->max().toMSecsSinceEpoch();
    const double columns = std::max(200.0, chart()->plotArea().width());
    const double width = std::max(1.0, double(hi - lo) / columns);
    QList<QPointF> replies, hourly, failed;
    const auto first = std::lower_bound(m_points.begin(), m_points.end(), lo,
                                        [](const ReplyPoint& p, qint64 t) { return p.msecs < t; });
    auto it = first == m_points.begin() ? first : first - 1;  // the line enters from the left edge
    while (it != m_points.end()) {
        const qint64 column = qint64(double(it->msecs - lo) / width);
        const ReplyPoint *low = nullptr, *high = nullptr, *fail = nullptr;
        bool hourlyColumn = it->hourly;
        for (; it != m_points.end() && qint64(double(it->msecs - lo) / width) == column; ++it) {
            if (it->reply < 0) {
                if (!fail) fail = &*it;
                continue;
            }
            if (!low || it->reply < low->reply) low = &*it;
            if (!high || it->reply > high->reply) high = &*it;
        }
        QList<QPointF>& line = hourlyColumn ? hourly : replies;
        if (low && high && low->msecs > high->msecs) std::swap(low, high);
        if (low) line << QPointF(double(low->msecs), double(low->reply));
        if (high && high != low) line << QPointF(double(high->msecs), double(high->reply));
        if (fail) failed << QPointF(double(fail->msecs), 0);
        if (it != m_points.end() && it->msecs > hi) {
            if (it->reply >= 0) (it->hourly ? hourly : replies) << QPointF(double(it->msecs), double(it->reply));
            break;
        }
    }
    m_replies->replace(replies);
    m_hourly->replace(hourly);
    m_failed->replace(failed);
    m_hourly->setVisible(!hourly.isEmpty());
}

std::pair<QDateTime, QDateTime> HistoryChart::visibleRange() const { return {m_time->min(), m_time->max()}; }

void HistoryChart::zoomAround(double factor, double atX)
{
    const QRectF plot = chart()->plotArea();
    if (plot.width() <= 0) return;
    const double lo = double(m_time->min().toMSecsSinceEpoch());
    const double hi = double(m_time->max().toMSecsSinceEpoch());
    const double share = std::clamp((atX - plot.left()) / plot.width(), 0.0, 1.0);
    const double at = lo + (hi - lo) * share;
    double span = std::clamp((hi - lo) * factor, double(kMinSpanMs), double(m_to - m_from) * 4);
    const double a = at - span * share;
    m_time->setRange(QDateTime::fromMSecsSinceEpoch(qint64(a)), QDateTime::fromMSecsSinceEpoch(qint64(a + span)));
    showVisible();
}

void HistoryChart::wheelEvent(QWheelEvent* event)
{
    const double steps = event->angleDelta().y() / 120.0;
    if (steps == 0) return;
    zoomAround(std::pow(0.8, steps), event->position().x());
    event->accept();
}

void HistoryChart::mousePressEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton) {
        m_dragging = true;
        m_dragFrom = event->position();
        setCursor(Qt::ClosedHandCursor);
        event->accept();
        return;
    }
    QChartView::mousePressEvent(event);
}

void HistoryChart::mouseMoveEvent(QMouseEvent* event)
{
    if (m_dragging) {
        const QPointF now = event->position();
        chart()->scroll(m_dragFrom.x() - now.x(), 0);
        m_dragFrom = now;
        showVisible();
        event->accept();
        return;
    }
    QChartView::mouseMoveEvent(event);
}

void HistoryChart::mouseReleaseEvent(QMouseEvent* event)
{
    if (m_dragging && event->button() == Qt::LeftButton) {
        m_dragging = false;
        unsetCursor();
        event->accept();
        return;
    }
    QChartView::mouseReleaseEvent(event);
}

void HistoryChart::mouseDoubleClickEvent(QMouseEvent* event)
{
    resetZoom();
    event->accept();
}

}  // namespace sentrok
