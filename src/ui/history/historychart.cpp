#include "ui/history/historychart.h"

#include "ui/history/charticks.h"

#include <QAreaSeries>
#include <QCategoryAxis>
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

    // Marks at round times, which a date-time axis cannot give: it divides its range evenly.
    m_time = new QCategoryAxis;
    m_time->setLabelsPosition(QCategoryAxis::AxisLabelsPositionOnValue);
    m_ms = new QValueAxis;
    m_ms->setTitleText(QStringLiteral("мс"));
    m_ms->setLabelFormat(QStringLiteral("%d"));
    chart->addAxis(m_time, Qt::AlignBottom);
    chart->addAxis(m_ms, Qt::AlignLeft);
    for (QAbstractSeries* s :
         std::initializer_list<QAbstractSeries*>{m_bands, m_hourly, m_replies, m_failed}) {
        chart->addSeries(s);
        s->attachAxis(m_time);
        s->attachAxis(m_ms);
    }
    connect(m_time, &QValueAxis::rangeChanged, this, [this] { markTime(); });
    showMessage({});
}

void HistoryChart::showMessage(const QString& text)
{
    for (QXYSeries* s : std::initializer_list<QXYSeries*>{m_replies, m_hourly, m_failed, m_bandTop})
        s->clear();
    m_points.clear();
    m_from = m_to = 0;
    m_time->setVisible(false);
    m_ms->setVisible(false);
    chart()->legend()->setVisible(false);
    chart()->setTitle(text);
}

void HistoryChart::setHistory(const HostHistory& h)
{
    const HostFigures& f = h.figures;
    if (h.points.empty() && f.outageList.empty()) {
        showMessage(QStringLiteral("Нет проверок за этот период"));
        return;
    }
    chart()->setTitle({});
    m_time->setVisible(true);
    m_ms->setVisible(true);
    chart()->legend()->setVisible(true);
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
    // A little room above the highest reply; a host answering in a millisecond still gets a
    // scale of whole milliseconds.
    const ValueScale scale = valueScale(std::max(5.0, double(top) * 1.05), 5);
    m_ms->setRange(0, scale.top);
    m_ms->setTickCount(scale.intervals() + 1);
    resetZoom();
}

void HistoryChart::resetZoom() { setTimeRange(m_from, m_to); }

void HistoryChart::setTimeRange(qint64 fromMs, qint64 toMs)
{
    m_time->setRange(double(fromMs), double(toMs));
    showVisible();
}

void HistoryChart::markTime()
{
    for (const QString& label : m_time->categoriesLabels()) m_time->remove(label);
    const qint64 lo = qint64(m_time->min()), hi = qint64(m_time->max());
    m_time->setStartValue(double(lo));
    // As many marks as their labels leave room for, with a gap of a third of a label between.
    const QFontMetrics metrics(m_time->labelsFont());
    const double label = metrics.horizontalAdvance(widestTimeLabel()) * 1.33;
    const double width =
        chart()->plotArea().width() > 0 ? chart()->plotArea().width() : viewport()->width() * 0.85;
    for (const TimeTick& t : timeTicks(lo, hi, std::clamp(int(width / label), 2, 12)))
        m_time->append(t.label, double(t.msecs));
}

// A month of checks is tens of thousands of points, far more than the chart has pixels: each
// pixel column keeps its lowest and highest reply and its first failure, which draws the same
// picture at a fraction of the cost, and a zoom brings the detail back.
void HistoryChart::showVisible()
{
    const qint64 lo = qint64(m_time->min()), hi = qint64(m_time->max());
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
            if (it->reply >= 0)
                (it->hourly ? hourly : replies) << QPointF(double(it->msecs), double(it->reply));
            break;
        }
    }
    m_replies->replace(replies);
    m_hourly->replace(hourly);
    m_failed->replace(failed);
    m_hourly->setVisible(!hourly.isEmpty());
}

std::pair<QDateTime, QDateTime> HistoryChart::visibleRange() const
{
    return {QDateTime::fromMSecsSinceEpoch(qint64(m_time->min())),
            QDateTime::fromMSecsSinceEpoch(qint64(m_time->max()))};
}

void HistoryChart::zoomAround(double factor, double atX)
{
    const QRectF plot = chart()->plotArea();
    if (plot.width() <= 0 || m_to <= m_from) return;
    const double lo = m_time->min(), hi = m_time->max();
    const double share = std::clamp((atX - plot.left()) / plot.width(), 0.0, 1.0);
    const double at = lo + (hi - lo) * share;
    // A period shorter than the closest zoom is never zoomed in further.
    const double widest = std::max(double(kMinSpanMs), double(m_to - m_from) * 4);
    const double span = std::clamp((hi - lo) * factor, double(kMinSpanMs), widest);
    const double a = at - span * share;
    setTimeRange(qint64(a), qint64(a + span));
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
    if (m_to > m_from) resetZoom();
    event->accept();
}

void HistoryChart::resizeEvent(QResizeEvent* event)
{
    QChartView::resizeEvent(event);
    if (m_time->isVisible()) markTime();
}

}  // namespace sentrok
