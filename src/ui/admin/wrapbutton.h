#pragma once

#include <QPushButton>

namespace sentrok {

// A button of fixed size whose caption wraps onto further lines when it is wider than the
// button. text() stays the caption as given; only the painting breaks it.
class WrapButton final : public QPushButton {
    Q_OBJECT
public:
    using QPushButton::QPushButton;

    // Where the caption is drawn, in the button's own coordinates.
    QRect captionRect() const;
    static constexpr int kCaptionFlags = Qt::AlignCenter | Qt::TextWordWrap | Qt::TextShowMnemonic;

protected:
    void paintEvent(QPaintEvent* event) override;
};

}  // namespace sentrok
