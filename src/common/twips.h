#pragma once

#include <cmath>

namespace sentrok {

// Stored window positions, sizes and column widths are in twips (1/1440 inch).
constexpr double kTwipsPerInch = 1440.0;

inline int twipsToPixels(double twips, double dpi = 96.0)
{
    return int(std::lround(twips * dpi / kTwipsPerInch));
}

inline double pixelsToTwips(int pixels, double dpi = 96.0)
{
    return std::round(pixels * kTwipsPerInch / dpi);
}

}  // namespace sentrok
