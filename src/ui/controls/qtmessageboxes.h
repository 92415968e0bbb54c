#pragma once

#include "common/messages.h"

#include <QPointer>
#include <QWidget>

class QMessageBox;

namespace sentrok {

// The real message boxes: QMessageBox with the exact text, title, buttons and icon, centred on
// and owned by the window whose action raised it (Message::owner), so that no other window
// comes forward with it. Messages without an owner go to the main window given here.
class QtMessageBoxes final : public MessageBoxes {
public:
    explicit QtMessageBoxes(QWidget* mainWindow = nullptr) : m_main(mainWindow) {}
    void setParent(QWidget* mainWindow) { m_main = mainWindow; }
    MsgAnswer ask(const Message& message) override;
    void tell(const Message& message) override;
    std::unique_ptr<Notice> notice(const Message& message) override;

    // The window a box for this message goes over; none when no window of the program is on
    // the screen (the box is then centred on the screen).
    QWidget* ownerFor(const Message& message) const;
    // The box as it is shown, not yet shown.
    QMessageBox* makeBox(const Message& message) const;

private:
    QMessageBox* showModeless(const Message& message);
    QPointer<QWidget> m_main;
};

}  // namespace sentrok
