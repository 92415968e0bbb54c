#pragma once

#include "store/settings.h"

#include <QSize>

#include <optional>

class QWidget;

namespace sentrok {

// A top-level window's position and outer size (frame included) as stored, in twips. Values
// of 0 or less mean "nothing stored" and leave the window as it is.
class WindowGeometry {
public:
    static StoredGeometry read(const QWidget* window);
    void apply(QWidget* window, const StoredGeometry& g);
    // The window manager tells the frame's size only once the window is shown; call this
    // after showing so a stored outer size is not taken for the inner one.
    void settle(QWidget* window);

private:
    std::optional<QSize> m_wantedOuter;
};

}  // namespace sentrok
