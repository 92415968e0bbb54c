#pragma once

#include <QObject>

class QSocketNotifier;

namespace sentrok {

// SIGTERM (logout, kill) and SIGINT (Ctrl+C) brought into the event loop, so the program can
// end as a confirmed close does instead of dying with its settings unsaved and its lock file
// left behind. The handler only writes the signal's number into a socket pair; everything
// else runs in `received`, on the thread that made this object. Once caught, a signal gets
// its default action back: a second one ends a program that hangs on its way out.
class TerminationSignals final : public QObject {
    Q_OBJECT
public:
    explicit TerminationSignals(QObject* parent = nullptr);
    ~TerminationSignals() override;
    // False when the socket pair could not be made; the signals then keep their default.
    bool active() const { return m_notifier != nullptr; }

signals:
    void received(int signal);

private:
    static void handle(int signal);
    void drain();

    QSocketNotifier* m_notifier = nullptr;
};

}  // namespace sentrok
