#include "ui/controls/windowgeometry.h"

#include "ui/controls/units.h"

#include <QGuiApplication>
#include <QScreen>
#include <QWidget>

#include <algorithm>

namespace sentrok {

namespace {

// The available area of the screen that shows most of `outer`; where no screen shows any of it
// (a monitor since removed), that of the window's own screen.
QRect availableFor(const QWidget* window, const QRect& outer)
{
    QRect best;
    qint64 bestArea = 0;
    for (const QScreen* s : QGuiApplication::screens()) {
        const QRect common = s->availableGeometry().intersected(outer);
        const qint64 area = qint64(common.width()) * common.height();
        if (area > bestArea) {
            bestArea = area;
            best = s->availableGeometry();
        }
    }
    if (bestArea > 0) return best;
    if (const QScreen* s = window->screen()) return s->availableGeometry();
    if (const QScreen* s = QGuiApplication::primaryScreen()) return s->availableGeometry();
    return outer;
}

}  // namespace

QRect keptOnScreen(const QRect& outer, const QRect& available)
{
    if (available.isEmpty()) return outer;
    QRect r(outer.topLeft(), outer.size().boundedTo(available.size()));
    r.moveLeft(std::clamp(r.left(), available.left(), available.right() - r.width() + 1));
    r.moveTop(std::clamp(r.top(), available.top(), available.bottom() - r.height() + 1));
    return r;
}

QMargins frameMargins(const QWidget* window)
{
    const QRect outer = window->frameGeometry(), inner = window->geometry();
    return {inner.left() - outer.left(), inner.top() - outer.top(), outer.right() - inner.right(),
            outer.bottom() - inner.bottom()};
}

namespace {

bool inNormalState(const QWidget* w)
{
    return !(w->windowState() & (Qt::WindowMaximized | Qt::WindowFullScreen | Qt::WindowMinimized));
}

}  // namespace

StoredGeometry WindowGeometry::read(const QWidget* w) const
{
    QRect f = w->frameGeometry();
    // A maximised window reports the screen; what the user gets back is its normal geometry.
    if (!inNormalState(w)) {
        const QMargins frame = m_normalFrame.isNull() ? frameMargins(w) : m_normalFrame;
        if (const QRect normal = w->normalGeometry(); normal.isValid())
            f = normal.marginsAdded(frame);
    }
    return {twipsY(w, f.y()), twipsX(w, f.x()), twipsX(w, f.width()), twipsY(w, f.height())};
}

void WindowGeometry::restore(QWidget* w, Definition definition, const StoredGeometry& stored)
{
    m_definition = std::move(definition);
    m_stored = stored;
    m_pending = true;
    place(w);
}

void WindowGeometry::place(QWidget* w)
{
    const QMargins frame = frameMargins(w);
    QRect outer = m_definition(frame);
    if (m_stored.left > 0) outer.moveLeft(pxX(w, m_stored.left));
    if (m_stored.top > 0) outer.moveTop(pxY(w, m_stored.top));
    if (m_stored.width > 0) outer.setWidth(pxX(w, m_stored.width));
    if (m_stored.height > 0) outer.setHeight(pxY(w, m_stored.height));
    outer = keptOnScreen(outer, availableFor(w, outer));
    w->resize(outer.size().shrunkBy(frame));
    w->move(outer.topLeft());  // a top-level window's position is that of its frame
    m_frame = frame;
}

bool WindowGeometry::frameChanged(QWidget* w)
{
    if (!w->isVisible()) return false;
    const QMargins frame = frameMargins(w);
    if (inNormalState(w)) m_normalFrame = frame;
    if (frame == m_frame) return false;
    if (m_pending && !frame.isNull()) {
        // Framed for the first time: the outer size is known at last.
        m_pending = false;
        place(w);
    }
    m_frame = frame;
    return true;
}

}  // namespace sentrok
