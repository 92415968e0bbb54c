#pragma once

#include <QString>

namespace sentrok {

// Where a program's database is when no --database and no SENTROK_DATABASE name one.
//
// A program folder its user may write (a build tree, an installation in the user's home) keeps
// sentrok.mdb beside the program. An installed program's folder is not the user's: a service
// started by systemd with a StateDirectory= keeps it there ($STATE_DIRECTORY), anyone else in
// their XDG data folder ($XDG_DATA_HOME/sentrok, by default ~/.local/share/sentrok). Root may
// write every folder, so for root the program folder counts only when it holds a database.
struct DatabasePlaceFacts {
    QString programFolder{};
    bool programFolderWritable = false;
    bool privileged = false;    // root
    bool besideExists = false;  // sentrok.mdb is in the program folder
    QString stateDirectory{};   // $STATE_DIRECTORY: the first of its colon-separated folders
    QString dataHome{};         // the user's XDG data folder
};

struct DefaultDatabase {
    QString file{};
    // A place of the user's or the service's own, where the program makes an empty database at
    // its first start; the program folder never gets one.
    bool own = false;
};

DefaultDatabase defaultDatabaseFor(const DatabasePlaceFacts& facts);
// The same, with the facts read from this process and its machine.
DefaultDatabase defaultDatabase(const QString& programFolder);

// Makes the empty database (a pass every 10 minutes) of the program's own place, and the
// folders up to it (owner-only, as the XDG rules ask), when `location` is that place and holds
// no file yet. True when it made one. Throws DbError when it cannot.
bool createOwnDatabase(const QString& location, const DefaultDatabase& place);

// How to add hosts to a database just made, for the status bar and the service's log.
QString addHostsHint(const QString& file);

}  // namespace sentrok
