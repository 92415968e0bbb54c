#pragma once

#include <QPointer>
#include <QWidget>

namespace sentrok {

// Shows the busy pointer over one window for the life of the guard.
class BusyPointer {
public:
    explicit BusyPointer(QWidget* window) : m_window(window)
    {
        if (m_window) m_window->setCursor(Qt::WaitCursor);
    }
    ~BusyPointer()
    {
        if (m_window) m_window->unsetCursor();
    }
    BusyPointer(const BusyPointer&) = delete;
    BusyPointer& operator=(const BusyPointer&) = delete;

private:
    QPointer<QWidget> m_window;
};

}  // namespace sentrok
