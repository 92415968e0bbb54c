#pragma once

class QWidget;

namespace sentrok {

// Replaces a control's sunken edge by a thin flat one.
void SetThinBorder(QWidget* control);

}  // namespace sentrok
