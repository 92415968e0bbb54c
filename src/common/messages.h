#pragma once

#include <QString>

class QObject;

namespace sentrok {

// Title of message boxes that have none of their own.
inline const QString kAppTitle = QStringLiteral("sentrok");

enum class MsgButtons { Ok, YesNo };
enum class MsgIcon { None, Question, Exclamation, Stop };
enum class MsgAnswer { Ok, Yes, No };

struct Message {
    QString text;
    QString title = kAppTitle;
    MsgButtons buttons = MsgButtons::Ok;
    MsgIcon icon = MsgIcon::None;
    // The window whose action raised the message: the box is centred on it and belongs to it.
    // None: the program's main window.
    QObject* owner = nullptr;
};

// Every message box of the program goes through here, so tests can read what was asked and
// give the answer.
class MessageBoxes {
public:
    virtual ~MessageBoxes() = default;
    // Modal: returns the button pressed.
    virtual MsgAnswer ask(const Message& message) = 0;
    // Non-modal: shows the message and returns at once. For notices that need no answer and
    // arrive from network or timer handlers, where a nested event loop would be a hazard.
    virtual void tell(const Message& message) = 0;
};

}  // namespace sentrok
