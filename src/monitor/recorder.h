#pragma once

#include "store/recording.h"

#include <QDateTime>
#include <QObject>
#include <QPointer>
#include <QString>

#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace sentrok {

class DbWorker;
class RecorderWorker;

// The outcome of a batch of checks. `gone`: the database file was deleted or replaced, nothing
// was written (its words in `goneText`).
struct BatchOutcome {
    std::vector<RecordResult> results{};  // one per check, in order, unless gone or leaseLost
    bool gone = false;
    QString goneText{};
    bool leaseLost = false;  // the lease was lost (its connection, or to another process):
                             // nothing was written
    QString leaseHolder{};   // who holds it now, when known
};

// Whether this process may run passes, and where the monitoring left off.
struct LeaseState {
    bool held = false;
    QString holder{};      // who holds it, when someone does
    QDateTime lastPass{};  // the end of the last pass recorded (its start, while unfinished)
    bool lastPassOpen = false;
    QString error{};    // the lease could not be asked for (words for the user)
    bool gone = false;  // ... because the database is out of reach
};

struct HostsOutcome {
    std::vector<HostRecord> hosts{};  // in the order of their descriptions
    QString error{};                  // not empty: the list could not be read
    bool gone = false;
    // The newest request for a pass made before the list was read: the pass answers it and every
    // one before it (0: none).
    qint64 requests = 0;
};

// The monitor's database work on a thread of its own, with a connection of its own: a database
// that another program has locked, a slow disk or a vanished file hold up recording, never the
// window.
//
// A batch is written as one transaction with a few statements whatever its size: the log rows,
// one look at the open outages of its addresses, then the outages closed and opened. Should a
// statement fail for one check's sake, the batch is written again check by check, each one a unit
// of its own, so one bad check takes no other with it. While another program holds the lock the
// batch is tried again and again; it waits in memory, and the monitor sends no other meanwhile.
class Recorder : public QObject {
    Q_OBJECT
public:
    // `database`: the database file.
    explicit Recorder(const QString& database, QObject* parent = nullptr);
    // Waits for a batch being written to be done; one still waiting for a lock is dropped.
    ~Recorder() override;

    // Every host record, ordered by description as a person reads the list, with its parent and
    // whether it was down when the pass began, and the maintenance windows lasting at `now`.
    void loadHosts(const QDateTime& now, std::function<void(HostsOutcome)> done);
    // Writes the checks of the running pass; `done` gets one result per check, in order, from
    // the event loop.
    void record(std::vector<CheckRecord> checks, std::function<void(BatchOutcome)> done);

    // The lease (see Lease): taken when free, then asked inside every transaction of the pass.
    // `me` names this process to the others.
    void acquireLease(const QString& me, std::function<void(LeaseState)> done);
    // Gives the lease back at once (waits for the recorder's thread).
    void releaseLease();
    // The pass's own record (a row of passes): who runs it and when it began, then its end and
    // totals. A pass that ends while the lease is held removes the requests it answered.
    void beginPass(const QString& me, const QString& started);
    void endPass(const QString& finished, qint64 hosts, qint64 failed);
    // Asks the process that monitors for a pass now. A request that cannot be written yet (the
    // database out of reach or locked) is tried again until it is; requests meanwhile are one.
    void requestPass(const QString& by, const QString& when);
    // The newest request waiting for a pass (0: none), or nothing when the database could not be
    // asked.
    void newestRequest(std::function<void(std::optional<qint64>)> done);

signals:
    // A batch has waited on a lock for a while (`text` says why), or the wait is over (empty).
    void waiting(const QString& text);

private:
    std::unique_ptr<DbWorker> m_thread;
    RecorderWorker* m_worker = nullptr;  // used on m_thread only, deleted as it ends
};

}  // namespace sentrok
