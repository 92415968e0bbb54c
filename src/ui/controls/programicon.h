#pragma once

#include "common/messages.h"

#include <QIcon>

namespace sentrok {

// Every size an icon is drawn in: the usual ones of title bars, trays, menus and task bars at
// 96 dpi and at 150 % and 200 %, so none is scaled and blurred.
inline constexpr int kIconSizes[] = {16, 20, 22, 24, 32, 36, 40, 48, 64, 72, 96, 128, 256};

// The program's icon: a pulse line over a dark screen.
QIcon programIcon();
// The outage window's icon: the same screen with the pulse broken in red.
QIcon outageIcon();
// The administration window's icon: the screen with a list of hosts.
QIcon adminIcon();

// The sign of a message box (question, exclamation, stop), drawn for `size` pixels of the
// screen whose pixel ratio is `dpr`: the style's own signs are small pictures that blur when
// the desktop is scaled.
QPixmap messageSignPixmap(MsgIcon sign, int size, qreal dpr);

enum class IconKind { Program, Outage, Admin };
// One size of an icon, for tests and for writing the artwork out.
QPixmap iconPixmap(int size, IconKind kind);

}  // namespace sentrok
