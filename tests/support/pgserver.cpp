#include "support/pgserver.h"

#include "store/database.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSqlDatabase>
#include <QTcpServer>
#include <QUrl>
#include <QUrlQuery>

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>

namespace sentrok::test {

namespace {

QString findBin()
{
    QStringList versions =
        QDir(QStringLiteral("/usr/lib/postgresql")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    std::sort(versions.begin(), versions.end(),
              [](const QString& a, const QString& b) { return a.toInt() > b.toInt(); });
    for (const QString& v : versions) {
        const QString bin = QStringLiteral("/usr/lib/postgresql/%1/bin").arg(v);
        if (QFile::exists(bin + QStringLiteral("/initdb")) &&
            QFile::exists(bin + QStringLiteral("/pg_ctl")))
            return bin;
    }
    return {};
}

int freePort()
{
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost, 0)) return 0;
    return probe.serverPort();
}

}  // namespace

PgServer& PgServer::instance()
{
    static PgServer server;
    return server;
}

PgServer::PgServer() { start(); }

PgServer::~PgServer() { kill(); }

QString PgServer::run(const QStringList& command, int timeoutMs)
{
    QStringList full = command;
    // initdb refuses root: the cluster belongs to an unprivileged user.
    if (!m_user.isEmpty())
        full = QStringList{QStringLiteral("runuser"), QStringLiteral("-u"), m_user,
                           QStringLiteral("--")} +
               full;
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(full.first(), full.mid(1));
    if (!p.waitForStarted(5000)) return QStringLiteral("cannot run %1").arg(full.first());
    if (!p.waitForFinished(timeoutMs)) {
        p.kill();
        return QStringLiteral("%1 did not finish").arg(command.first());
    }
    if (p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0)
        return QStringLiteral("%1 failed: %2")
            .arg(command.first(), QString::fromLocal8Bit(p.readAll()).trimmed());
    return {};
}

bool PgServer::start()
{
    m_why.clear();
    if (qEnvironmentVariableIsSet("SENTROK_NO_POSTGRES")) {
        m_why = QStringLiteral("SENTROK_NO_POSTGRES is set");
        return false;
    }
    m_bin = findBin();
    if (m_bin.isEmpty()) {
        m_why = QStringLiteral(
            "no PostgreSQL server installed (/usr/lib/postgresql/*/bin/initdb; "
            "Debian package postgresql-15)");
        return false;
    }
    if (!QSqlDatabase::isDriverAvailable(QStringLiteral("QPSQL"))) {
        m_why =
            QStringLiteral("Qt's PostgreSQL driver is missing (Debian package libqt6sql6-psql)");
        return false;
    }
    if (geteuid() == 0) {
        for (const char* candidate : {"postgres", "nobody"})
            if (getpwnam(candidate)) {
                m_user = QString::fromLatin1(candidate);
                break;
            }
        if (m_user.isEmpty()) {
            m_why = QStringLiteral("running as root and no unprivileged user to own the cluster");
            return false;
        }
    }
    if (!m_dir) {
        // Not under /tmp of a private mount namespace only: the folder must be reachable by its
        // owner.
        m_dir = std::make_unique<QTemporaryDir>(QDir::tempPath() +
                                                QStringLiteral("/sentrok-pg-XXXXXX"));
        if (!m_dir->isValid()) {
            m_why = QStringLiteral("cannot make a temporary folder");
            return false;
        }
        QFile::setPermissions(m_dir->path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                                 QFileDevice::ExeOwner | QFileDevice::ReadOther |
                                                 QFileDevice::ExeOther);
        if (!m_user.isEmpty()) {
            const passwd* pw = getpwnam(qPrintable(m_user));
            if (chown(QFile::encodeName(m_dir->path()).constData(), pw->pw_uid, pw->pw_gid) != 0) {
                m_why = QStringLiteral("cannot give the temporary folder to %1").arg(m_user);
                return false;
            }
        }
        const QString data = m_dir->path() + QStringLiteral("/data");
        m_why = run({m_bin + QStringLiteral("/initdb"), QStringLiteral("-D"), data,
                     QStringLiteral("-A"), QStringLiteral("trust"), QStringLiteral("-U"),
                     QStringLiteral("postgres"), QStringLiteral("-E"), QStringLiteral("UTF8"),
                     QStringLiteral("--locale=C"), QStringLiteral("--no-sync")});
        if (!m_why.isEmpty()) return false;
    }
    // Started again after kill(): the same port, so the databases' URLs still hold.
    if (m_port == 0) m_port = freePort();
    if (m_port == 0) {
        m_why = QStringLiteral("no free port on 127.0.0.1");
        return false;
    }
    const QString options =
        QStringLiteral(
            "-c listen_addresses=127.0.0.1 -p %1 -c unix_socket_directories=%2 -c fsync=off "
            "-c full_page_writes=off -c max_connections=200")
            .arg(m_port)
            .arg(m_dir->path());
    m_why = run({m_bin + QStringLiteral("/pg_ctl"), QStringLiteral("-D"),
                 m_dir->path() + QStringLiteral("/data"), QStringLiteral("-o"), options,
                 QStringLiteral("-l"), m_dir->path() + QStringLiteral("/log"), QStringLiteral("-w"),
                 QStringLiteral("-t"), QStringLiteral("60"), QStringLiteral("start")},
                90000);
    m_running = m_why.isEmpty();
    return m_running;
}

void PgServer::kill()
{
    if (!m_dir || m_port == 0 || !m_running) return;
    run({m_bin + QStringLiteral("/pg_ctl"), QStringLiteral("-D"),
         m_dir->path() + QStringLiteral("/data"), QStringLiteral("-m"), QStringLiteral("immediate"),
         QStringLiteral("-w"), QStringLiteral("stop")});
    m_running = false;
}

QString PgServer::newDatabase()
{
    if (!m_why.isEmpty()) return {};
    const QString name =
        QStringLiteral("t%1_%2").arg(QCoreApplication::applicationPid()).arg(++m_databases);
    {
        Database admin(QStringLiteral("postgresql://postgres@/postgres?host=%1&port=%2")
                           .arg(m_dir->path())
                           .arg(m_port),
                       Database::uniqueName(QStringLiteral("pgadmin")));
        admin.execute(QStringLiteral("CREATE DATABASE %1").arg(name));
    }
    return QStringLiteral("postgresql://postgres@/%1?host=%2&port=%3")
        .arg(name, m_dir->path())
        .arg(m_port);
}

QString PgServer::tcpUrl(const QString& name) const
{
    return QStringLiteral("postgresql://postgres@127.0.0.1:%1/%2").arg(m_port).arg(name);
}

}  // namespace sentrok::test
