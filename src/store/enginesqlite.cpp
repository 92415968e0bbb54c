// SQLite: the database is one file beside the program or wherever the user keeps it.

#include "common/conversions.h"
#include "store/engine.h"
#include "store/lease.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QObject>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QUrl>

#include <sys/stat.h>

#include <mutex>
#include <vector>

namespace sentrok {

namespace {

constexpr int kSqliteReadOnly = 8;  // SQLITE_READONLY
// The files the engine keeps beside a database: its write-ahead log, its shared memory, and a
// rollback journal.
constexpr const char* kCompanions[] = {"-wal", "-shm", "-journal"};

struct FileIdentity {
    bool exists = false;
    quint64 device = 0, inode = 0;

    bool same(const FileIdentity& other) const
    {
        return exists && other.exists && device == other.device && inode == other.inode;
    }
};

FileIdentity identityOf(const QString& path)
{
    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0) return {};
    return {true, quint64(st.st_dev), quint64(st.st_ino)};
}

// The engine opens the files it keeps beside a database as they are, following a link: one
// planted there by whoever can write the folder would have the engine write into any file of this
// user. Such a file is refused; the database itself may be a link the user made.
void refuseLinkedCompanions(const DatabaseUrl& url)
{
    QString real = QFileInfo(url.file).canonicalFilePath();
    if (real.isEmpty()) real = url.file;
    for (const char* suffix : kCompanions) {
        const QString companion = real + QLatin1String(suffix);
        struct stat st {};
        if (::lstat(QFile::encodeName(companion).constData(), &st) != 0) continue;
        if (S_ISREG(st.st_mode) && st.st_nlink == 1) continue;
        throw DbError(dbcode::CantOpen,
                      QStringLiteral("рядом с базой данных %1 лежит %2, и это не обычный файл "
                                     "(символическая или жёсткая ссылка, каталог): база не "
                                     "открывается, пока его не удалят")
                          .arg(url.describe(), printableText(QDir::toNativeSeparators(companion))));
    }
}

// Every connection of the program to each database file. When one of them finds that the file at
// its path is not the one it opened (deleted, or replaced by another), all of them are closed, each
// in its own thread, before any opens the file now there: one still open on the old file would
// share the write-ahead log at the path with the new one.
class FileRegistry {
public:
    struct Entry {
        const void* owner;
        QString file;
        QObject* context;  // lives in the connection's own thread
        std::function<void()> closeSoon;
        FileIdentity identity;
        bool open = false;
    };

    static FileRegistry& instance()
    {
        static FileRegistry registry;
        return registry;
    }

    void add(Entry entry)
    {
        const std::lock_guard lock(m_mutex);
        m_entries.push_back(std::move(entry));
    }
    void remove(const void* owner)
    {
        const std::lock_guard lock(m_mutex);
        std::erase_if(m_entries, [owner](const Entry& e) { return e.owner == owner; });
    }
    void setOpen(const void* owner, const FileIdentity& identity, bool open)
    {
        const std::lock_guard lock(m_mutex);
        for (Entry& e : m_entries)
            if (e.owner == owner) {
                e.identity = identity;
                e.open = open;
            }
    }
    // Asks every connection to `file` still open on another file than `now` to close.
    void fileChanged(const QString& file, const FileIdentity& now)
    {
        const std::lock_guard lock(m_mutex);
        for (const Entry& e : m_entries) {
            if (e.file != file || !e.open || e.identity.same(now)) continue;
            // The context goes with the connection, and removing the entry waits for this lock:
            // a connection destroyed meanwhile never sees the call.
            QMetaObject::invokeMethod(e.context, e.closeSoon, Qt::QueuedConnection);
        }
    }
    // True while a connection to `file` is open on another file than `now`.
    bool staleOpen(const QString& file, const FileIdentity& now)
    {
        const std::lock_guard lock(m_mutex);
        for (const Entry& e : m_entries)
            if (e.file == file && e.open &&
                (e.identity.device != now.device || e.identity.inode != now.inode))
                return true;
        return false;
    }

private:
    std::mutex m_mutex;
    std::vector<Entry> m_entries;
};

class FileWatch final : public ConnectionWatch {
public:
    FileWatch(const DatabaseUrl& url, QObject* context, std::function<void()> closeSoon)
        : m_url(url)
    {
        FileRegistry::instance().add({this, m_url.file, context, std::move(closeSoon), {}, false});
    }
    ~FileWatch() override { FileRegistry::instance().remove(this); }

    void beforeOpen(bool reopening) override
    {
        m_identity = identityOf(m_url.file);
        // Reopening after the file came back: not while another connection of the program
        // still holds the old one.
        if (reopening && m_identity.exists &&
            FileRegistry::instance().staleOpen(m_url.file, m_identity)) {
            FileRegistry::instance().fileChanged(m_url.file, m_identity);
            throw sqliteEngine().goneError(m_url);
        }
        refuseLinkedCompanions(m_url);
    }

    void opened() override { FileRegistry::instance().setOpen(this, m_identity, true); }

