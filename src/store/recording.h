#pragma once

#include <QDateTime>
#include <QString>

#include <optional>
#include <vector>

namespace sentrok {

class Database;

// One host record as a pass reads it: its texts, or why a field could not be read.
struct HostRecord {
    qint64 id = 0;
    QString ip, desc, vw, vi, vn, vl;
    QString readError{};      // a field that could not be read as text
    qint64 parent = 0;        // the host it is reached through; 0: none
    bool downBefore = false;  // its address had an outage open when the pass began
    // How far the announcement of that outage had come: failed checks since it opened, and
    // whether it was announced, or shown as under maintenance instead.
    int failuresBefore = 0;
    bool announcedBefore = false, quietBefore = false;
    int confirm = 1;                       // failed checks in a row before an outage is announced
    std::optional<QString> maintenance{};  // under maintenance as the pass began: its comment
};

enum class Change { None, Down, Up };

// One check to be written, in the pass's order. `when` is the stored date text of the check.
// `ancestor`: for a check that fails, the nearest ancestor down in this pass (0: none); a change
// to down is then recorded as unreachable.
struct CheckRecord {
    qint64 hostId = 0;
    QString ip, vw, result, when;
    qint64 ancestor = 0;
    // The change announced with it (None: nothing), and for one shown as under maintenance
    // instead, the window's comment.
    Change announce = Change::None;
    std::optional<QString> maintenance{};
};

// What became of one check: the change of state it recorded, or why nothing of it was written.
struct RecordResult {
    Change change = Change::None;
    QString error{};
};

// A check fails when its result is not a reply time: negative, or not a number at all.
bool checkFailed(const QString& result);

// The one rule of the states: a host is down from its first failed check to its next successful
// one. A failed check while no outage of its address is open opens one (down); a successful one
// while one is open closes it (up); anything else changes nothing.
Change transition(bool failed, bool outageOpen);

// Every host record, ordered by description as a person reads the list (equal descriptions keep
// the order of their ids), with its parent, whether its address had an outage open and how far its
// announcement came, and whether a maintenance window covers it at `now`. Throws DbError.
std::vector<HostRecord> readPassHosts(Database& db, const QDateTime& now);

// One check as a unit of its own: the log row, its totals, and the outage opened or closed when
// the state changed (the outage belongs to the first host record with the address). A failure of
// the check's own (not a lock, not a database gone) is its result's error; the rest is thrown.
RecordResult recordCheck(Database& db, const CheckRecord& check);

// Whether a batch can be written by recordChecks: no address comes twice in it (a second check of
// the same address would depend on the outage the first one opened).
bool batchable(const std::vector<CheckRecord>& checks);
// A whole batch in a few statements, inside the caller's transaction: the log rows, their totals,
// one look at the open outages of its addresses, then the outages closed and opened. Throws
// DbError when any statement fails; the caller then falls back to recordCheck for each check.
std::vector<RecordResult> recordChecks(Database& db, const std::vector<CheckRecord>& checks);

}  // namespace sentrok
