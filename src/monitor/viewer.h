#pragma once

#include "monitor/announcement.h"
#include "monitor/monitorview.h"
#include "store/passes.h"

#include <QDateTime>
#include <QObject>
#include <QString>
#include <QTimer>

#include <functional>
#include <map>
#include <memory>
#include <vector>

namespace sentrok {

class Clock;
class Database;
class HostTree;

struct ViewerDeps {
    QString database{};
    MonitorView* view = nullptr;  // the status bar's totals
    const Clock* clock = nullptr;
    std::function<void()> getNoCon;  // refresh the outage window
};

// Follows what another process's monitoring records, for a window that does not monitor itself:
// every change of state it records is announced here as the monitor announces it (an event row and
// a sound where the program has them; a host unreachable behind a down ancestor: a grey row and no
// sound), in the order it was recorded, and each pass that ends is announced with its changes and
// the alert text its mail had, and gives the status bar's totals and countdown. New records are
// looked for every kPollMs, and at once when the server says there are some (PostgreSQL's
// notifications).
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

signals:
    // As Monitor's: a change as the other process recorded it, and each of its passes once it ends.
    void changeAnnounced(const sentrok::HostChange& change);
    void passAnnounced(const sentrok::PassReport& report);

private:
    HostChange changeOf(const EventRow& e) const;
    void passEnded(const LastPass& pass);
    PassReport reportOf(const std::vector<EventRow>& events) const;

    ViewerDeps m_deps;
    std::unique_ptr<Database> m_db;
    QTimer m_timer;
    qint64 m_lastEvent = -1;  // -1: not read yet
    qint64 m_lastPass = 0;
    QDateTime m_lastPassTime;
    bool m_subscribed = false;
    QString m_lastError;
    std::map<qint64, std::vector<EventRow>> m_passes;  // the changes of passes not yet ended
};

}  // namespace sentrok
