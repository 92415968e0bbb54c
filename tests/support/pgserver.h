#pragma once

#include <QString>
#include <QTemporaryDir>

#include <memory>

namespace sentrok::test {

// A PostgreSQL server of the tests' own: a cluster made with initdb in a temporary folder (as an
// unprivileged user when the tests run as root), listening on a Unix socket in that folder and on a
// free port of 127.0.0.1, stopped when the test process ends. Started at the first use.
class PgServer {
public:
    static PgServer& instance();
    ~PgServer();

    // Why it could not start (tests skip and say so); empty when it runs.
    const QString& unavailable() const { return m_why; }
    // A new, empty database on it, as a URL for Database.
    QString newDatabase();
    // The same database through TCP on 127.0.0.1 (the URL's host is the socket otherwise).
    QString tcpUrl(const QString& name) const;
    int port() const { return m_port; }
    // Stops the server at once, as a crash would (for tests of connections lost).
    void kill();
    bool start();

private:
    PgServer();
    QString run(const QStringList& command, int timeoutMs = 60000);

    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_bin, m_user, m_why;
    int m_port = 0;
    bool m_running = false;
    int m_databases = 0;
};

}  // namespace sentrok::test
