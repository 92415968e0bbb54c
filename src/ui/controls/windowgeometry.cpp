#include "ui/controls/windowgeometry.h"

#include "ui/controls/units.h"

#include <QTimer>
#include <QWidget>

namespace sentrok {

StoredGeometry WindowGeometry::read(const QWidget* w)
{
    const QRect f = w->frameGeometry();
    return {twipsY(w, f.y()), twipsX(w, f.x()), twipsX(w, f.width()), twipsY(w, f.height())};
}

void WindowGeometry::apply(QWidget* w, const StoredGeometry& g)
{
    QPoint pos = w->pos();
    if (g.top > 0) pos.setY(pxY(w, g.top));
    if (g.left > 0) pos.setX(pxX(w, g.left));
    w->move(pos);
    if (g.width <= 0 && g.height <= 0) return;
    const QSize extra = w->frameGeometry().size() - w->size();
    QSize outer = w->frameGeometry().size();
    if (g.width > 0) outer.setWidth(pxX(w, g.width));
    if (g.height > 0) outer.setHeight(pxY(w, g.height));
    w->resize(outer - extra);
    if (!w->isVisible()) m_wantedOuter = outer;
}

void WindowGeometry::settle(QWidget* w)
{
    if (!m_wantedOuter) return;
    QTimer::singleShot(200, w, [this, w] {
        if (!m_wantedOuter) return;
        const QSize extra = w->frameGeometry().size() - w->size();
        if (extra != QSize(0, 0)) w->resize(*m_wantedOuter - extra);
        m_wantedOuter.reset();
    });
}

}  // namespace sentrok
