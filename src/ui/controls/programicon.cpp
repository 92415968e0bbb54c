#include "ui/controls/programicon.h"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

namespace sentrok {

QPixmap iconPixmap(int size, IconKind kind)
{
    const bool outage = kind == IconKind::Outage;
    QPixmap pm(size, size);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    const qreal s = size;
    // The screen: a rounded square, lighter at the top.
    const QRectF screen(s * 0.04, s * 0.04, s * 0.92, s * 0.92);
    QLinearGradient bg(screen.topLeft(), screen.bottomLeft());
    bg.setColorAt(0, QColor(0x23, 0x3a, 0x5e));
    bg.setColorAt(1, QColor(0x0d, 0x1a, 0x2e));
    p.setPen(QPen(QColor(0x9a, 0xb4, 0xd8), qMax(1.0, s / 32)));
    p.setBrush(bg);
    p.drawRoundedRect(screen, s * 0.18, s * 0.18);

    if (kind == IconKind::Admin) {
        // Three list lines, each with a status dot.
        p.setPen(Qt::NoPen);
        const QColor dots[] = {QColor(0x4c, 0xe0, 0x6a), QColor(0xff, 0x4a, 0x3d),
                               QColor(0x4c, 0xe0, 0x6a)};
        for (int i = 0; i < 3; ++i) {
            const qreal y = s * (0.28 + 0.22 * i);
            p.setBrush(dots[i]);
            p.drawEllipse(QPointF(s * 0.27, y), s * 0.07, s * 0.07);
            p.setBrush(QColor(0xdc, 0xe6, 0xf4));
            p.drawRoundedRect(QRectF(s * 0.40, y - s * 0.045, s * 0.42, s * 0.09), s * 0.03,
                              s * 0.03);
        }
        return pm;
    }
    // The pulse: flat, one beat, flat again; an outage cuts it off after the beat.
    const qreal y = s * 0.56;
    QPainterPath pulse;
    pulse.moveTo(s * 0.12, y);
    pulse.lineTo(s * 0.34, y);
    pulse.lineTo(s * 0.44, s * 0.24);
    pulse.lineTo(s * 0.56, s * 0.78);
    pulse.lineTo(s * 0.64, y);
    if (!outage) pulse.lineTo(s * 0.88, y);
    const QColor beat = outage ? QColor(0xff, 0x4a, 0x3d) : QColor(0x4c, 0xe0, 0x6a);
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(beat, qMax(1.5, s / 11), Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.drawPath(pulse);
    if (outage) {
        // A red dot where the line should have gone on.
        const qreal r = s * 0.09;
        p.setPen(Qt::NoPen);
        p.setBrush(beat);
        p.drawEllipse(QPointF(s * 0.8, y), r, r);
    }
    return pm;
}

namespace {

// A disc lighter at the top, with a darker rim.
void drawDisc(QPainter& p, const QRectF& box, const QColor& top, const QColor& bottom,
              const QColor& rim)
{
    QLinearGradient g(box.topLeft(), box.bottomLeft());
    g.setColorAt(0, top);
    g.setColorAt(1, bottom);
    p.setPen(QPen(rim, qMax(1.0, box.width() / 28)));
    p.setBrush(g);
    p.drawEllipse(box);
}

}  // namespace

QPixmap messageSignPixmap(MsgIcon sign, int size, qreal dpr)
{
    QPixmap pm(QSize(size, size) * dpr);
    pm.setDevicePixelRatio(dpr);
    pm.fill(Qt::transparent);
    if (sign == MsgIcon::None) return pm;
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    const qreal s = size;
    const QRectF box(s * 0.06, s * 0.06, s * 0.88, s * 0.88);
    QFont font;
    font.setBold(true);
    font.setPixelSize(int(s * 0.62));
    p.setFont(font);
    switch (sign) {
        case MsgIcon::Question: {
            drawDisc(p, box, QColor(0x4a, 0x8d, 0xe8), QColor(0x1c, 0x4f, 0xa8),
                     QColor(0x15, 0x3c, 0x80));
            p.setPen(Qt::white);
            p.drawText(box, Qt::AlignCenter, QStringLiteral("?"));
            break;
        }
        case MsgIcon::Exclamation: {
            QPainterPath triangle;
            triangle.moveTo(s * 0.5, s * 0.07);
            triangle.lineTo(s * 0.95, s * 0.9);
            triangle.lineTo(s * 0.05, s * 0.9);
            triangle.closeSubpath();
            QLinearGradient g(QPointF(0, s * 0.07), QPointF(0, s * 0.9));
            g.setColorAt(0, QColor(0xff, 0xdc, 0x3c));
            g.setColorAt(1, QColor(0xf0, 0xb0, 0x00));
            p.setPen(QPen(QColor(0x8a, 0x62, 0x00), qMax(1.0, s / 24), Qt::SolidLine, Qt::RoundCap,
                          Qt::RoundJoin));
            p.setBrush(g);
            p.drawPath(triangle);
            p.setPen(Qt::black);
            p.drawText(QRectF(0, s * 0.28, s, s * 0.62), Qt::AlignCenter, QStringLiteral("!"));
            break;
        }
        case MsgIcon::Stop: {
            drawDisc(p, box, QColor(0xf0, 0x4c, 0x3c), QColor(0xb8, 0x1c, 0x12),
                     QColor(0x80, 0x10, 0x0a));
            p.setPen(QPen(Qt::white, s * 0.11, Qt::SolidLine, Qt::RoundCap));
            p.drawLine(QPointF(s * 0.34, s * 0.34), QPointF(s * 0.66, s * 0.66));
            p.drawLine(QPointF(s * 0.66, s * 0.34), QPointF(s * 0.34, s * 0.66));
            break;
        }
        case MsgIcon::None:
            break;
    }
    return pm;
}

namespace {

QIcon makeIcon(IconKind kind)
{
    QIcon icon;
    for (int size : kIconSizes) icon.addPixmap(iconPixmap(size, kind));
    return icon;
}

}  // namespace

QIcon programIcon()
{
    static const QIcon icon = makeIcon(IconKind::Program);
    return icon;
}

QIcon outageIcon()
{
    static const QIcon icon = makeIcon(IconKind::Outage);
    return icon;
}

QIcon adminIcon()
{
    static const QIcon icon = makeIcon(IconKind::Admin);
    return icon;
}

}  // namespace sentrok
