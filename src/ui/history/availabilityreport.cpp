#include "ui/history/availabilityreport.h"

#include "common/datetext.h"
#include "ui/history/charticks.h"

#include <QFile>
#include <QPageLayout>
#include <QPainter>
#include <QPainterPath>
#include <QPdfWriter>

#include <algorithm>
#include <array>
#include <functional>

namespace sentrok {

namespace {

struct Column {
    const char* heading;
    QString (*text)(const HostFigures&);
    bool right;
};

// The first, the description, takes the width the others leave and wraps.
const Column kColumns[] = {
    {"Описание", [](const HostFigures& f) { return f.desc; }, false},
    {"IP-адрес", [](const HostFigures& f) { return f.ip; }, false},
    {"Доступность", availabilityText, true},
    {"Проверок", [](const HostFigures& f) { return QString::number(f.totals.checks); }, true},
    {"Потери", lossText, true},
    {"Обрывов", [](const HostFigures& f) { return QString::number(f.outages); }, true},
    {"Простой", downtimeText, true},
    {"Самый долгий", [](const HostFigures& f) { return durationText(f.longestSecs); }, true},
    {"Сред. ответ", meanText, true},
    {"95%", p95Text, true},
};
constexpr std::size_t kColumnCount = std::size(kColumns);
using Widths = std::array<double, kColumnCount>;

class Pager {
public:
    Pager(QPagedPaintDevice& device, QPainter& p) : m_device(device), m_p(p)
    {
        m_page = QRectF(0, 0, device.width(), device.height());
    }
    double mm(double v) const { return v * m_device.logicalDpiY() / 25.4; }
    const QRectF& page() const { return m_page; }
    double y = 0;
    // Starts a new page when `height` does not fit below y.
    bool room(double height)
    {
        if (y + height <= m_page.bottom()) return false;
        m_device.newPage();
        y = 0;
        return true;
    }

private:
    QPagedPaintDevice& m_device;
    QPainter& m_p;
    QRectF m_page;
};

// Every column as wide as its widest cell or heading, the description the rest of the page, but
// never less than a fifth of it: then the others give up their share.
Widths columnWidths(const std::vector<HostFigures>& figures, const QFontMetricsF& text,
                    const QFontMetricsF& bold, double page, double padding)
{
    Widths w{};
    for (std::size_t c = 1; c < kColumnCount; ++c) {
        w[c] = bold.horizontalAdvance(QString::fromUtf8(kColumns[c].heading));
        for (const HostFigures& f : figures)
            w[c] = std::max(w[c], text.horizontalAdvance(kColumns[c].text(f)));
        w[c] += padding;
    }
    double others = 0;
    for (std::size_t c = 1; c < kColumnCount; ++c) others += w[c];
    const double least = page / 5;
    if (page - others < least)
        for (std::size_t c = 1; c < kColumnCount; ++c) w[c] *= (page - least) / others;
    w[0] = page - std::min(others, page - least);
    return w;
}

void paintHeadings(QPainter& p, Pager& pg, const Widths& widths, double rowH)
{
    QFont bold = p.font();
    bold.setBold(true);
    p.save();
    p.setFont(bold);
    p.fillRect(QRectF(0, pg.y, pg.page().width(), rowH), QColor(225, 225, 225));
    double x = 0;
    for (std::size_t c = 0; c < kColumnCount; ++c) {
        p.drawText(QRectF(x + pg.mm(0.8), pg.y, widths[c] - pg.mm(1.6), rowH),
                   Qt::AlignVCenter | (kColumns[c].right ? Qt::AlignRight : Qt::AlignLeft),
                   QString::fromUtf8(kColumns[c].heading));
        x += widths[c];
    }
    p.restore();
    pg.y += rowH;
}

// One host's row: as high as its description needs, wrapped onto further lines.
void paintRow(QPainter& p, Pager& pg, const Widths& widths, const HostFigures& f, double rowH,
              const std::function<void()>& newPage)
{
    const QFontMetricsF metrics(p.font(), p.device());
    const double descWidth = widths[0] - pg.mm(1.6);
    const double descH =
        metrics.boundingRect(QRectF(0, 0, descWidth, 1e6), Qt::TextWordWrap, f.desc).height();
    const double h = std::max(rowH, descH + (rowH - metrics.height()));
    if (pg.room(h)) newPage();
    p.fillRect(QRectF(0, pg.y, pg.page().width(), h), tierColor(tierOf(f.availability)));
    double x = 0;
    for (std::size_t c = 0; c < kColumnCount; ++c) {
        const QRectF cell(x + pg.mm(0.8), pg.y, widths[c] - pg.mm(1.6), h);
        const int align = Qt::AlignVCenter | (kColumns[c].right ? Qt::AlignRight : Qt::AlignLeft);
        if (c == 0)
            p.drawText(cell, align | Qt::TextWordWrap, f.desc);
        else
            p.drawText(cell, align,
                       metrics.elidedText(kColumns[c].text(f), Qt::ElideRight, cell.width()));
        x += widths[c];
    }
    pg.y += h;
}

// Marks at round times under the chart, with a faint line up through it at each.
void paintTimeAxis(QPainter& p, const QRectF& box, qint64 from, qint64 to, const QFont& font)
{
    const QFontMetricsF metrics(font, p.device());
    const double label = metrics.horizontalAdvance(widestTimeLabel()) * 1.4;
    const auto xOf = [&](qint64 ms) {
        return box.left() + double(ms - from) / double(to - from) * box.width();
    };
    p.save();
    p.setFont(font);
    for (const TimeTick& t : timeTicks(from, to, std::max(2, int(box.width() / label)))) {
        const double x = xOf(t.msecs);
        p.setPen(QPen(QColor(225, 225, 225), 0));
        p.drawLine(QPointF(x, box.top()), QPointF(x, box.bottom()));
        p.setPen(QPen(QColor(120, 120, 120), 0));
        p.drawLine(QPointF(x, box.bottom()), QPointF(x, box.bottom() + metrics.height() * 0.3));
        const double w = metrics.horizontalAdvance(t.label);
        // Kept inside the chart's width where a mark is close to an edge.
        const double left = std::clamp(x - w / 2, box.left(), box.right() - w);
        p.drawText(QRectF(left, box.bottom() + metrics.height() * 0.3, w, metrics.height()),
                   Qt::AlignCenter, t.label);
    }
    p.restore();
}

void paintSmallChart(QPainter& p, const QRectF& box, const AvailabilityReport& r,
                     const HostFigures& f, const std::vector<ReplyPoint>& points,
                     const QFont& small)
{
    const double from = double(r.from.toMSecsSinceEpoch()), to = double(r.to.toMSecsSinceEpoch());
    const auto xOf = [&](double ms) {
        return box.left() + (ms - from) / (to - from) * box.width();
    };
    paintTimeAxis(p, box, r.from.toMSecsSinceEpoch(), r.to.toMSecsSinceEpoch(), small);
    p.save();
    p.setPen(QPen(QColor(160, 160, 160), 0));
    p.drawRect(box);
    p.setClipRect(box);
    for (const Outage& o : f.outageList) {
        const double a = xOf(double(o.startMs));
        const double b = xOf(double(o.open() ? r.to.toMSecsSinceEpoch() : o.endMs));
        p.fillRect(QRectF(a, box.top(), std::max(b - a, 1.0), box.height()),
                   QColor(220, 40, 40, 90));
    }
    qint64 highest = -1;
    for (const ReplyPoint& pt : points) highest = std::max(highest, pt.reply);
    const double top = valueScale(double(highest), 4).top;
    QPainterPath line;
    bool pen = false;
    for (const ReplyPoint& pt : points) {
        if (pt.reply < 0) {
            pen = false;
            continue;
        }
        const QPointF at(xOf(double(pt.msecs)),
                         box.bottom() - double(pt.reply) / top * box.height());
        if (pen)
            line.lineTo(at);
        else
            line.moveTo(at);
        pen = true;
    }
    p.setPen(QPen(QColor(30, 90, 180), 0));
    p.drawPath(line);
    p.setClipping(false);
    p.setPen(Qt::darkGray);
    p.setFont(small);
    // A host that never answered has no highest reply.
    p.drawText(box.adjusted(2, 1, -2, -1), Qt::AlignTop | Qt::AlignRight,
               QStringLiteral("макс. %1")
                   .arg(highest >= 0 ? QStringLiteral("%1 мс").arg(highest) : QStringLiteral("—")));
    p.restore();
}

}  // namespace

QString percentText(double percent, int decimals)
{
    // Never broken from its number at the end of a line.
    return QLocale().toString(percent, 'f', decimals) + QStringLiteral("\u00A0%");
}

QString availabilityText(const HostFigures& f)
{
    if (!f.availability) return QStringLiteral("нет данных");
    const QString all = percentText(*f.availability * 100.0, 3);
    // Planned work in the period: the figure agreed with the users leaves its time out.
    if (f.maintenanceSecs <= 0) return all;
    return QStringLiteral("%1 (без обслуживания %2)")
        .arg(all, f.slaAvailability ? percentText(*f.slaAvailability * 100.0, 3)
                                    : QStringLiteral("нет данных"));
}

QString downtimeText(const HostFigures& f)
{
    const QString all = durationText(f.downtimeSecs);
    return f.ancestorDownSecs ? QStringLiteral("%1 (%2)").arg(all, durationText(f.ancestorDownSecs))
                              : all;
}

QString lossText(const HostFigures& f)
{
    const auto s = f.lossShare();
    return s ? percentText(*s * 100.0, 2) : QString();
}

QString replyText(qint64 ms) { return ms < 0 ? QStringLiteral("—") : QString::number(ms); }

QString meanText(const HostFigures& f)
{
    const auto m = f.totals.mean();
    return m ? QLocale().toString(*m, 'f', 1) : QStringLiteral("—");
}

QString p95Text(const HostFigures& f)
{
    const auto p = f.totals.percentile(0.95);
    return p ? QString::number(*p) : QStringLiteral("—");
}

QColor tierColor(Tier tier)
{
    switch (tier) {
        case Tier::Best:
            return QColor(200, 240, 200);
        case Tier::Good:
            return QColor(230, 245, 190);
        case Tier::Fair:
            return QColor(255, 225, 160);
        case Tier::Poor:
            return QColor(255, 190, 190);
        case Tier::Unknown:
            break;
    }
    return QColor(245, 245, 245);
}

AvailabilityReport gatherReport(Database& db, const QDateTime& from, const QDateTime& to,
                                const QDateTime& made)
{
    AvailabilityReport r{from, to, made, availabilityOf(db, from, to), {}};
    for (const HostFigures& f : r.figures)
        if (f.outages > 0) r.hourly[f.id];
    // One pass over the period's hours for every host: far cheaper than one search a host.
    for (auto& [id, points] : hourlyMeans(db, from, to))
        if (auto it = r.hourly.find(id); it != r.hourly.end()) it->second = std::move(points);
    return r;
}

void paintReport(QPagedPaintDevice& device, const AvailabilityReport& r)
{
    QPainter p(&device);
    Pager pg(device, p);
    QFont base(QStringLiteral("DejaVu Sans"));
    base.setPointSizeF(8);
    p.setFont(base);
    const double line = QFontMetricsF(base, &device).height();

    QFont title = base;
    title.setPointSizeF(16);
    title.setBold(true);
    p.setFont(title);
    const double titleH = QFontMetricsF(title, &device).height();
    p.drawText(QRectF(0, 0, pg.page().width(), titleH), Qt::AlignLeft,
               QStringLiteral("Отчёт о доступности хостов"));
    pg.y = titleH + pg.mm(2);
    p.setFont(base);
    p.drawText(QRectF(0, pg.y, pg.page().width(), line), Qt::AlignLeft,
               QStringLiteral("Период: %1 — %2. Хостов: %3. Составлен %4.")
                   .arg(generalDateText(r.from), generalDateText(r.to))
                   .arg(r.figures.size())
                   .arg(generalDateText(r.made)));
    pg.y += line * 1.2;
    p.drawText(
        QRectF(0, pg.y, pg.page().width(), line * 2.4), Qt::AlignLeft | Qt::TextWordWrap,
        QStringLiteral(
            "Доступность = 1 − простой / период; период хоста начинается не раньше его первой "
            "проверки; простой — пересечение обрывов с периодом (открытый обрыв длится до "
            "конца периода); в скобках — его часть, пока не отвечал хост, через который "
            "этот доступен."));
    pg.y += line * 2.6;

    const double rowH = line * 1.35;
    QFont bold = base;
    bold.setBold(true);
    const Widths widths = columnWidths(r.figures, QFontMetricsF(base, &device),
                                       QFontMetricsF(bold, &device), pg.page().width(), pg.mm(2.4));
    paintHeadings(p, pg, widths, rowH);
    for (const HostFigures& f : r.figures)
        paintRow(p, pg, widths, f, rowH, [&] { paintHeadings(p, pg, widths, rowH); });

    // Each chart with its time axis's labels below it.
    QFont small = base;
    small.setPointSizeF(base.pointSizeF() * 0.8);
    const double chartH = pg.mm(22), axisH = QFontMetricsF(small, &device).height() * 1.4,
                 gap = pg.mm(3);
    bool heading = false;
    for (const HostFigures& f : r.figures) {
        const auto it = r.hourly.find(f.id);
        if (f.outages == 0 || it == r.hourly.end()) continue;
        if (!heading) {
            pg.y += gap;
            pg.room(line * 2 + chartH + axisH);
            QFont section = bold;
            section.setPointSizeF(11);
            p.setFont(section);
            p.drawText(
                QRectF(0, pg.y, pg.page().width(), line * 1.6), Qt::AlignLeft,
                QStringLiteral("Хосты с обрывами: среднее время ответа по часам, обрывы красным"));
            p.setFont(base);
            pg.y += line * 1.8;
            heading = true;
        }
        pg.room(line + chartH + axisH + gap);
        p.drawText(QRectF(0, pg.y, pg.page().width(), line), Qt::AlignLeft,
                   QStringLiteral("%1 [%2] — доступность %3, обрывов %4, простой %5")
                       .arg(f.desc, f.ip, availabilityText(f))
                       .arg(f.outages)
                       .arg(downtimeText(f)));
        pg.y += line;
        paintSmallChart(p, QRectF(0, pg.y, pg.page().width(), chartH), r, f, it->second, small);
        pg.y += chartH + axisH + gap;
    }
}

QString writeReportPdf(const QString& file, const AvailabilityReport& report)
{
    QPdfWriter writer(file);
    writer.setResolution(300);
    writer.setPageSize(QPageSize(QPageSize::A4));
    writer.setPageOrientation(QPageLayout::Landscape);
    writer.setPageMargins(QMarginsF(12, 12, 12, 12), QPageLayout::Millimeter);
    writer.setTitle(QStringLiteral("Отчёт о доступности хостов"));
    writer.setCreator(QStringLiteral("Sentrok"));
    paintReport(writer, report);
    QFile check(file);
    if (!check.exists() || check.size() == 0) return QStringLiteral("файл %1 не записан").arg(file);
    return {};
}

}  // namespace sentrok
