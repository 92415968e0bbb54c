#pragma once

#include <QString>

#include <cstdint>

namespace sentrok {

// Event row colours, red in the low byte.
inline constexpr std::uint32_t kColorDown = 0x0000FF;  // red
inline constexpr std::uint32_t kColorUp = 0x008000;    // dark green
// A host gone down while an ancestor (the router it is reached through) was down: unreachable.
inline constexpr std::uint32_t kColorUnreachable = 0x808080;  // grey
// A change of a host under maintenance: neither alarm nor all clear.
inline constexpr std::uint32_t kColorMaintenance = 0xB07000;  // steel blue

// Lasting conditions that keep checks from being made or recorded. Each is shown until it is
// cleared, beside the five panels, never over them.
enum class Condition {
    RecordingWaits,   // the database is locked by another program: outcomes wait in memory
    DatabaseGone,     // the database file was deleted or replaced: nothing is written
    NoIcmpSocket,     // no ICMP socket can be opened: no check can be made
    Viewing,          // another process holds the lease and makes the checks; this one follows it
    NoLease,          // the lease cannot be taken though nobody holds it (a lease file unusable)
    NewDatabase,      // the program made the user's database at this start: no hosts yet
    ChannelsFailing,  // a chat channel's last message was not delivered
};

// What the monitor needs of the main window: the event grid, the status bar panels (numbered
// from 1), the start menu item and the pointer.
class MonitorView {
public:
    virtual ~MonitorView() = default;
    // Puts one event row on top of the event grid.
    virtual void PrintStat(const QString& ip, const QString& desc, const QString& pto,
                           const QString& v_w, std::uint32_t color) = 0;
    // The tool tip of the event row put on top last.
    virtual void setLastRowToolTip(const QString& text) { (void)text; }
    virtual QString panelText(int panel) const = 0;
    virtual void setPanelText(int panel, const QString& text) = 0;
    virtual void setPanelToolTip(int panel, const QString& text) = 0;
    virtual void setPanelEnabled(int panel, bool enabled) = 0;
    virtual void setStartEnabled(bool enabled) = 0;
    virtual void setBusy(bool busy) = 0;
    // A check that could not be made: told without a modal box, the pass goes on.
    virtual void reportCheckFailure(const QString& message) = 0;
    // A new pass begins: the failures reported so far belong to an earlier one.
    virtual void clearCheckFailures() = 0;
    // Sets a lasting condition with the words for the user; an empty text clears it.
    virtual void setCondition(Condition condition, const QString& text) = 0;
};

}  // namespace sentrok
