#include "store/lease.h"

#include "store/database.h"
#include "store/engine.h"

#include <QCoreApplication>
#include <QFile>
#include <QSysInfo>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace sentrok {

namespace {

// The advisory lock's key: "Sentrok" in the low bytes, the same for every process.
constexpr qint64 kLeaseKey = 0x53656e74726f6bLL;

class FileLease final : public Lease {
public:
    explicit FileLease(const QString& databaseFile) : m_path(databaseFile + QStringLiteral(".monitor")) {}
    ~FileLease() override { release(); }

    bool tryAcquire(const QString& holder) override
    {
        if (held()) return true;
        release();
        const QByteArray path = QFile::encodeName(m_path);
        const int fd = ::open(path.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (fd < 0) return false;
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            ::close(fd);
            return false;
        }
        // The lock is on the file as it is now at the path; one deleted and made anew by another
        // process meanwhile would be a second lease.
        struct stat mine {}, there {};
        if (::fstat(fd, &mine) != 0 || ::stat(path.constData(), &there) != 0 ||
            mine.st_ino != there.st_ino || mine.st_dev != there.st_dev) {
            ::close(fd);
            return false;
        }
        const QByteArray words = holder.toUtf8();
        if (::ftruncate(fd, 0) == 0 && ::pwrite(fd, words.constData(), size_t(words.size()), 0) < 0) {
            // The name is for the others' status bar only; the lock holds without it.
        }
        m_fd = fd;
        m_holder = holder;
        return true;
    }

    bool held() override
    {
        if (m_fd < 0) return false;
        struct stat mine {}, there {};
        return ::fstat(m_fd, &mine) == 0 &&
               ::stat(QFile::encodeName(m_path).constData(), &there) == 0 &&
               mine.st_ino == there.st_ino && mine.st_dev == there.st_dev;
    }

    void release() override
    {
        if (m_fd < 0) return;
        ::close(m_fd);  // lets the lock go
        m_fd = -1;
    }

    QString holder() override
    {
        if (held()) return m_holder;
        QFile f(m_path);
        if (!f.open(QIODevice::ReadOnly)) return {};
        // A lock nobody holds is a name left by a process that has ended.
        const int fd = ::open(QFile::encodeName(m_path).constData(), O_RDONLY | O_CLOEXEC);
        if (fd >= 0) {
            const bool free = ::flock(fd, LOCK_SH | LOCK_NB) == 0;
            ::close(fd);
            if (free) return {};
        }
        return QString::fromUtf8(f.read(1024)).trimmed();
    }

private:
    QString m_path;
    QString m_holder;
    int m_fd = -1;
};

class ServerLease final : public Lease {
public:
    explicit ServerLease(Database& db) : m_db(db) {}
    ~ServerLease() override { release(); }

    bool tryAcquire(const QString& holder) override
    {
        if (held()) return true;
        m_generation = 0;
        // The name others read in the server's list of sessions.
        m_db.execute(QStringLiteral("SELECT set_config('application_name', ?, false)"),
                     {holder.left(63)});
        if (!m_db.execute(QStringLiteral("SELECT pg_try_advisory_lock(?)"), {kLeaseKey})
                 .field(0)
                 .toBool())
            return false;
        m_generation = m_db.generation();
        return true;
    }

    // Held as long as the session it was taken in lives: a connection opened afresh has lost it.
    bool held() override { return m_generation != 0 && m_generation == m_db.generation() && m_db.isOpen(); }

    void release() override
    {
        if (!held()) return;
        m_generation = 0;
        try {
            m_db.execute(QStringLiteral("SELECT pg_advisory_unlock(?)"), {kLeaseKey});
        } catch (const DbError&) {
            // The session is gone, and the lock with it.
        }
    }

    QString holder() override
    {
        Result r = m_db.execute(
            QStringLiteral("SELECT a.application_name FROM pg_locks l JOIN pg_stat_activity a ON "
                           "a.pid = l.pid WHERE l.locktype = 'advisory' AND l.granted AND "
                           "l.objid = ? AND l.classid = ? AND l.database = (SELECT oid FROM "
                           "pg_database WHERE datname = current_database())"),
            {kLeaseKey & 0xffffffffLL, kLeaseKey >> 32});
        return r.eof() ? QString() : r.field(0).toString();
    }

private:
    Database& m_db;
    quint64 m_generation = 0;
};

}  // namespace

std::unique_ptr<Lease> Lease::of(Database& db)
{
    if (db.engine().isFile()) return std::make_unique<FileLease>(db.url().file);
    return std::make_unique<ServerLease>(db);
}

QString thisProcess(const QString& program)
{
    return QStringLiteral("%1 на %2, pid %3")
        .arg(program, QSysInfo::machineHostName())
        .arg(QCoreApplication::applicationPid());
}

}  // namespace sentrok
