#pragma once

class QApplication;

namespace sentrok {

// What the desktop sees of the program: its name, with no display name that the window system
// would add to every caption; its desktop entry (sentrok.desktop) and icon; Qt's own texts in
// Russian.
void prepareApplication(QApplication& app);

}  // namespace sentrok
