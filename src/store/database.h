#pragma once

#include <QHash>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QString>
#include <QVariant>
#include <QVariantList>

#include <functional>
#include <memory>
#include <stdexcept>

#include "store/databaseurl.h"

namespace sentrok {

class ConnectionWatch;
class Engine;

// A failure of the database: the engine's own error number and description, or, for a result
// that is not what the caller needs (no row, a NULL), the nearest engine code and words.
class DbError : public std::runtime_error {
public:
    enum class Kind { Other, Busy, Gone };
    DbError(int number, const QString& description, const QString& statement = {},
            Kind kind = Kind::Other);
    int number() const { return m_number; }
    // The engine's own code when it is not a number (PostgreSQL's SQLSTATE).
    const QString& code() const { return m_code; }
    void setCode(const QString& code) { m_code = code; }
    const QString& description() const { return m_description; }
    const QString& statement() const { return m_statement; }
    // The engine's own code as text: PostgreSQL's SQLSTATE, else the number.
    QString engineCode() const;
    // "Ошибка N: description" for the user.
    QString userText() const;
    // Another connection holds the lock: the same statement may succeed later.
    bool isBusy() const;
    // The database file was deleted (or is being replaced) while it was open: nothing can be
    // written until a file is back at its path.
    bool isGone() const;

private:
    int m_number;
    QString m_code;
    QString m_description;
    QString m_statement;
    Kind m_kind;
};

// Qt's PostgreSQL driver writes a few lines of its own on standard error that tell the user
// nothing (a statement it cannot free on a connection already lost, a server version it cannot
// read while the connection breaks): a program calls this once at start to drop exactly those.
// Every other message goes where it went before.
void silenceDriverNoise();
bool isDriverNoise(const QString& message);

// Whether nothing is at the place `location` names (a file that is not there). A server's
// database, and a location that cannot be understood, only opening can tell.
bool databaseMissing(const QString& location);

// The failure of a database whose schema version is beyond the one this program knows.
DbError newerSchemaError(const DatabaseUrl& url, int version);

// SQLite result codes used for failures found by the program rather than the engine.
namespace dbcode {
inline constexpr int CantOpen = 14;  // SQLITE_CANTOPEN
inline constexpr int Empty = 16;     // SQLITE_EMPTY
inline constexpr int Mismatch = 20;  // SQLITE_MISMATCH
inline constexpr int Busy = 5;       // SQLITE_BUSY
inline constexpr int Locked = 6;     // SQLITE_LOCKED
inline constexpr int NotFound = 12;  // SQLITE_NOTFOUND: used for a file that has gone
}  // namespace dbcode

// How a connection meets a database that another program has locked.
struct DatabaseOptions {
    // How long one statement waits inside the engine before it gives up; the thread waits
    // that long without running anything else.
    int busyTimeoutMs = 20;
    // How long a statement is tried again, letting the event loop run (no user input)
    // between attempts, before the failure reaches the caller. 0: not at all.
    int patienceMs = 2000;
};

// A forward-only result: positioned on its first row (or at its end when empty); fields are
// found by name regardless of case, or by position from 0.
class Result {
public:
    explicit Result(std::shared_ptr<QSqlQuery> query);
    ~Result();
    Result(Result&& other) noexcept;
    Result& operator=(Result&& other) noexcept;
    Result(const Result&) = delete;
    Result& operator=(const Result&) = delete;

    bool eof() const { return m_eof; }
    void moveNext();
    QVariant field(const QString& name) const;
    QVariant field(int position) const;
    void close();

private:
    void requireRow(const QString& what) const;
    std::shared_ptr<QSqlQuery> m_query;  // shared with the connection's statement cache
    QSqlRecord m_columns;  // read once: asking the query builds a new record every time
    bool m_eof = true;
};

// One named connection to the database (an SQLite file, or a PostgreSQL database: see
// DatabaseUrl), opened in the constructor and removed in the destructor. Each window owns one.
class Database {
public:
    // Opens an existing database (a file path or a URL); never creates one. Throws DbError.
    Database(const QString& location, const QString& connectionName,
             const DatabaseOptions& options = {});
    ~Database();
    Database(const Database&) = delete;
    Database& operator=(const Database&) = delete;

