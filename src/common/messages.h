#pragma once

#include <QString>

#include <memory>

class QObject;

namespace sentrok {

// Title of message boxes that have none of their own.
inline const QString kAppTitle = QStringLiteral("sentrok");

enum class MsgButtons { Ok, YesNo };
enum class MsgIcon { None, Question, Exclamation, Stop };
enum class MsgAnswer { Ok, Yes, No };

struct Message {
    QString text{};
    QString title = kAppTitle;
    MsgButtons buttons = MsgButtons::Ok;
    MsgIcon icon = MsgIcon::None;
    // The window whose action raised the message: the box is centred on it and belongs to it.
    // None: the program's main window.
    QObject* owner = nullptr;
};

// A non-modal box that its caller may still change while the user has it open.
class Notice {
public:
    virtual ~Notice() = default;
    // False once the user has closed it.
    virtual bool isOpen() const = 0;
    virtual void setText(const QString& text) = 0;
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
    // Non-modal like tell(), and the caller may change the box's text while it stays open:
    // a failure that repeats can update one box instead of piling up new ones. Where boxes
    // cannot be changed, every call is a tell() and the notice is closed at once.
    virtual std::unique_ptr<Notice> notice(const Message& message);
};

inline std::unique_ptr<Notice> MessageBoxes::notice(const Message& message)
{
    struct Told final : Notice {
        bool isOpen() const override { return false; }
        void setText(const QString&) override {}
    };
    tell(message);
    return std::make_unique<Told>();
}

}  // namespace sentrok
