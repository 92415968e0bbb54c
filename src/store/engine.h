#pragma once

#include "store/database.h"
#include "store/databaseurl.h"

#include <QSqlError>
#include <QStringList>

class QSqlDatabase;

namespace sentrok {

// What differs between SQLite and PostgreSQL, in one place. Everything above the store writes
// statements both engines accept (values bound, `[name]` quoting, dates as text) and never asks
// which engine it has; what cannot be written so is asked of this class.
class Engine {
public:
    static const Engine& of(const DatabaseUrl& url);
    virtual ~Engine() = default;

    virtual DatabaseUrl::Engine kind() const = 0;
    // Sets up a named connection before it opens.
    virtual void configure(QSqlDatabase& db, const DatabaseUrl& url,
                           const DatabaseOptions& options) const = 0;
    // Statements run each time a connection opens.
    virtual QStringList afterOpen(const DatabaseOptions& options) const = 0;
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
    // The database is one file whose identity can be watched.
    virtual bool isFile() const = 0;
    // The server tells listening connections of news (otherwise they look for it themselves).
    virtual bool notifies() const = 0;

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

}  // namespace sentrok
