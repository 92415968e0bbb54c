#pragma once

#include "store/hosts.h"

#include <QDateTime>
#include <QMetaType>
#include <QString>

#include <cstdint>
#include <optional>
#include <vector>

namespace sentrok {

class MonitorView;
class Sound;

// A pass's changes of state as one value, made by the monitor where this process checks and by the
// viewer where it follows another process. Each consumer shows it its own way: the event grid's
// rows and the sounds, the alert mail (exactly alertText), the desktop's notifications, and what
// later features add (chat channels, a web page, metrics).

enum class ChangeKind {
    Down,         // stopped answering
    Up,           // answers again
    Unreachable,  // stopped answering while an ancestor (the router it is reached through) was down
    // A change while a maintenance window covers the host: shown in the window's colour with its
    // comment, never sounded, mailed or sent anywhere.
    Maintenance,
};

struct HostChange {
    HostRef host{};
    ChangeKind kind = ChangeKind::Down;
    // Unreachable: the nearest ancestor down. Up: the nearest ancestor that came back in the same
    // pass, known once the pass is over (set in its PassReport, not in the change announced as it
    // is recorded).
    std::optional<HostRef> ancestor{};
    QDateTime when{};         // of the check
    QString wait{}, reply{};  // the wait time (vw) and the result (mean reply time, -1: no echo)
    QString maintenance{};    // Maintenance: the window's comment
};

struct PassReport {
    QDateTime time{};                   // the pass's end
    QString checkedBy{};                // the process that ran it, as the lease names it
    std::vector<HostChange> changes{};  // in the order recorded
    QString alertText{};  // the alert mail's text, byte for byte; empty when nothing changed
};

// The event row's colour of a change: red, green, grey for a host unreachable behind an ancestor
// down, or the colour of maintenance.
std::uint32_t colorOf(ChangeKind kind);
// The event row of a change, on the view, its texts made safe to show.
void showChange(MonitorView& view, const HostChange& change);
// The sound of a change: none for an unreachable host (its ancestor's sound is enough).
void soundChange(Sound& sound, const HostChange& change);

}  // namespace sentrok

Q_DECLARE_METATYPE(sentrok::HostChange)
Q_DECLARE_METATYPE(sentrok::PassReport)
