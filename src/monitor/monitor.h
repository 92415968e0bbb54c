#pragma once

#include "monitor/monitorview.h"
#include "probe/prober.h"

#include <QDateTime>
#include <QObject>
#include <QTimer>

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

namespace sentrok {

class Clock;
class Database;
class Sound;

struct MonitorDeps {
    Database* db = nullptr;  // the main window's connection
    Prober* prober = nullptr;
    Sound* sound = nullptr;
    MonitorView* view = nullptr;
    const Clock* clock = nullptr;
    std::function<void(const QString&)> sendAlert;  // one e-mail for the pass's changes
    std::function<void()> getNoCon;                 // refresh the outage window
};

// The monitoring passes and their timing.
//
// A pass reads every host record ordered by description and checks each one: a probe, then
// the recording of its outcome. Probes of several hosts may be in flight at once (up to the
// window set with setMaxInFlight), but outcomes are recorded strictly in the pass's order, one
// host after the other, so the database rows, event rows, sounds and alert lists are the same
// as if the hosts had been checked one by one; a host whose probe finished early waits for the
// hosts before it. After each recorded host the progress panel and LastPassTime move on.
//
// A host is down from its first failed check to its next successful one: the failure opens an
// outage row, the success closes it, and each change is announced with an event row, a sound
// and a line in DownList or UpList. A check that cannot be made (a setting the probe cannot
// use, a database failure) is abandoned and reported; the pass goes on with the next host.
//
// Only one pass runs at a time: every other way of starting one does nothing meanwhile.
class Monitor : public QObject {
    Q_OBJECT
public:
    Monitor(MonitorDeps deps, std::int32_t checkInterval, QObject* parent = nullptr);
    ~Monitor() override;

    // Starts Timer2, ticking every second, with LastPassTime = now.
    void start();
    // One tick: the countdown, a pass when the interval has passed, the up time.
    void Timer2_Timer();
    // "Начать проверку": a pass now, then a second refresh of the outage window.
    void mnuStart_Click();
    // Starts a pass; false (and nothing done) when one is running already. `after` runs when
    // the pass has finished.
    bool RunCheckPass(std::function<void()> after = {});

    bool passRunning() const { return m_running; }
    std::int32_t checkInterval() const { return m_checkInterval; }
    QDateTime lastPassTime() const { return m_lastPassTime; }
    void setLastPassTime(const QDateTime& t) { m_lastPassTime = t; }
    QString downList() const { return m_downList; }
    QString upList() const { return m_upList; }
    // How many hosts may be probed at once; 1 checks them one after the other.
    static constexpr int kDefaultMaxInFlight = 256;
    void setMaxInFlight(int n) { m_maxInFlight = n < 1 ? 1 : n; }
    int maxInFlight() const { return m_maxInFlight; }
    QTimer* timer() { return &m_timer; }

    // The alert text of a pass.
    static QString alertText(const QString& downList, const QString& upList);

signals:
    void passFinished();

private:
    struct Host {
        qint64 id = 0;
        QString ip, desc, vw, vi, vn, vl;
        QString readError;  // a field that could not be read as text
    };
    enum class SlotState { Waiting, Probing, Done };
    struct Slot {
        Host host;
        SlotState state = SlotState::Waiting;
        bool skipped = false;  // wait time "0": not monitored
        quint64 probeId = 0;
        ProbeOutcome outcome;
    };

    enum class Change { None, Down, Up };
    // A check written to the database, to be announced once its rows are committed.
    struct Recorded {
        const Host* host;
        QString result;
        bool failed;
        Change change;
    };

    void loadHosts();
    void startProbes();
    void probeDone(std::size_t index, const ProbeOutcome& outcome);
    void recordReady();
    std::optional<Recorded> CheckHost(const Slot& slot);
    void announce(const Recorded& r);
    void finishPass();
    void failCheck(const Host& host, const QString& error);

    MonitorDeps m_deps;
    std::int32_t m_checkInterval;
    QDateTime m_lastPassTime;
    QTimer m_timer;
    int m_maxInFlight = kDefaultMaxInFlight;

    // The running pass.
    bool m_running = false;
    bool m_recording = false;     // guards recordReady against re-entry
    bool m_recordQueued = false;  // a later slice of recording is due
    bool m_turnStarted = false;   // recording has begun in this turn of the event loop
    qint64 m_turnSpentNs = 0;     // time spent recording in this turn
    std::vector<Slot> m_slots;
    qint64 m_loadAfter = 0;  // the last id read
    std::size_t m_nextToStart = 0, m_nextToRecord = 0;
    int m_inFlight = 0;
    qint64 m_processed = 0, m_failedCount = 0;
    std::function<void()> m_after;
    QString m_downList, m_upList;
};

}  // namespace sentrok
