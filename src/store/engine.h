#pragma once

#include "store/database.h"
#include "store/databaseurl.h"

#include <QSqlError>
#include <QStringList>

#include <functional>
#include <memory>

class QObject;
class QSqlDatabase;

namespace sentrok {

class Lease;

// What an engine keeps an eye on for one connection between its statements: on SQLite that the
// file at the path is still the one the connection opened, on PostgreSQL that the server has not
// dropped the connection. Database calls it at each step of a connection's life.
class ConnectionWatch {
public:
    enum class Presence { Same, Replaced, Gone };

    virtual ~ConnectionWatch() = default;
    // Before the connection opens, the first time or again; throws DbError to keep it closed.
    virtual void beforeOpen(bool reopening) = 0;
    virtual void opened() = 0;
    // Just before the connection closes; `run` runs a statement on it still.
    virtual void closing(const std::function<void(const QString&)>& run) = 0;
    virtual void closed() = 0;
    // Whether the database at the place is still the one the open connection has.
    virtual Presence presence() = 0;
    // After the connection was closed for a database replaced or gone: the program's other
    // connections to the place are closed too.
    virtual void left() = 0;
    // A failure of a statement in words for the user; `lost`: the connection is no more (opened
    // afresh by the next statement).
    virtual DbError failure(const DbError& error, bool* lost) = 0;
};

// What differs between SQLite and PostgreSQL, in one place. Everything above the store writes
// statements both engines accept (values bound, `[name]` quoting, dates as text) and never asks
// which engine it has; what cannot be written so is asked of this class.
class Engine {
public:
    static const Engine& of(const DatabaseUrl& url);
    virtual ~Engine() = default;

    // The Qt SQL driver.
    virtual QString driver() const = 0;
    // Sets up a named connection before it opens.
    virtual void configure(QSqlDatabase& db, const DatabaseUrl& url,
                           const DatabaseOptions& options) const = 0;
    // Statements run each time a connection opens.
    virtual QStringList afterOpen(const DatabaseOptions& options) const = 0;
    // What the engine watches of one connection. `closeSoon` closes that connection, on its own
    // thread (through `context`), once no transaction is under way.
    virtual std::unique_ptr<ConnectionWatch> watch(const DatabaseUrl& url, QObject* context,
                                                   std::function<void()> closeSoon) const = 0;
    // A statement as this engine spells it.
    virtual QString spell(const QString& sql) const = 0;
    // Whether a statement goes to the engine prepared (it may then be run again cheaply).
    virtual bool prepares(const QString& sql, bool hasValues) const = 0;
    // A transaction that holds the write lock from its start.
    virtual QString begin() const = 0;
    // Whether a failure means "try again later" (a lock held elsewhere) or "the database has gone"
    // (its file deleted, the server out of reach).
    virtual DbError::Kind classify(const QSqlError& error) const = 0;
    // The words of a failure, with the engine's own code.
    virtual DbError error(const QSqlError& error, const QString& statement) const = 0;
    // The failure of a database out of reach, with what the engine said (`why`) where it says it.
    virtual DbError goneError(const DatabaseUrl& url, const QString& why = {}) const = 0;

    // Tells the connections listening on `channel` that there is news; nothing where the engine
    // does not notify.
    virtual void notify(Database& db, const QString& channel) const = 0;
    // The server tells listening connections of news (otherwise they look for it themselves).
    virtual bool notifies() const = 0;
    // The right to run passes (see Lease), taken through the connection `db`.
    virtual std::unique_ptr<Lease> lease(Database& db) const = 0;
    // The program signs in with a user name and password (kept with the secrets).
    virtual bool logsIn() const = 0;

    // A new database: the empty place made ready for the tables (a new file in write-ahead mode;
    // a server's database must exist already), refused when something is there; and undone
    // when making the tables failed.
    virtual void makeEmpty(const DatabaseUrl& url) const = 0;
    virtual void discardNew(const DatabaseUrl& url) const = 0;
    // Nothing is at the place: a file that is not there. Never true of a server, which only
    // connecting can tell.
    virtual bool missing(const DatabaseUrl& url) const = 0;

    // The schema's version: where it is kept, read and written.
    virtual QStringList versionTable() const = 0;  // statements making it, at version 1
    virtual QString readVersion() const = 0;
    // Counts the places the version is kept (0 in a database still being made); empty where
    // there always is one.
    virtual QString countVersionPlaces() const = 0;
    virtual QString writeVersion(int version) const = 0;
    // Counts the tables a new database must not have yet.
    virtual QString countTables() const = 0;
    // Counts the columns named (second value) of a table (first value).
    virtual QString countColumn() const = 0;
    // What names a row of a table that has no "id" column; empty where nothing does.
    virtual QString implicitRowKey() const = 0;
};

// The two engines (enginesqlite.cpp, enginepostgres.cpp).
const Engine& sqliteEngine();
const Engine& postgresEngine();

}  // namespace sentrok
