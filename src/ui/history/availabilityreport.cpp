#include "ui/history/availabilityreport.h"

#include "common/datetext.h"

#include <QPageLayout>
#include <QPainter>
#include <QPainterPath>
#include <QFile>
#include <QPdfWriter>

#include <algorithm>

namespace sentrok {

namespace {

struct Column {
    const char* heading;
    double width;  // share of the page width
    QString (*text)(const HostFigures&);
    bool right;
};

const Column kColumns[] = {
    {"Описание", 0.17, [](const HostFigures& f) { return f.desc; }, false},
    {"IP-адрес", 0.12, [](const HostFigures& f) { return f.ip; }, false},
    {"Доступность", 0.10, availabilityText, true},
    {"Проверок", 0.07, [](const HostFigures& f) { return QString::number(f.totals.checks); }, true},
    {"Потери", 0.07, lossText, true},
    {"Обрывов", 0.06, [](const HostFigures& f) { return QString::number(f.outages); }, true},
    {"Простой", 0.15, downtimeText, true},
    {"Самый долгий", 0.11, [](const HostFigures& f) { return durationText(f.longestSecs); }, true},
    {"Сред. ответ", 0.08, meanText, true},
    {"95%", 0.07, p95Text, true},
};

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

void paintHeadings(QPainter& p, Pager& pg, double rowH)
{
    QFont bold = p.font();
    bold.setBold(true);
    p.save();
    p.setFont(bold);
    p.fillRect(QRectF(0, pg.y, pg.page().width(), rowH), QColor(225, 225, 225));
    double x = 0;
    for (const Column& c : kColumns) {
        const double w = c.width * pg.page().width();
        p.drawText(QRectF(x + pg.mm(0.8), pg.y, w - pg.mm(1.6), rowH),
                   Qt::AlignVCenter | (c.right ? Qt::AlignRight : Qt::AlignLeft), QString::fromUtf8(c.heading));
        x += w;
    }
    p.restore();
    pg.y += rowH;
}

void paintSmallChart(QPainter& p, const QRectF& box, const AvailabilityReport& r, const HostFigures& f,
                     const std::vector<ReplyPoint>& points)
{
    const double from = double(r.from.toMSecsSinceEpoch()), to = double(r.to.toMSecsSinceEpoch());
    const auto xOf = [&](double ms) { return box.left() + (ms - from) / (to - from) * box.width(); };
    p.save();
    p.setPen(QPen(QColor(160, 160, 160), 0));
    p.drawRect(box);
    p.setClipRect(box);
    for (const Outage& o : f.outageList) {
        const double a = xOf(double(o.startMs));
        const double b = xOf(double(o.open() ? r.to.toMSecsSinceEpoch() : o.endMs));
        p.fillRect(QRectF(a, box.top(), std::max(b - a, 1.0), box.height()), QColor(220, 40, 40, 90));
    }
    qint64 top = 1;
    for (const ReplyPoint& pt : points) top = std::max(top, pt.reply);
    QPainterPath line;
    bool pen = false;
    for (const ReplyPoint& pt : points) {
        if (pt.reply < 0) {
            pen = false;
            continue;
        }
        const QPointF at(xOf(double(pt.msecs)), box.bottom() - double(pt.reply) / double(top) * box.height() * 0.9);
        if (pen) line.lineTo(at);
        else line.moveTo(at);
        pen = true;
    }
    p.setPen(QPen(QColor(30, 90, 180), 0));
    p.drawPath(line);
    p.setClipping(false);
    p.setPen(Qt::darkGray);
    QFont small = p.font();
    small.setPointSizeF(small.pointSizeF() * 0.8);
    p.setFont(small);
    p.drawText(box.adjusted(2, 1, -2, -1), Qt::AlignTop | Qt::AlignRight,
               QStringLiteral("макс. %1 мс").arg(top));
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
    return f.availability ? percentText(*f.availability * 100.0, 3) : QStringLiteral("нет данных");
}

QString downtimeText(const HostFigures& f)
{
    const QString all = durationText(f.downtimeSecs);
    return f.ancestorDownSecs ? QStringLiteral("%1 (%2)").arg(all, durationText(f.ancestorDownSecs)) : all;
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
    case Tier::Best: return QColor(200, 240, 200);
    case Tier::Good: return QColor(230, 245, 190);
    case Tier::Fair: return QColor(255, 225, 160);
    case Tier::Poor: return QColor(255, 190, 190);
    case Tier::Unknown: break;
    }
    return QColor(245, 245, 245);
}

AvailabilityReport gatherReport(Database& db, const QDateTime& from, const QDateTime& to, const QDateTime& made)
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
    p.drawText(QRectF(0, 0, pg.page().width(), titleH), Qt::AlignLeft, QStringLiteral("Отчёт о доступности хостов"));
    pg.y = titleH + pg.mm(2);
    p.setFont(base);
    p.drawText(QRectF(0, pg.y, pg.page().width(), line), Qt::AlignLeft,
               QStringLiteral("Период: %1 — %2. Хостов: %3. Составлен %4.")
                   .arg(generalDateText(r.from), generalDateText(r.to))
                   .arg(r.figures.size())
                   .arg(generalDateText(r.made)));
    pg.y += line * 1.2;
    p.drawText(QRectF(0, pg.y, pg.page().width(), line * 2.4), Qt::AlignLeft | Qt::TextWordWrap,
               QStringLiteral("Доступность = 1 − простой / период; период хоста начинается не раньше его первой "
                              "проверки; простой — пересечение обрывов с периодом (открытый обрыв длится до "
                              "конца периода); в скобках — его часть, пока не отвечал хост, через который "
                              "этот доступен."));
    pg.y += line * 2.6;

