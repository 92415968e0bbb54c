#include "ui/controls/windowgeometry.h"

#include "ui/controls/units.h"

#include <QApplication>
#include <QEvent>
#include <QLayout>
#include <QScreen>
#include <QScrollArea>
#include <QStyle>
#include <QVBoxLayout>
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

namespace {

// Until the window manager has framed a window its frame is unknown: a title bar about two lines
// of text high and thin borders, on the side of too much.
QMargins expectedFrame(const QWidget* w)
{
    const QMargins known = frameMargins(w);
    if (!known.isNull()) return known;
    const int border = 4, title = QFontMetrics(QApplication::font()).height() * 2;
    return {border, title, border, border};
}

// The least the window can be made: what its layout needs, or all of it when it has none.
QSize smallestSize(const QWidget* w)
{
    if (w->layout()) return w->minimumSizeHint().expandedTo(w->minimumSize());
    return w->minimumSize().isNull() ? w->size() : w->minimumSize();
}

// Moves the window's content into a scroll area that fills it.
void scrollContent(QWidget* w)
{
    auto* content = new QWidget;
    content->setObjectName(QStringLiteral("scrolledContent"));
    auto* area = new QScrollArea;
    area->setObjectName(QStringLiteral("scrollArea"));
    area->setFrameShape(QFrame::NoFrame);
    if (QLayout* layout = w->layout()) {
        content->setLayout(layout);  // takes the layout's widgets along
        area->setWidgetResizable(true);
        // The least size the old layout gave the window goes with it: scrolling needs none.
        w->setMinimumSize(0, 0);
    } else {
        // Controls placed by hand: the content keeps the size they were placed in.
        const QSize size = w->size();
        for (QWidget* child : w->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
            if (child->isWindow()) continue;
            const bool shown = !child->isHidden();
            const QRect at = child->geometry();
            child->setParent(content);
            child->setGeometry(at);
            if (shown) child->show();
        }
        content->setFixedSize(size);
        const int bar = w->style()->pixelMetric(QStyle::PM_ScrollBarExtent);
        w->setMinimumSize(0, 0);
        w->setMaximumSize(size + QSize(bar, bar));
    }
    area->setWidget(content);
    auto* layout = new QVBoxLayout(w);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(area);
    // Added while the window is being shown: shown with it, not an event later.
    area->show();
    layout->activate();
}

class ScreenFit final : public QObject {
public:
    explicit ScreenFit(QWidget* window) : QObject(window), m_window(window)
    {
        window->installEventFilter(this);
    }

    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (watched != m_window) return false;
        if (event->type() == QEvent::Show) {
            m_wanted = m_window->size();
            fit();
        } else if (event->type() == QEvent::Move && m_window->isVisible()) {
            // Framed by the window manager a moment after showing: only now are the outer size
            // and where the manager put the window known, and the size it was shown with may
            // fit after all.
            const QMargins frame = frameMargins(m_window);
            if (frame != m_frame) fit();
            if (!frame.isNull()) m_wanted = {};
        }
        return false;
    }

private:
    void fit()
    {
        QWidget* w = m_window;
        const QMargins frame = expectedFrame(w);
        m_frame = frameMargins(w);
        const QRect outer = w->frameGeometry();
        const QRect available = availableFor(w, outer);
        const QSize room = available.size().shrunkBy(frame);
        if (!m_scrolled) {
            const QSize least = smallestSize(w);
            if (least.width() > room.width() || least.height() > room.height()) {
                scrollContent(w);
                m_scrolled = true;
                m_content = least;
            }
        }
        QSize wanted = m_wanted.isValid() ? m_wanted : w->size();
        if (m_scrolled) {
            // Room beside the content for the scroll bar of the direction that scrolls, so that
            // the other one need not.
            const int bar = w->style()->pixelMetric(QStyle::PM_ScrollBarExtent);
            if (m_content.height() > room.height())
                wanted.setWidth(std::max(wanted.width(), m_content.width() + bar));
            if (m_content.width() > room.width())
                wanted.setHeight(std::max(wanted.height(), m_content.height() + bar));
        }
        const QSize size = wanted.boundedTo(room).expandedTo(w->minimumSize());
        if (size != w->size()) w->resize(size);
        // A window not framed yet goes where the window manager puts it, unless placed already.
        if (m_frame.isNull() && !w->testAttribute(Qt::WA_Moved)) return;
        const QRect kept = keptOnScreen(QRect(outer.topLeft(), size.grownBy(frame)), available);
        if (kept.topLeft() != outer.topLeft()) w->move(kept.topLeft());
    }

    QWidget* m_window;
    QMargins m_frame;
    bool m_scrolled = false;
    QSize m_content;  // the least size of the content that scrolls
    QSize m_wanted;   // the size the window was shown with, until it is framed
};

}  // namespace

void fitToScreen(QWidget* window) { new ScreenFit(window); }

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
