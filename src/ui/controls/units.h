#pragma once

class QWidget;
class QRect;

namespace sentrok {

// Twips <-> pixels at the logical density of the screen the widget is on.
double dpiX(const QWidget* w);
double dpiY(const QWidget* w);
int pxX(const QWidget* w, double twips);
int pxY(const QWidget* w, double twips);
double twipsX(const QWidget* w, int pixels);
double twipsY(const QWidget* w, int pixels);
// A rectangle given in twips (left, top, width, height) in pixels.
QRect pxRect(const QWidget* w, double left, double top, double width, double height);

}  // namespace sentrok
