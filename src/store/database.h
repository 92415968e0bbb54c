#pragma once

#include <QHash>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QString>
#include <QVariant>
#include <QVariantList>

#include <memory>
#include <stdexcept>

namespace sentrok {

// A failure of the database: the engine's own error number and description, or, for a result
// that is not what the caller needs (no row, a NULL), the nearest engine code and words.
class DbError : public std::runtime_error {
public:
    DbError(int number, const QString& description, const QString& statement = {});
    int number() const { return m_number; }
    const QString& description() const { return m_description; }
    const QString& statement() const { return m_statement; }
    // "Ошибка N: description" for the user.
    QString userText() const;

private:
    int m_number;
    QString m_description;
    QString m_statement;
};

// SQLite result codes used for failures found by the program rather than the engine.
namespace dbcode {
inline constexpr int CantOpen = 14;  // SQLITE_CANTOPEN
inline constexpr int Empty = 16;     // SQLITE_EMPTY
inline constexpr int Mismatch = 20;  // SQLITE_MISMATCH
}  // namespace dbcode

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

// One named connection to the database file, opened in the constructor and removed in the
// destructor. Each window owns one.
class Database {
public:
    // Opens an existing file; never creates one. Throws DbError.
    Database(const QString& file, const QString& connectionName);
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

    void begin();
    void commit();
    void rollback();

    QString fileName() const { return m_file; }
    QString connectionName() const { return m_name; }

    // The database file of a program folder.
    static QString fileIn(const QString& programFolder);
    // A connection name not yet in use, starting with base.
    static QString uniqueName(const QString& base);

private:
    std::shared_ptr<QSqlQuery> prepared(const QString& sql);

    QString m_file;
    QString m_name;
    // Statements prepared once and run many times: a pass runs the same few for every host.
    QHash<QString, std::shared_ptr<QSqlQuery>> m_statements;
};

}  // namespace sentrok