    const double rowH = line * 1.35;
    paintHeadings(p, pg, rowH);
    for (const HostFigures& f : r.figures) {
        if (pg.room(rowH)) paintHeadings(p, pg, rowH);
        p.fillRect(QRectF(0, pg.y, pg.page().width(), rowH), tierColor(tierOf(f.availability)));
        double x = 0;
        for (const Column& c : kColumns) {
            const double w = c.width * pg.page().width();
            const QRectF cell(x + pg.mm(0.8), pg.y, w - pg.mm(1.6), rowH);
            p.drawText(cell, Qt::AlignVCenter | (c.right ? Qt::AlignRight : Qt::AlignLeft),
                       QFontMetricsF(base, &device).elidedText(c.text(f), Qt::ElideRight, cell.width()));
            x += w;
        }
        pg.y += rowH;
    }

    const double chartH = pg.mm(22), gap = pg.mm(3);
    bool heading = false;
    for (const HostFigures& f : r.figures) {
        const auto it = r.hourly.find(f.id);
        if (f.outages == 0 || it == r.hourly.end()) continue;
        if (!heading) {
            pg.y += gap;
            pg.room(line * 2 + chartH);
            QFont bold = base;
            bold.setBold(true);
            bold.setPointSizeF(11);
            p.setFont(bold);
            p.drawText(QRectF(0, pg.y, pg.page().width(), line * 1.6), Qt::AlignLeft,
                       QStringLiteral("Хосты с обрывами: среднее время ответа по часам, обрывы красным"));
            p.setFont(base);
            pg.y += line * 1.8;
            heading = true;
        }
        pg.room(line + chartH + gap);
        p.drawText(QRectF(0, pg.y, pg.page().width(), line), Qt::AlignLeft,
                   QStringLiteral("%1 [%2] — доступность %3, обрывов %4, простой %5")
                       .arg(f.desc, f.ip, availabilityText(f))
                       .arg(f.outages)
                       .arg(downtimeText(f)));
        pg.y += line;
        paintSmallChart(p, QRectF(0, pg.y, pg.page().width(), chartH), r, f, it->second);
        pg.y += chartH + gap;
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
