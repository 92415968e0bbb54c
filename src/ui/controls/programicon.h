#pragma once

#include <QIcon>

namespace sentrok {

// The program's icon: a pulse line over a dark screen, drawn for 16, 32, 48 and 128 pixels.
QIcon programIcon();
// The outage window's icon: the same screen with the pulse broken in red.
QIcon outageIcon();
// One size of either, for tests and for writing the artwork out.
QPixmap iconPixmap(int size, bool outage);

}  // namespace sentrok
