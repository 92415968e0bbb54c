#include "ui/controls/units.h"

#include "common/twips.h"

#include <QRect>
#include <QWidget>

namespace sentrok {

double dpiX(const QWidget* w) { return w ? w->logicalDpiX() : 96.0; }
double dpiY(const QWidget* w) { return w ? w->logicalDpiY() : 96.0; }
int pxX(const QWidget* w, double twips) { return twipsToPixels(twips, dpiX(w)); }
int pxY(const QWidget* w, double twips) { return twipsToPixels(twips, dpiY(w)); }
double twipsX(const QWidget* w, int pixels) { return pixelsToTwips(pixels, dpiX(w)); }
double twipsY(const QWidget* w, int pixels) { return pixelsToTwips(pixels, dpiY(w)); }

QRect pxRect(const QWidget* w, double left, double top, double width, double height)
{
    return QRect(pxX(w, left), pxY(w, top), pxX(w, width), pxY(w, height));
}

}  // namespace sentrok
