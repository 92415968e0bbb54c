#include "store/engine.h"

#include <QRegularExpression>
#include <QSqlDatabase>
#include <QSysInfo>
#include <QTimeZone>
#include <QUrl>

namespace sentrok {

namespace {

class SQLiteEngine final : public Engine {
public:
    DatabaseUrl::Engine kind() const override { return DatabaseUrl::Engine::SQLite; }

    void configure(QSqlDatabase& db, const DatabaseUrl& url,
                   const DatabaseOptions& options) const override
    {
        // mode=rw: an existing file only; a missing one is an error, never a new empty file.
        QUrl uri = QUrl::fromLocalFile(url.file);
        uri.setScheme(QStringLiteral("file"));
        db.setDatabaseName(uri.toString(QUrl::FullyEncoded) + QStringLiteral("?mode=rw"));
        db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_URI;QSQLITE_BUSY_TIMEOUT=%1")
                                 .arg(options.busyTimeoutMs));
    }

    QStringList afterOpen(const DatabaseOptions&) const override
    {
        // Reading the schema version makes the engine read the file: a file that is not a
        // database fails here, not at the first real statement.
        return {QStringLiteral("PRAGMA foreign_keys=ON"), QStringLiteral("PRAGMA user_version")};
    }

    QString spell(const QString& sql) const override { return sql; }
    bool prepares(const QString&, bool) const override { return true; }
    QString begin() const override { return QStringLiteral("BEGIN IMMEDIATE"); }

    DbError::Kind classify(const QSqlError& error) const override
    {
        // Extended result codes carry the primary one in their low byte.
        const int code = error.nativeErrorCode().toInt() & 0xff;
        return code == dbcode::Busy || code == dbcode::Locked ? DbError::Kind::Busy
                                                               : DbError::Kind::Other;
    }

    DbError error(const QSqlError& e, const QString& statement) const override
    {
        bool ok = false;
        int number = e.nativeErrorCode().toInt(&ok);
        if (!ok) number = int(e.type());
        QString text = e.databaseText();
        if (text.isEmpty()) text = e.driverText();
        return DbError(number, text, statement, classify(e));
    }

    bool isFile() const override { return true; }
    bool notifies() const override { return false; }

    QStringList versionTable() const override { return {QStringLiteral("PRAGMA user_version=1")}; }
    QString readVersion() const override { return QStringLiteral("PRAGMA user_version"); }
    QString countVersionPlaces() const override { return {}; }
    QString writeVersion(int version) const override
    {
        return QStringLiteral("PRAGMA user_version=%1").arg(version);
    }
    QString countTables() const override
    {
        return QStringLiteral("SELECT count(*) FROM sqlite_master WHERE type = 'table'");
    }
    QString countColumn() const override
    {
        return QStringLiteral("SELECT count(*) FROM pragma_table_info(?) WHERE name = ?");
    }
    QString implicitRowKey() const override { return QStringLiteral("rowid"); }
};

class PostgresEngine final : public Engine {
public:
    DatabaseUrl::Engine kind() const override { return DatabaseUrl::Engine::PostgreSQL; }

    void configure(QSqlDatabase& db, const DatabaseUrl& url,
                   const DatabaseOptions&) const override
    {
        db.setHostName(url.host);
        if (url.port > 0) db.setPort(url.port);
        db.setUserName(url.user);
        db.setPassword(url.password);  // empty: libpq's PGPASSWORD or ~/.pgpass
        db.setDatabaseName(url.name);
        // A server out of reach is noticed in seconds, not at the system's TCP time-outs.
        QStringList options{QStringLiteral("connect_timeout=5"), QStringLiteral("keepalives=1"),
                            QStringLiteral("keepalives_idle=5"),
                            QStringLiteral("keepalives_interval=2"),
                            QStringLiteral("keepalives_count=2")};
        options << QStringLiteral("application_name=sentrok@%1")
                       .arg(QSysInfo::machineHostName().left(40).remove(u';'));
        options << url.options;
        db.setConnectOptions(connectOptions(options));
    }

    QStringList afterOpen(const DatabaseOptions& options) const override
    {
        QStringList out{
            // The same wait for a lock as on the file, then "busy".
            QStringLiteral("SET lock_timeout = %1").arg(std::max(1, options.busyTimeoutMs)),
            // The server notices a client gone without a word (its machine off) within
            // seconds: what it holds for the client is let go.
            QStringLiteral("SET tcp_keepalives_idle = 5"),
            QStringLiteral("SET tcp_keepalives_interval = 2"),
            QStringLiteral("SET tcp_keepalives_count = 2"),
            QStringLiteral("SET client_min_messages = warning")};
        // Dates are local-time texts, as on the desktop: the server's own defaults follow.
        const QByteArray zone = QTimeZone::systemTimeZoneId();
        if (!zone.isEmpty() && zone.size() < 64 &&
            QRegularExpression(QStringLiteral("^[A-Za-z0-9_+/-]+$"))
                .match(QString::fromLatin1(zone))
                .hasMatch())
            out << QStringLiteral("SET TIME ZONE '%1'").arg(QString::fromLatin1(zone));
        return out;
    }