    void closing(const std::function<void(const QString&)>& run) override
    {
        if (!m_identity.exists || identityOf(m_url.file).same(m_identity)) return;
        // The file was deleted or replaced under us. The engine does not fold its write-ahead log
        // back into a moved file when it closes, and leaves the log at the path, where a file put
        // there later would take it for its own. Folding it in now empties it.
        try {
            run(QStringLiteral("PRAGMA wal_checkpoint(TRUNCATE)"));
        } catch (const DbError&) {
            // Another connection still reads it; the last one to close empties it.
        }
    }

    void closed() override { FileRegistry::instance().setOpen(this, m_identity, false); }

    Presence presence() override
    {
        m_now = identityOf(m_url.file);
        if (m_now.same(m_identity)) return Presence::Same;
        return m_now.exists ? Presence::Replaced : Presence::Gone;
    }

    void left() override { FileRegistry::instance().fileChanged(m_url.file, m_now); }

    DbError failure(const DbError& e, bool* lost) override
    {
        *lost = false;
        // The engine's words for a file it cannot write or open do not say which file.
        const int code = e.number() & 0xff;
        if (e.isBusy() || (code != kSqliteReadOnly && code != dbcode::CantOpen)) return e;
        return DbError(e.number(),
                       QStringLiteral("%1 (файл %2: проверьте права на него и на его папку)")
                           .arg(e.description(), m_url.describe()),
                       e.statement(), e.isGone() ? DbError::Kind::Gone : DbError::Kind::Other);
    }

private:
    DatabaseUrl m_url;
    FileIdentity m_identity;  // of the file the connection opened
    FileIdentity m_now;       // as last looked at
};

class SQLiteEngine final : public Engine {
public:
    QString driver() const override { return QStringLiteral("QSQLITE"); }

    void configure(QSqlDatabase& db, const DatabaseUrl& url,
                   const DatabaseOptions& options) const override
    {
        // mode=rw: an existing file only; a missing one is an error, never a new empty file.
        QUrl uri = QUrl::fromLocalFile(url.file);
        uri.setScheme(QStringLiteral("file"));
        db.setDatabaseName(uri.toString(QUrl::FullyEncoded) + QStringLiteral("?mode=rw"));
        db.setConnectOptions(
            QStringLiteral("QSQLITE_OPEN_URI;QSQLITE_BUSY_TIMEOUT=%1").arg(options.busyTimeoutMs));
    }

    QStringList afterOpen(const DatabaseOptions&) const override
    {
        // Reading the schema version makes the engine read the file: a file that is not a
        // database fails here, not at the first real statement.
        return {QStringLiteral("PRAGMA foreign_keys=ON"), QStringLiteral("PRAGMA user_version")};
    }

    std::unique_ptr<ConnectionWatch> watch(const DatabaseUrl& url, QObject* context,
                                           std::function<void()> closeSoon) const override
    {
        return std::make_unique<FileWatch>(url, context, std::move(closeSoon));
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

    DbError goneError(const DatabaseUrl& url, const QString&) const override
    {
        return DbError(dbcode::CantOpen,
                       QStringLiteral("файл базы данных %1 удалён или заменён; запись "
                                      "приостановлена, пока файл не вернётся на место")
                           .arg(url.describe()),
                       {}, DbError::Kind::Gone);
    }

    void notify(Database&, const QString&) const override {}
    bool notifies() const override { return false; }
    std::unique_ptr<Lease> lease(Database& db) const override { return fileLease(db.url().file); }
    bool logsIn() const override { return false; }

    void makeEmpty(const DatabaseUrl& url) const override
    {
        const QString file = url.file;
        // A link to nowhere would have the engine make the file wherever it points; a log or
        // shared memory file already beside a new database is another's, or a trap.
        for (const char* suffix : {"", "-wal", "-shm", "-journal"}) {
            const QFileInfo there(file + QLatin1String(suffix));
            if (there.exists() || there.isSymLink())
                throw DbError(dbcode::CantOpen,
                              QStringLiteral("файл %1 уже существует; он не будет перезаписан")
                                  .arg(printableText(QDir::toNativeSeparators(there.filePath()))));
        }
        // The file itself, in write-ahead mode from the start, before any other connection.
        const QString name = Database::uniqueName(QStringLiteral("create"));
        bool ok = false;
        QSqlError error;
        {
            QSqlDatabase db = QSqlDatabase::addDatabase(driver(), name);
            db.setDatabaseName(file);
            ok = db.open();
            error = db.lastError();
            if (ok) {
                QSqlQuery q(db);
                ok = q.exec(QStringLiteral("PRAGMA journal_mode=WAL"));
                if (!ok) error = q.lastError();
            }
            db.close();
        }
        QSqlDatabase::removeDatabase(name);
        if (ok) return;
        QFile::remove(file);
        bool numeric = false;
        const int number = error.nativeErrorCode().toInt(&numeric);
        throw DbError(
            numeric ? number : dbcode::CantOpen,
            error.text().isEmpty() ? QStringLiteral("не удалось создать файл") : error.text());
    }

    void discardNew(const DatabaseUrl& url) const override
    {
        for (const char* suffix : {"", "-wal", "-shm"})
            QFile::remove(url.file + QString::fromLatin1(suffix));
    }

    bool missing(const DatabaseUrl& url) const override { return !QFile::exists(url.file); }

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

}  // namespace

const Engine& sqliteEngine()
{
    static const SQLiteEngine engine;
    return engine;
}

}  // namespace sentrok
