#pragma once

#include <QIcon>

namespace sentrok {

// The program's icon: a pulse line over a dark screen, drawn for 16, 32, 48 and 128 pixels.
QIcon programIcon();
// The outage window's icon: the same screen with the pulse broken in red.
QIcon outageIcon();
// The administration window's icon: the screen with a list of hosts.
QIcon adminIcon();

enum class IconKind { Program, Outage, Admin };
// One size of an icon, for tests and for writing the artwork out.
QPixmap iconPixmap(int size, IconKind kind);

}  // namespace sentrok
