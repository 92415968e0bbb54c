#pragma once

#include "store/database.h"

#include <QTemporaryDir>

#include <memory>

class QObject;

namespace sentrok::test {

// The engine the tests' databases are made on: SQLite files, unless a suite runs its tests again
// on PostgreSQL (runOnBothEngines).
enum class TestEngine { SQLite, PostgreSQL };
TestEngine testEngine();
bool onPostgres();

// Runs the test object's slots on SQLite files, then again on databases of a PostgreSQL server the
// tests start themselves; where that server cannot start, says why and skips the second run.
int runOnBothEngines(QObject* tests, int argc, char** argv);

// A fresh program folder with a new database made with the project's own schema: the file
// sentrok.mdb in it, or a new database on the tests' PostgreSQL server.
class TestFolder {
public:
    TestFolder();
    QString path() const { return m_dir.path(); }
    // The database, as Database takes it (a file's path, or a URL).
    QString dbFile() const { return m_location; }
    // A connection of the test's own, beside the ones the code under test opens.
    Database& db();
    // After the server was restarted: the test's own connection is opened afresh.
    void reconnect() { m_db.reset(); }
    // Runs a statement and returns the first column of every row as text.
    QStringList column(const QString& sql, const QVariantList& values = {});
    QString scalar(const QString& sql, const QVariantList& values = {});
    qint64 addHost(const QString& ip, const QString& desc = {},
                   const QString& vw = QStringLiteral("1000"));

private:
    QTemporaryDir m_dir;
    QString m_location;
    std::unique_ptr<Database> m_db;
};

// What the tests do that each engine spells its own way, in one place.

// Where a new database may be made: a file in `dir`, or a new empty database on the server; and a
// place where none is.
QString newDatabasePlace(const QTemporaryDir& dir);
QString missingDatabasePlace(const QTemporaryDir& dir);

// Another connection takes the write lock of the log and the outages, and keeps it until COMMIT.
void holdWriteLock(Database& other);
// The database refuses new log rows of host `id` with `words`, as a broken database would.
void refuseLogRowsOf(Database& db, qint64 id, const QString& words);
// Drops a table that others refer to.
void dropReferencedTable(Database& db, const QString& table);
// The lease ends as it ends in life: its file deleted (as by a clean-up), or the server session
// that holds it ended.
void endLeaseFromOutside(TestFolder& folder);

}  // namespace sentrok::test
