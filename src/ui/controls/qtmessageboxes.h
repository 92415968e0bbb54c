#pragma once

#include "common/messages.h"

#include <QPointer>
#include <QWidget>

class QMessageBox;

namespace sentrok {

// The real message boxes: QMessageBox with the exact text, title, buttons and icon.
class QtMessageBoxes final : public MessageBoxes {
public:
    explicit QtMessageBoxes(QWidget* parent = nullptr) : m_parent(parent) {}
    void setParent(QWidget* parent) { m_parent = parent; }
    MsgAnswer ask(const Message& message) override;
    void tell(const Message& message) override;
    std::unique_ptr<Notice> notice(const Message& message) override;

private:
    QMessageBox* showModeless(const Message& message);
    QPointer<QWidget> m_parent;
};

}  // namespace sentrok
