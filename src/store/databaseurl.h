#pragma once

#include <QString>
#include <QStringList>

namespace sentrok {

// Where the database is: an SQLite file, or a database on a PostgreSQL server.
//   sqlite:PATH                                      (PATH alone means the same)
//   postgresql://[USER[:PASSWORD]@][HOST][:PORT]/DBNAME[?KEY=VALUE&...]
// A HOST that is a folder (written as ?host=/run/postgresql, or %2F-encoded) is the server's
// Unix socket. Other KEY=VALUE pairs go to libpq as connection parameters of their own, each
// value quoted (sslmode, connect_timeout, application_name=a%20b...); a key that is not a libpq
// word, or a value the driver cannot carry (";"), is refused. With no password in the URL, libpq
// looks in its usual places (PGPASSWORD, ~/.pgpass).
struct DatabaseUrl {
    enum class Engine { SQLite, PostgreSQL };

    Engine engine = Engine::SQLite;
    QString file{};  // SQLite: the absolute, clean path
    QString host, user, password, name;
    int port = -1;
    QStringList options{};  // libpq "key=value", the value as given (unquoted)

    // Throws DbError (number CantOpen) for a URL that cannot be understood.
    static DatabaseUrl parse(const QString& text);
    // The URL again, with its password only when asked: the same database for another
    // connection of the program (never shown, never logged).
    QString text(bool withPassword = false) const;
    // For the user: the file's path, or the URL with "***" for its password.
    QString describe() const;
};

// Any text that may hold a database URL (one that could not be parsed included), with "***" for
// the password in it: after "USER:" in the authority, and as the value of "password=" in the
// query. Control characters are made visible.
QString redactUrl(const QString& text);

// The connection parameters the driver gets besides host, database, user and password: each
// "key='value'" with the value quoted as libpq reads it, joined as the driver wants them.
QString connectOptions(const QStringList& options);

// Words for the user when `location`, given on the command line, carries a password: every user
// of the machine reads a process's arguments. Empty otherwise.
QString passwordInArgumentsWarning(const QString& location);

// The database a program works on: `--database URL` among its arguments, else the environment
// variable SENTROK_DATABASE, else sentrok.mdb of defaultDatabase(): in the program folder, or in
// the user's or the service's own folder when the program is installed.
QString chooseDatabase(const QStringList& arguments, const QString& programFolder);

}  // namespace sentrok
