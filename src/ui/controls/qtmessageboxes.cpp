#include "ui/controls/qtmessageboxes.h"

#include <QMessageBox>

namespace sentrok {

namespace {

QMessageBox* makeBox(const Message& m, QWidget* parent)
{
    auto* box = new QMessageBox(parent);
    box->setWindowTitle(m.title);
    box->setText(m.text);
    switch (m.icon) {
        case MsgIcon::None: box->setIcon(QMessageBox::NoIcon); break;
        case MsgIcon::Question: box->setIcon(QMessageBox::Question); break;
        case MsgIcon::Exclamation: box->setIcon(QMessageBox::Warning); break;
        case MsgIcon::Stop: box->setIcon(QMessageBox::Critical); break;
    }
    if (m.buttons == MsgButtons::YesNo) {
        box->setStandardButtons(QMessageBox::Yes | QMessageBox::No);
        box->setDefaultButton(QMessageBox::Yes);
        box->setEscapeButton(QMessageBox::No);
    } else {
        box->setStandardButtons(QMessageBox::Ok);
    }
    return box;
}

}  // namespace

MsgAnswer QtMessageBoxes::ask(const Message& message)
{
    QMessageBox* box = makeBox(message, m_parent);
    const int result = box->exec();
    delete box;
    if (message.buttons == MsgButtons::Ok) return MsgAnswer::Ok;
    return result == QMessageBox::Yes ? MsgAnswer::Yes : MsgAnswer::No;
}

void QtMessageBoxes::tell(const Message& message) { showModeless(message); }

QMessageBox* QtMessageBoxes::showModeless(const Message& message)
{
    QMessageBox* box = makeBox(message, m_parent);
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
