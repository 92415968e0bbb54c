#pragma once

#include <QString>
#include <QVariant>

#include <array>
#include <cstdint>
#include <optional>

namespace sentrok {

class Database;

// A window's position and size in twips as kept in the settings row; a value of 0 or less
// (or NULL, read as 0) means that nothing is stored and the window keeps its own.
struct StoredGeometry {
    double top = 0, left = 0, width = 0, height = 0;
};

template <std::size_t N>
struct WindowSettings {
    StoredGeometry geometry{};
    std::array<std::int32_t, N> columns{};  // twips; 0 = keep the built-in width
};

struct MainSettings {
    std::int32_t checkInterval = 0;  // seconds
    QVariant sndUp, sndDown;         // as stored: NULL stays NULL
    WindowSettings<5> window{};
};

// Reads the settings row at start-up. Throws DbError when there is no row or refresh_time is
// NULL or not a number: the program cannot run without them.
MainSettings readMainSettings(Database& db);
WindowSettings<3> readOutageWindowSettings(Database& db);

// The settings the administration window edits, as stored (a NULL reads empty); none without a
// settings row.
struct EditedSettings {
    QString interval, sndUp, sndDown;  // the interval in minutes
};
std::optional<EditedSettings> readEditedSettings(Database& db);
// The interval in minutes and the two sound files, as the administration window saves them.
void saveEditedSettings(Database& db, std::int32_t intervalMinutes, const QString& sndUp,
                        const QString& sndDown);
// A new database's interval, in minutes.
void setCheckIntervalMinutes(Database& db, std::int32_t minutes);

// One update of the settings row each, as the windows do when they close.
void saveMainWindowSettings(Database& db, const WindowSettings<5>& s);
void saveOutageWindowSettings(Database& db, const WindowSettings<3>& s);

}  // namespace sentrok
