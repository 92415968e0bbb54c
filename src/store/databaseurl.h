#pragma once

#include <QString>
#include <QStringList>

namespace sentrok {

// Where the database is: an SQLite file, or a database on a PostgreSQL server.
//   sqlite:PATH                                      (PATH alone means the same)
//   postgresql://[USER[:PASSWORD]@][HOST][:PORT]/DBNAME[?KEY=VALUE&...]
// A HOST that is a folder (written as ?host=/run/postgresql, or %2F-encoded) is the server's
// Unix socket. Other KEY=VALUE pairs go to libpq as they are (sslmode, connect_timeout...). With
// no password in the URL, libpq looks in its usual places (PGPASSWORD, ~/.pgpass).
struct DatabaseUrl {
    enum class Engine { SQLite, PostgreSQL };

    Engine engine = Engine::SQLite;
    QString file;  // SQLite: the absolute, clean path
    QString host, user, password, name;
    int port = -1;
    QStringList options;  // libpq "key=value"

    // Throws DbError (number CantOpen) for a URL that cannot be understood.
    static DatabaseUrl parse(const QString& text);
    // The URL again, with its password only when asked: the same database for another
    // connection of the program (never shown, never logged).
    QString text(bool withPassword = false) const;
    // For the user: the file's path, or the URL without the password.
    QString describe() const;
    bool isSQLite() const { return engine == Engine::SQLite; }
};

// The database a program works on: `--database URL` among its arguments, else the environment
// variable SENTROK_DATABASE, else sentrok.mdb of defaultDatabase(): in the program folder, or in the
// user's or the service's own folder when the program is installed.
QString chooseDatabase(const QStringList& arguments, const QString& programFolder);

}  // namespace sentrok
