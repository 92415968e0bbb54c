#pragma once

#include "store/settings.h"

#include <QMargins>
#include <QRect>

#include <functional>
#include <optional>

class QWidget;

namespace sentrok {

// The rectangle `outer` moved, and shrunk where it is larger, so that all of it lies on
// `available`.
QRect keptOnScreen(const QRect& outer, const QRect& available);

// The window manager's frame around a top-level window; empty until the window has been framed.
QMargins frameMargins(const QWidget* window);

// Keeps a top-level window whole on the available area of its screen, whatever the screen's
// size and scale: at every show, and again once the window manager has framed it, a window
// larger than that area is made smaller and moved onto it; a window whose content cannot
// shrink so far (a fixed layout, a row of controls wider than the screen) shows the content in
// a scroll area instead. Call once the window's controls are in place.
void fitToScreen(QWidget* window);

// A top-level window's position and outer size (frame included) as stored, in twips, and the
// placing of the window from them. Values of 0 or less mean "nothing stored" and leave that
// edge or size as the window defines it.
class WindowGeometry {
public:
    // The outer rectangle the window has when nothing is stored, given its frame as now known.
    using Definition = std::function<QRect(const QMargins& frame)>;

    // The normal (restored) geometry: a maximised or minimised window stores where it goes back
    // to, with the frame it has there (a window manager may drop the borders of a maximised one).
    StoredGeometry read(const QWidget* window) const;

    // Places the window from its definition and what is stored, kept on the available area of a
    // screen. The frame is known only once the window manager has framed the shown window; the
    // placing is done again then (see frameChanged).
    void restore(QWidget* window, Definition definition, const StoredGeometry& stored);

    // Call on every show and move of the window. True when the frame's size has changed since
    // the last call (rules on the outer size must run again); the first time the window is
    // framed after restore(), it is placed again with the real frame.
    bool frameChanged(QWidget* window);

private:
    void place(QWidget* window);

    Definition m_definition;
    StoredGeometry m_stored;
    bool m_pending = false;
    QMargins m_frame;
    QMargins m_normalFrame;  // the frame last seen in the normal state
};

}  // namespace sentrok
