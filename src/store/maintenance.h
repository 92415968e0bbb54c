#pragma once

#include <QDateTime>
#include <QHash>
#include <QString>

#include <optional>
#include <vector>

namespace sentrok {

class Database;
class HostTree;

// Planned work: while a window lasts, its hosts are checked and recorded as always, but nothing is
// announced for them. A window is for one host, a host and every host reached through it, or all
// hosts; it happens once, or every day or every week from its first occurrence on. Times are local,
// as every stored time.
enum class Repeat { Once, Daily, Weekly };

struct MaintenanceWindow {
    qint64 id = 0;
    qint64 hostId = 0;  // 0: every host
    bool withChildren = false;
    QDateTime from{}, to{};  // the first occurrence
    Repeat repeat = Repeat::Once;
    QString comment{};
};

// A stretch of time, ms since the epoch, end excluded.
struct TimeSpan {
    qint64 fromMs = 0, toMs = 0;
};

// Why a window cannot be kept: it ends before it begins (or as it begins), or lasts longer than
// the period it repeats in. nullopt when it can.
std::optional<QString> windowRefusal(const MaintenanceWindow& w);
// Whether the window lasts at `t`.
bool windowCovers(const MaintenanceWindow& w, const QDateTime& t);
// The occurrences of the window that overlap [fromMs, toMs), clipped to it, in time order.
std::vector<TimeSpan> windowSpans(const MaintenanceWindow& w, qint64 fromMs, qint64 toMs);

// Whether the window is for the host: its own, an ancestor's with children, or every host's.
bool windowApplies(const MaintenanceWindow& w, qint64 hostId, const HostTree& tree);

QString repeatName(Repeat r);  // "once", "daily", "weekly"

// Every window, by id. Throws DbError.
std::vector<MaintenanceWindow> maintenanceWindows(Database& db);
// Adds a window (refused ones throw DbError with the refusal's words); returns its id.
qint64 addMaintenanceWindow(Database& db, const MaintenanceWindow& w);
// False when there was no such window.
bool removeMaintenanceWindow(Database& db, qint64 id);

// The hosts under maintenance at `now`, each with the comment of a window that covers it (the
// newest one's when several do). Throws DbError.
QHash<qint64, QString> hostsUnderMaintenance(Database& db, const QDateTime& now);
QHash<qint64, QString> hostsUnderMaintenance(const std::vector<MaintenanceWindow>& windows,
                                             const HostTree& tree, const QDateTime& now);

// Consecutive failed checks before an outage is announced.
inline constexpr int kConfirmMin = 1;
inline constexpr int kConfirmMax = 100;
inline constexpr int kConfirmDefault = 1;
// Why `text` is not a confirmation count; nullopt when it is one (then in `value`).
std::optional<QString> confirmRefusal(const QString& text, int* value);
// False when there is no such host. Throws DbError.
bool setConfirm(Database& db, qint64 hostId, int confirm);
// The host's count; the default for a host not there. Throws DbError.
int confirmOf(Database& db, qint64 hostId);

// A host with an outage open, as far as its announcement has come.
struct ConfirmationState {
    qint64 hostId = 0;  // the host record the outage belongs to
    QString ip{};
    int confirm = kConfirmDefault;
    int failures = 0;        // failed checks since the outage opened
    bool announced = false;  // its outage has been announced
    bool quiet = false;      // shown as under maintenance instead of announced
};
// Every open outage's state, keyed by address (an outage belongs to an address). `allFailures`
// false counts the failed checks only where more than one is wanted (where the count decides
// something): the others read 1. Throws DbError.
QHash<QString, ConfirmationState> confirmationStates(Database& db, bool allFailures = true);

}  // namespace sentrok
