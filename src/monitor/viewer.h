#pragma once

#include "monitor/monitorview.h"

#include <QDateTime>
#include <QObject>
#include <QString>
#include <QTimer>

#include <functional>
#include <memory>

namespace sentrok {

class Clock;
class Database;
class Sound;

struct ViewerDeps {
    QString database;
    MonitorView* view = nullptr;
    Sound* sound = nullptr;  // may be null: no sounds
    const Clock* clock = nullptr;
    std::function<void()> getNoCon;  // refresh the outage window
};

// Follows what another process's monitoring records, for a window that does not monitor itself:
// every change of state it records becomes an event row and a sound here, in the order it was
// recorded (a host unreachable behind a down ancestor: a grey row and no sound), and its passes give the status bar's totals and countdown. New records are looked for
// every kPollMs, and at once when the server says there are some (PostgreSQL's notifications).
class Viewer : public QObject {
    Q_OBJECT
public:
    static constexpr int kPollMs = 1500;

    explicit Viewer(ViewerDeps deps, QObject* parent = nullptr);
    ~Viewer() override;

    // From the changes recorded after this moment on.
    void start();
    void stop();
    bool running() const { return m_timer.isActive(); }

    // When the last pass the other process made ended (or began, while it runs); invalid when
    // none is known.
    QDateTime lastPassTime() const { return m_lastPassTime; }

    // Looks for new records now.
    void poll();

private:
    ViewerDeps m_deps;
    std::unique_ptr<Database> m_db;
    QTimer m_timer;
    qint64 m_lastEvent = -1;  // -1: not read yet
    qint64 m_lastPass = 0;
    QDateTime m_lastPassTime;
    bool m_subscribed = false;
    QString m_lastError;
};

}  // namespace sentrok