    // Runs one statement with its values bound in order to the "?" placeholders.
    Result execute(const QString& sql, const QVariantList& values = {});
    // Runs fn inside one transaction; rolls back and rethrows on failure.
    template <typename Fn>
    void transaction(Fn&& fn)
    {
        begin();
        try {
            fn();
        } catch (...) {
            rollback();
            throw;
        }
        commit();
    }
    // Runs fn as one unit: inside an open transaction its writes are undone alone on failure;
    // outside one it is a transaction of its own. Rethrows the failure.
    template <typename Fn>
    void savepoint(Fn&& fn)
    {
        execute(QStringLiteral("SAVEPOINT unit"));
        try {
            fn();
        } catch (...) {
            try {
                execute(QStringLiteral("ROLLBACK TO unit"));
                execute(QStringLiteral("RELEASE unit"));
            } catch (const DbError&) {
            }
            throw;
        }
        execute(QStringLiteral("RELEASE unit"));
    }

    // A transaction that holds the write lock from its start, so that no statement inside it
    // waits on another connection or has to be retried alone.
    void begin();
    void commit();
    void rollback();
    bool inTransaction() const { return m_inTransaction; }
    bool isOpen() const { return m_open; }
    // Counts the openings of the connection: a session's state (a lock it holds) is gone once
    // this has moved on.
    quint64 generation() const { return m_generation; }

    // Opens the connection again if it was lost, and, for a file, whether the file at the path
    // is still the one it opened. A file deleted meanwhile (or a server out of reach) is an error
    // (isGone) until one is back; then every connection of the program to the old file is closed
    // before any opens the new one.
    void ensureOpen();

    // The database again, for another connection of the program.
    QString location() const { return m_url.text(true); }
    const DatabaseUrl& url() const { return m_url; }
    const Engine& engine() const { return *m_engine; }
    QString connectionName() const { return m_name; }

    // Tells the connections listening on `channel` that there is news, when the transaction under
    // way commits (at once outside one). Nothing where the engine does not notify.
    void notify(const QString& channel);
    // Calls `news` (on this connection's thread) whenever another connection notifies `channel`;
    // false where the engine does not notify: look for news by polling instead.
    bool listen(const QString& channel, std::function<void()> news);

    // The database file of a program folder.
    static QString fileIn(const QString& programFolder);
    // The database a window works on: `database` as chosen at start, or when none was chosen
    // (empty), the file of the program folder.
    static QString locationOr(const QString& database, const QString& programFolder);
    // A connection name not yet in use, starting with base.
    static QString uniqueName(const QString& base);

private:
    std::shared_ptr<QSqlQuery> prepared(const QString& sql);
    DbError failure(const QSqlError& error, const QString& sql);
    // One statement on the open connection: no test of the file, no second attempt.
    Result run(const QString& sql, const QVariantList& values);
    void open();
    void refuseNewerSchema();
    void close();
    void closeSoon();
    template <typename Fn>
    auto patiently(Fn&& fn) -> decltype(fn());

    DatabaseUrl m_url;
    const Engine* m_engine;
    QString m_name;
    DatabaseOptions m_options;
    bool m_open = false;
    bool m_everOpened = false;
    quint64 m_generation = 0;
    bool m_inTransaction = false;
    bool m_connectionLost = false;  // the server connection broke under a statement
    bool m_closeAfterTransaction = false;
    // Lives in the connection's own thread: another connection closes this one through it.
    std::unique_ptr<QObject> m_context;
    std::unique_ptr<ConnectionWatch> m_watch;
    QHash<QString, std::function<void()>> m_listeners;
    void subscribeListeners();
    // Statements prepared once and run many times: a pass runs the same few for every host.
    QHash<QString, std::shared_ptr<QSqlQuery>> m_statements;
};

}  // namespace sentrok