    QString spell(const QString& sql) const override
    {
        // [name] quotes a name that is a keyword; PostgreSQL writes it "name".
        static const QRegularExpression bracketed(QStringLiteral("\\[(\\w+)\\]"));
        QString out = sql;
        out.replace(bracketed, QStringLiteral("\"\\1\""));
        static const QRegularExpression ddl(QStringLiteral("^\\s*(create|alter)\\s+table\\b"),
                                            QRegularExpression::CaseInsensitiveOption);
        if (ddl.match(out).hasMatch()) out = tableDefinition(out);
        return out;
    }

    // Tables are defined as SQLite has them; here they become the same tables. Whole numbers
    // are 64 bits there, as here; texts compare and sort byte by byte there, as "C" does here;
    // dates are local-time texts made by the server.
    static QString tableDefinition(QString ddl)
    {
        static const struct {
            QRegularExpression from;
            QString to;
        } rules[] = {
            {QRegularExpression(QStringLiteral("\\bINTEGER\\s+PRIMARY\\s+KEY(\\s+AUTOINCREMENT)?"),
                                QRegularExpression::CaseInsensitiveOption),
             QStringLiteral("BIGINT GENERATED BY DEFAULT AS IDENTITY PRIMARY KEY")},
            {QRegularExpression(QStringLiteral("\\bINTEGER\\b"), QRegularExpression::CaseInsensitiveOption),
             QStringLiteral("BIGINT")},
            {QRegularExpression(QStringLiteral("\\bREAL\\b"), QRegularExpression::CaseInsensitiveOption),
             QStringLiteral("DOUBLE PRECISION")},
            {QRegularExpression(QStringLiteral("\\bTEXT\\b"), QRegularExpression::CaseInsensitiveOption),
             QStringLiteral("TEXT COLLATE \"C\"")},
            {QRegularExpression(QStringLiteral("\\(datetime\\('now',\\s*'localtime'\\)\\)"),
                                QRegularExpression::CaseInsensitiveOption),
             QStringLiteral("(to_char(localtimestamp(0), 'YYYY-MM-DD HH24:MI:SS'))")},
            {QRegularExpression(QStringLiteral("\\bWITHOUT\\s+ROWID\\b"),
                                QRegularExpression::CaseInsensitiveOption),
             QString()},
        };
        for (const auto& rule : rules) ddl.replace(rule.from, rule.to);
        return ddl;
    }

    bool prepares(const QString& sql, bool hasValues) const override
    {
        // Only these can be prepared on the server; the rest go as they are.
        if (!hasValues) return false;
        static const QRegularExpression dml(
            QStringLiteral("^\\s*(select|insert|update|delete|with|values)\\b"),
            QRegularExpression::CaseInsensitiveOption);
        return dml.match(sql).hasMatch();
    }

    QString begin() const override { return QStringLiteral("BEGIN"); }

    DbError::Kind classify(const QSqlError& error) const override
    {
        const QString state = error.nativeErrorCode();
        if (state == QLatin1String("55P03") || state == QLatin1String("40001") ||
            state == QLatin1String("40P01"))
            return DbError::Kind::Busy;
        if (error.type() == QSqlError::ConnectionError || state.startsWith(QLatin1String("08")) ||
            state.startsWith(QLatin1String("57P")))
            return DbError::Kind::Gone;
        // libpq without a code: the connection is no more.
        static const char* const lost[] = {"server closed the connection", "no connection to the server",
                                           "could not connect", "terminating connection",
                                           "connection to server"};
        const QString text = error.databaseText() + u' ' + error.driverText();
        if (state.isEmpty())
            for (const char* words : lost)
                if (text.contains(QLatin1String(words))) return DbError::Kind::Gone;
        return DbError::Kind::Other;
    }

    DbError error(const QSqlError& e, const QString& statement) const override
    {
        QString text = e.databaseText().trimmed();
        if (text.isEmpty()) text = e.driverText();
        DbError out(0, text, statement, classify(e));
        out.setCode(e.nativeErrorCode());
        return out;
    }

    bool isFile() const override { return false; }
    bool notifies() const override { return true; }

    QStringList versionTable() const override
    {
        return {QStringLiteral("CREATE TABLE sentrok_schema (version INTEGER NOT NULL)"),
                QStringLiteral("INSERT INTO sentrok_schema (version) VALUES (1)")};
    }
    QString readVersion() const override { return QStringLiteral("SELECT version FROM sentrok_schema"); }
    QString countVersionPlaces() const override
    {
        return QStringLiteral("SELECT count(*) FROM pg_catalog.pg_tables WHERE schemaname = "
                              "current_schema() AND tablename = 'sentrok_schema'");
    }
    QString writeVersion(int version) const override
    {
        return QStringLiteral("UPDATE sentrok_schema SET version = %1").arg(version);
    }
    QString countTables() const override
    {
        return QStringLiteral("SELECT count(*) FROM information_schema.tables WHERE table_schema = "
                              "current_schema()");
    }
    QString countColumn() const override
    {
        return QStringLiteral("SELECT count(*) FROM information_schema.columns WHERE table_schema = "
                              "current_schema() AND table_name = ? AND column_name = ?");
    }
    QString implicitRowKey() const override { return {}; }
};

}  // namespace

const Engine& Engine::of(const DatabaseUrl& url)
{
    static const SQLiteEngine sqlite;
    static const PostgresEngine postgres;
    if (url.isSQLite()) return sqlite;
    return postgres;
}

}  // namespace sentrok
