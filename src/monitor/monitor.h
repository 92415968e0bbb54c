#pragma once

#include "monitor/announcement.h"
#include "monitor/confirmation.h"
#include "monitor/monitorview.h"
#include "monitor/recorder.h"
#include "probe/prober.h"

#include <QDateTime>
#include <QHash>
#include <QObject>
#include <QSet>
#include <QTimer>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace sentrok {

class Clock;

struct MonitorDeps {
    QString database{};  // the database file; the monitor has a connection of its own to it
    Prober* prober = nullptr;
    MonitorView* view = nullptr;  // the status: panels, pointer, conditions, failed checks
    const Clock* clock = nullptr;
    std::function<void()> getNoCon;  // refresh the outage window
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
// outage row, the success closes it, and each change is announced (changeAnnounced: an event row
// and a sound where the program has them) and has a line in DownList or UpList; the end of the pass
// announces all of them at once (passAnnounced: the alert mail among others). A check that cannot
// be made (a setting the probe cannot use, no ICMP socket, a database failure) is not a host that
// is down: nothing is written for it, it is reported, and the pass goes on with the next host.
//
// The database work runs on a thread of its own (Recorder), a batch of outcomes at a time, so a
// locked database or a slow disk never holds the window up: while another program holds the lock,
// outcomes wait in memory (one pass at most, as no other pass starts meanwhile) and are recorded
// in order once it is released. A database file deleted or replaced ends the pass; nothing more is
// written until a file is back at its path, and the next pass reads its hosts afresh.
//
// A host may depend on another (its parent: the router it is reached through), and that one on a
// third. Checks and records are the same for every host; only the alerting knows of parents. A
// host whose change to down is recorded while one of its ancestors is down is unreachable: a grey
// event row, no sound of its own, and in the alert its line goes two blanks in under the line of
// its nearest ancestor that is down. An ancestor is down in this pass when its check in this pass
// fails; one not checked in this pass (wait time "0", a check that could not be made) is down when
// its address had an outage open as the pass began. An ancestor later in the pass than its host
// still counts: a failed check waits to be recorded until the checks of the host's ancestors are
// in (records stay in the pass's order). A host that comes back in the same pass as an ancestor is
// listed under that ancestor's line. A circle of parents (a file edited by another tool) counts as
// no parents at all.
//
// Only one pass runs at a time: every other way of starting one does nothing meanwhile.
class Monitor : public QObject {
    Q_OBJECT
public:
    Monitor(MonitorDeps deps, std::int32_t checkInterval, QObject* parent = nullptr);
    ~Monitor() override;

    // Passes run only while this process holds the database's lease (see Lease), named `me` to
    // the others; without it the monitor waits, trying for it every kLeaseRetryMs, and the window
    // follows the process that holds it. Call before start().
    void setLeased(const QString& me);
    bool leased() const { return !m_me.isEmpty(); }
    // True when passes may run here: no lease is asked for, or it is held.
    bool active() const { return !leased() || m_held; }
    static constexpr int kLeaseRetryMs = 3000;

    // Starts Timer2, ticking every second, with LastPassTime = now.
    void start();
    // One tick: the countdown, a pass when the interval has passed, the up time.
    void Timer2_Timer();
    // "Начать проверку": a pass now, then a second refresh of the outage window. Where another
    // process monitors, that process is asked for the pass.
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
    // A change of state as it is recorded, in the pass's order.
    void changeAnnounced(const sentrok::HostChange& change);
    // The pass's changes at its end, with the alert text (every pass, those without changes too).
    void passAnnounced(const sentrok::PassReport& report);
    void passFinished();
    // The lease was taken (held) or is held by another process (`holder`, when known).
    void leaseChanged(bool held, const QString& holder);

private:
    enum class SlotState { Waiting, Probing, Probed, Sent, Recorded };
    static constexpr std::size_t kNone = std::size_t(-1);
    static constexpr std::size_t kPending = std::size_t(-2);
    struct Slot {
        HostRecord host{};
        SlotState state = SlotState::Waiting;
        bool skipped = false;  // wait time "0": not monitored
        quint64 probeId = 0;
        ProbeOutcome outcome{};
        QString result{};              // the result text recorded
        RecordResult recorded{};       // what the recording made of it
        bool notWritten = false;       // checked, but the database refused its record
        std::size_t parent = kNone;    // the slot of its parent
        std::size_t ancestor = kNone;  // a failed check: the slot of its nearest ancestor down
        QString when{};                // the stored date text of its check
        Announce announce = Announce::Nothing;  // what its check announces
    };
    struct AnnounceState {
        int failures = 0;  // in a row
        Announced state = Announced::No;
    };

    void hostsLoaded(HostsOutcome loaded);
    void tryLease();
    void leaseLost();
    void lookForRequests();
    void startProbes();
    void probeDone(std::size_t index, const ProbeOutcome& outcome);
    void sendReady();
    void batchRecorded(std::size_t from, std::size_t to, const std::vector<std::size_t>& written,
                       BatchOutcome outcome);
    void announceReady();
    void announce(const Slot& slot);
    Announce decide(const Slot& slot);
    void linkParents();
    static std::optional<bool> checkFailed(const Slot& s);
    std::optional<bool> downInPass(const Slot& s) const;
    std::size_t nearestDownAncestor(std::size_t index, bool passOver) const;
    bool changed(std::size_t index, Change change) const;
    void composeLists();
    HostRef refOf(std::size_t index) const;
    std::size_t cameBackWith(std::size_t index) const;
    PassReport report() const;
    void abandonPass(const QString& why);
    void finishPass(bool complete);
    void failCheck(const HostRecord& host, const QString& error, bool notWritten = false);
    void recordingWaits(const QString& text);

    MonitorDeps m_deps;
    std::int32_t m_checkInterval;
    QDateTime m_lastPassTime;
    QTimer m_timer;
    int m_maxInFlight = kDefaultMaxInFlight;
    std::unique_ptr<Recorder> m_recorder;
    // The lease: who this process is to the others, whether it holds it, and whether it has
    // waited for it (then the next pass follows on from the last one recorded).
    QString m_me;
    bool m_held = false;
    bool m_waited = false;
    QString m_holder;
    QTimer m_leaseTimer;
    // Requests for a pass up to this one are answered by a pass run or running here.
    qint64 m_answeredRequest = 0;
    bool m_askingRequests = false;

    // The running pass.
    bool m_running = false;
    bool m_batchInFlight = false;
    bool m_announceQueued = false;  // a later slice of announcing is due
    bool m_turnStarted = false;     // announcing has begun in this turn of the event loop
    qint64 m_turnSpentNs = 0;       // time spent announcing in this turn
    std::vector<Slot> m_slots;
    std::size_t m_nextToStart = 0, m_nextToSend = 0, m_nextToRecord = 0;
    int m_inFlight = 0;
    qint64 m_processed = 0, m_failedCount = 0;
    std::function<void()> m_after;
    QString m_downList, m_upList;
    std::vector<HostChange> m_changes;               // announced in this pass
    QHash<QString, AnnounceState> m_announceStates;  // by address, in this pass
    // Standard error gets the first of a repeated failure, then a count per pass.
    QSet<QString> m_toldFailures;
    QString m_loadError;  // the host list could not be read, told once
    QHash<QString, int> m_repeatedFailures;
};

}  // namespace sentrok
