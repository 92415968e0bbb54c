#include "store/lease.h"

#include "common/conversions.h"
#include "common/safefile.h"
#include "store/database.h"
#include "store/engine.h"

#include <QCoreApplication>
#include <QFile>
#include <QSysInfo>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>

namespace sentrok {

namespace {

// The advisory lock's key: "Sentrok" in the low bytes, the same for every process.
constexpr qint64 kLeaseKey = 0x53656e74726f6bLL;
// The server keeps 63 bytes of an application name and turns every byte beyond printable ASCII
// into "?".
constexpr qsizetype kMaxServerName = 63;

// The holder's words as the server keeps them: UTF-8 with every byte it would lose (and "%")
// written %XX, cut between characters.
QString serverName(const QString& words)
{
    QByteArray out;
    for (const char32_t c : words.toUcs4()) {
        QByteArray piece;
        for (const char b : QString::fromUcs4(&c, 1).toUtf8()) {
            const auto u = static_cast<unsigned char>(b);
            if (u >= 0x20 && u < 0x7f && u != '%')
                piece += b;
            else
                piece += '%' + QByteArray::number(u, 16).toUpper().rightJustified(2, '0');
        }
        if (out.size() + piece.size() > kMaxServerName) break;
        out += piece;
    }
    return QString::fromLatin1(out);
}

QString wordsOf(const QString& serverName)
{
    return QString::fromUtf8(QByteArray::fromPercentEncoding(serverName.toLatin1()));
}

// The lease file is beside the database, in a folder that others of the team may write to: it is
// opened as PlainFile says (no link followed, plain files of one name only), and one that cannot
// be used is an error in words, not a lease that seems taken by nobody.
class FileLease final : public Lease {
public:
    explicit FileLease(const QString& databaseFile)
        : m_path(databaseFile + QStringLiteral(".monitor"))
    {
    }
    ~FileLease() override { release(); }

    bool tryAcquire(const QString& holder) override
    {
        if (held()) return true;
        release();
        PlainFile file = openPlainFile(m_path, O_RDWR | O_CREAT, kWhat, 0644);
        if (file.problem.isEmpty() && ::flock(file.fd.get(), LOCK_EX | LOCK_NB) != 0)
            return false;  // another process holds it
        if (!file.problem.isEmpty()) {
            // A file this user may not write, made by another user of the folder: the lease is
            // that user's process's while it holds the lock, and nobody's to take otherwise.
            if ((file.error == EACCES || file.error == EPERM) && lockedByOther()) return false;
            throw DbError(dbcode::CantOpen,
                          QStringLiteral("право на проверки не взять: %1. Пока это так, проверки "
                                         "здесь не ведутся; попытки продолжаются")
                              .arg(file.problem));
        }
        // The lock is on the file as it is now at the path; one deleted and made anew by another
        // process meanwhile would be a second lease.
        if (!sameFile(file.st)) return false;
        const QByteArray words = holder.toUtf8();
        if (::ftruncate(file.fd.get(), 0) == 0 &&
            ::pwrite(file.fd.get(), words.constData(), size_t(words.size()), 0) < 0) {
            // The name is for the others' status bar only; the lock holds without it.
        }
        m_fd = std::move(file.fd);
        m_holder = holder;
        return true;
    }

    bool held() override
    {
        struct stat mine {};
        return m_fd.valid() && ::fstat(m_fd.get(), &mine) == 0 && sameFile(mine);
    }

    void release() override { m_fd.reset(); }  // closing lets the lock go

    QString holder() override
    {
        if (held()) return m_holder;
        PlainFile file = openPlainFile(m_path, O_RDONLY, kWhat);
        // A lock nobody holds is a name left by a process that has ended.
        if (!file.problem.isEmpty() || file.missing() ||
            ::flock(file.fd.get(), LOCK_SH | LOCK_NB) == 0)
            return {};
        QByteArray words(kMaxHolderBytes, Qt::Uninitialized);
        const ssize_t n = ::pread(file.fd.get(), words.data(), size_t(words.size()), 0);
        words.truncate(n > 0 ? n : 0);
        // Written by whoever could write the folder: shown, never obeyed by a terminal.
        return printableText(QString::fromUtf8(words).trimmed());
    }

private:
    static inline const QString kWhat = QStringLiteral("файл блокировки");
    static constexpr qsizetype kMaxHolderBytes = 1024;

    // The file at the path now, not followed through a link, is the one described by `st`.
    bool sameFile(const struct stat& st) const
    {
        struct stat there {};
        return ::lstat(QFile::encodeName(m_path).constData(), &there) == 0 &&
               st.st_ino == there.st_ino && st.st_dev == there.st_dev;
    }

    // Whether another process holds the lock on a file this one can read but not write.
    bool lockedByOther() const
    {
        const PlainFile file = openPlainFile(m_path, O_RDONLY, kWhat);
        return file.problem.isEmpty() && !file.missing() &&
               ::flock(file.fd.get(), LOCK_SH | LOCK_NB) != 0;
    }

    QString m_path;
    QString m_holder;
    UniqueFd m_fd;
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
                     {serverName(holder)});
        if (!m_db.execute(QStringLiteral("SELECT pg_try_advisory_lock(?)"), {kLeaseKey})
                 .field(0)
                 .toBool())
            return false;
        m_generation = m_db.generation();
        return true;
    }

    // Held as long as the session it was taken in lives: a connection opened afresh has lost it.
    bool held() override
    {
        return m_generation != 0 && m_generation == m_db.generation() && m_db.isOpen();
    }

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
        return r.eof() ? QString() : printableText(wordsOf(r.field(0).toString()));
    }

private:
    Database& m_db;
    quint64 m_generation = 0;
};

}  // namespace

std::unique_ptr<Lease> Lease::of(Database& db) { return db.engine().lease(db); }

std::unique_ptr<Lease> fileLease(const QString& databaseFile)
{
    return std::make_unique<FileLease>(databaseFile);
}

std::unique_ptr<Lease> serverLease(Database& db) { return std::make_unique<ServerLease>(db); }

QString thisProcess(const QString& program)
{
    return QStringLiteral("%1 на %2, pid %3")
        .arg(program, QSysInfo::machineHostName())
        .arg(QCoreApplication::applicationPid());
}

}  // namespace sentrok
