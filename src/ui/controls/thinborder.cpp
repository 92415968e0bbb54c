#include "ui/controls/thinborder.h"

#include <QAbstractButton>
#include <QFrame>
#include <QLineEdit>
#include <QPlainTextEdit>

namespace sentrok {

void SetThinBorder(QWidget* control)
{
    if (!control) return;
    if (auto* frame = qobject_cast<QFrame*>(control)) {
        frame->setFrameStyle(QFrame::Box | QFrame::Plain);
        frame->setLineWidth(1);
        QPalette p = frame->palette();
        p.setColor(QPalette::WindowText, p.color(QPalette::Mid));
        frame->setPalette(p);
        return;
    }
    if (qobject_cast<QLineEdit*>(control)) {
        control->setStyleSheet(
            QStringLiteral("QLineEdit { border: 1px solid palette(mid); padding: 0 2px; }"
                           "QLineEdit:disabled { background: palette(window); }"));
        return;
    }
    // Buttons keep the desktop's own look: a flat outline would make them read as labels.
}

}  // namespace sentrok
