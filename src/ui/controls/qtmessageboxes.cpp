#include "ui/controls/qtmessageboxes.h"

#include "ui/controls/programicon.h"

#include <QAbstractButton>
#include <QGridLayout>
#include <QMessageBox>
#include <QPointer>
#include <QSpacerItem>
#include <QStyle>

namespace sentrok {

namespace {

QWidget* shownWindow(QObject* object)
{
    auto* widget = qobject_cast<QWidget*>(object);
    if (!widget) return nullptr;
    QWidget* window = widget->window();
    return window->isVisible() && !window->isMinimized() ? window : nullptr;
}

// A box is as wide as its text; the window manager then cuts a longer title ("Завершени…").
// The box is widened for the title in bold, with room for the window's icon and three buttons
// beside it, each about as wide as the title bar is high.
void keepTitleWhole(QMessageBox* box)
{
    auto* grid = qobject_cast<QGridLayout*>(box->layout());
    if (!grid) return;
    QFont font = box->font();
    font.setBold(true);
    const QFontMetrics fm(font);
    const int width = fm.horizontalAdvance(box->windowTitle()) + 4 * (fm.height() + 8) + 16;
    grid->addItem(new QSpacerItem(width, 0, QSizePolicy::Fixed, QSizePolicy::Minimum),
                  grid->rowCount(), 0, 1, grid->columnCount());
}

}  // namespace

QWidget* QtMessageBoxes::ownerFor(const Message& m) const
{
    // A hidden owner (a window loaded but not shown) cannot carry a box: the main window takes it.
    if (QWidget* w = shownWindow(m.owner)) return w;
    return shownWindow(m_main.data());
}

QMessageBox* QtMessageBoxes::makeBox(const Message& m) const
{
    auto* box = new QMessageBox(ownerFor(m));
    box->setWindowTitle(m.title);
    box->setText(m.text);
    if (m.icon != MsgIcon::None) {
        const int size = box->style()->pixelMetric(QStyle::PM_MessageBoxIconSize, nullptr, box);
        box->setIconPixmap(messageSignPixmap(m.icon, size, box->devicePixelRatio()));
    }
    if (m.buttons == MsgButtons::YesNo) {
        box->setStandardButtons(QMessageBox::Yes | QMessageBox::No);
        box->setDefaultButton(QMessageBox::Yes);
        box->setEscapeButton(QMessageBox::No);
    } else {
        box->setStandardButtons(QMessageBox::Ok);
    }
    // The style's pictures on the buttons are small ones that blur at any scale but 100 %;
    // the words say it all.
    for (QAbstractButton* button : box->buttons()) button->setIcon(QIcon());
    keepTitleWhole(box);
    return box;
}

MsgAnswer QtMessageBoxes::ask(const Message& message)
{
    // The owner may be closed while the box waits, taking its boxes along.
    const QPointer<QMessageBox> box = makeBox(message);
    const int result = box->exec();
    delete box.data();
    if (message.buttons == MsgButtons::Ok) return MsgAnswer::Ok;
    return result == QMessageBox::Yes ? MsgAnswer::Yes : MsgAnswer::No;
}

void QtMessageBoxes::tell(const Message& message) { showModeless(message); }

QMessageBox* QtMessageBoxes::showModeless(const Message& message)
{
    QMessageBox* box = makeBox(message);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setModal(false);
    box->show();
    return box;
}

std::unique_ptr<Notice> QtMessageBoxes::notice(const Message& message)
{
    // The box deletes itself when closed; the pointer then reads null.
    struct BoxNotice final : Notice {
        QPointer<QMessageBox> box;
        bool isOpen() const override { return box && box->isVisible(); }
        void setText(const QString& text) override
        {
            if (box) box->setText(text);
        }
    };
    auto n = std::make_unique<BoxNotice>();
    n->box = showModeless(message);
    return n;
}

}  // namespace sentrok
