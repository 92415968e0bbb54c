#include "ui/admin/wrapbutton.h"

#include <QStyleOptionButton>
#include <QStylePainter>

namespace sentrok {

QRect WrapButton::captionRect() const
{
    // The style's content rectangle leaves too little of a small button for two lines of text:
    // keep just clear of the bevel instead.
    return rect().adjusted(3, 1, -3, -1);
}

void WrapButton::paintEvent(QPaintEvent*)
{
    QStylePainter p(this);
    QStyleOptionButton option;
    initStyleOption(&option);
    const QString caption = option.text;
    option.text.clear();
    p.drawControl(QStyle::CE_PushButton, option);
    QRect r = captionRect();
    if (isDown() || isChecked())
        r.translate(style()->pixelMetric(QStyle::PM_ButtonShiftHorizontal, &option, this),
                    style()->pixelMetric(QStyle::PM_ButtonShiftVertical, &option, this));
    style()->drawItemText(&p, r, kCaptionFlags, option.palette, isEnabled(), caption,
                          QPalette::ButtonText);
}

}  // namespace sentrok
