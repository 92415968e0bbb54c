#include "store/database.h"

#include "common/conversions.h"
#include "store/engine.h"
#include "store/schema.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <utility>
#include <QFile>
#include <QFileInfo>
#include <QEventLoop>
#include <QSqlDatabase>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlRecord>
#include <QThread>
#include <QTimer>
#include <QUrl>

#include <sys/stat.h>

#include <atomic>
#include <mutex>
#include <vector>

namespace sentrok {

namespace {

// Between two attempts at a statement that found the database locked.
constexpr int kRetryPauseMs = 30;
constexpr int kSqliteReadOnly = 8;  // SQLITE_READONLY

struct FileIdentity {
    bool exists = false;
    quint64 device = 0, inode = 0;
};

FileIdentity identityOf(const QString& path)
{
    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0) return {};
    return {true, quint64(st.st_dev), quint64(st.st_ino)};
}

DbError goneError(const DatabaseUrl& url, const QString& why = {})
{
    if (url.isSQLite())
        return DbError(dbcode::CantOpen,
                       QStringLiteral("файл базы данных %1 удалён или заменён; запись "
                                      "приостановлена, пока файл не вернётся на место")
                           .arg(url.describe()),
                       {}, DbError::Kind::Gone);
    return DbError(dbcode::CantOpen,
                   QStringLiteral("нет связи с базой данных %1%2; запись приостановлена, пока "
                                  "связь не восстановится")
                       .arg(url.describe(), why.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(why)),
                   {}, DbError::Kind::Gone);
}

// The engine opens the files it keeps beside a database (its write-ahead log, its shared memory,
// a rollback journal) as they are, following a link: one planted there by whoever can write the
// folder would have the engine write into any file of this user. Such a file is refused; the
// database itself may be a link the user made.
void refuseLinkedCompanions(const DatabaseUrl& url)
{
    QString real = QFileInfo(url.file).canonicalFilePath();
    if (real.isEmpty()) real = url.file;
    for (const char* suffix : {"-wal", "-shm", "-journal"}) {
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

bool onMainThread()
{
    const QCoreApplication* app = QCoreApplication::instance();
    return app && QThread::currentThread() == app->thread();
}

// Lets the event loop run for a moment without user input: timers, sockets and repaints go on,
// clicks wait. Not nested twice: a statement run from inside the pause fails at once instead.
thread_local bool t_pausing = false;

void pause()
{
    if (onMainThread()) {
        t_pausing = true;
        QEventLoop loop;
        QTimer::singleShot(kRetryPauseMs, &loop, &QEventLoop::quit);
        loop.exec(QEventLoop::ExcludeUserInputEvents);
        t_pausing = false;
    } else {
        QThread::msleep(kRetryPauseMs);
    }
}

}  // namespace

// Every connection of the program to each database file. When one of them finds that the file at
// its path is not the one it opened (deleted, or replaced by another), all of them are closed, each
// in its own thread, before any opens the file now there: one still open on the old file would
// share the write-ahead log at the path with the new one.
class FileRegistry {
public:
    static FileRegistry& instance()
    {
        static FileRegistry registry;
        return registry;
    }

    void add(Database* db)
    {
        const std::lock_guard lock(m_mutex);
        m_entries.push_back({db, db->m_file, 0, 0, false});
    }
    void remove(Database* db)
    {
        const std::lock_guard lock(m_mutex);
        std::erase_if(m_entries, [db](const Entry& e) { return e.db == db; });
    }
    void setOpen(Database* db, quint64 device, quint64 inode, bool open)
    {
        const std::lock_guard lock(m_mutex);
        for (Entry& e : m_entries)
            if (e.db == db) e = {db, e.file, device, inode, open};
    }
    // Asks every connection to `file` still open on another file than `now` to close.
    void fileChanged(const QString& file, const FileIdentity& now)
    {
        const std::lock_guard lock(m_mutex);
        for (const Entry& e : m_entries) {
            if (e.file != file || !e.open || (now.exists && e.device == now.device &&
                                               e.inode == now.inode))
                continue;
            Database* db = e.db;
            // The context goes with the connection, and removing the entry waits for this lock:
            // a connection destroyed meanwhile never sees the call.
            QMetaObject::invokeMethod(
                db->m_context.get(), [db] { db->closeFromRegistry(); }, Qt::QueuedConnection);
        }
    }
    // True while a connection to `file` is open on another file than `now`.
    bool staleOpen(const QString& file, const FileIdentity& now)
    {
        const std::lock_guard lock(m_mutex);
        for (const Entry& e : m_entries)
            if (e.file == file && e.open && (e.device != now.device || e.inode != now.inode))
                return true;
        return false;
    }

private:
    struct Entry {
        Database* db;
        QString file;
        quint64 device, inode;
        bool open;
    };
    std::mutex m_mutex;
    std::vector<Entry> m_entries;
};

bool isDriverNoise(const QString& message)
{
    return message.startsWith(QLatin1String("Unable to free statement: ")) ||
           message == QLatin1String("This version of PostgreSQL is not supported and may not work.") ||
           message == QLatin1String("The server version of this PostgreSQL is unknown, falling back "
                                    "to the client version.");
}

namespace {
QtMessageHandler g_nextHandler = nullptr;
}  // namespace

void silenceDriverNoise()
{
    static std::once_flag once;
    std::call_once(once, [] {
        g_nextHandler = qInstallMessageHandler(
            [](QtMsgType type, const QMessageLogContext& context, const QString& message) {
                if (type == QtWarningMsg && isDriverNoise(message)) return;
                if (g_nextHandler) g_nextHandler(type, context, message);
            });
    });
}

DbError::DbError(int number, const QString& description, const QString& statement, Kind kind)
    : std::runtime_error(QStringLiteral("%1: %2").arg(number).arg(description).toStdString()),
      m_number(number), m_description(description), m_statement(statement), m_kind(kind)
{
}

bool DbError::isBusy() const { return m_kind == Kind::Busy; }

bool DbError::isGone() const { return m_kind == Kind::Gone; }

QString DbError::userText() const
{
    const QString code = m_code.isEmpty() ? QString::number(m_number) : m_code;
    return QStringLiteral("Ошибка %1: %2").arg(code, m_description);
}

Result::Result(std::shared_ptr<QSqlQuery> query) : m_query(std::move(query))
{
    if (m_query->isSelect()) m_columns = m_query->record();
    m_eof = !(m_query->isSelect() && m_query->next());
    // A statement that is done is reset at once: an unfinished one holds the file open for
    // reading and would keep a transaction from committing.
    if (m_eof) m_query->finish();
}

Result::~Result()
{
    if (m_query && m_query->isActive()) m_query->finish();
}

Result::Result(Result&& other) noexcept
    : m_query(std::move(other.m_query)), m_columns(std::move(other.m_columns)), m_eof(other.m_eof)
{
    other.m_eof = true;
}

Result& Result::operator=(Result&& other) noexcept
{
    if (this != &other) {
        if (m_query && m_query->isActive()) m_query->finish();
        m_query = std::move(other.m_query);
        m_columns = std::move(other.m_columns);
        m_eof = other.m_eof;
        other.m_eof = true;
    }
    return *this;
}

void Result::moveNext()
{
    if (m_eof) return;
    m_eof = !m_query->next();
    if (m_eof) m_query->finish();
}

void Result::requireRow(const QString& what) const
{
    if (m_eof)
        throw DbError(dbcode::Empty, QStringLiteral("нет текущей записи (поле %1)").arg(what),
                      m_query->lastQuery());
}

QVariant Result::field(const QString& name) const
{
    requireRow(name);
    const int index = m_columns.indexOf(name);
    if (index < 0)
        throw DbError(dbcode::Mismatch, QStringLiteral("нет поля %1").arg(name),
                      m_query->lastQuery());
    return m_query->value(index);
}

QVariant Result::field(int position) const
{
    requireRow(QString::number(position));
    if (position < 0 || position >= m_columns.count())
        throw DbError(dbcode::Mismatch, QStringLiteral("нет поля номер %1").arg(position),
                      m_query->lastQuery());
    return m_query->value(position);
}

void Result::close()
{
    if (m_query) m_query->finish();
    m_eof = true;
}

Database::Database(const QString& location, const QString& connectionName,
                   const DatabaseOptions& options)
    : m_url(DatabaseUrl::parse(location)), m_engine(&Engine::of(m_url)), m_file(m_url.file),
      m_name(connectionName), m_options(options), m_context(std::make_unique<QObject>())
{
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(
            m_url.isSQLite() ? QStringLiteral("QSQLITE") : QStringLiteral("QPSQL"), m_name);
        m_engine->configure(db, m_url, m_options);
    }
    if (m_engine->isFile()) FileRegistry::instance().add(this);
    try {
        open();
    } catch (...) {
        if (m_engine->isFile()) FileRegistry::instance().remove(this);
        QSqlDatabase::removeDatabase(m_name);
        throw;
    }
}

Database::~Database()
{
    if (m_engine->isFile()) FileRegistry::instance().remove(this);
    m_statements.clear();
    {
        QSqlDatabase db = QSqlDatabase::database(m_name, false);
        db.close();
    }
    QSqlDatabase::removeDatabase(m_name);
}

void Database::open()
{
    FileIdentity identity;
    if (m_engine->isFile()) {
        identity = identityOf(m_file);
        // Reopening after the file came back: not while another connection of the program
        // still holds the old one.
        if (m_everOpened && identity.exists &&
            FileRegistry::instance().staleOpen(m_file, identity)) {
            FileRegistry::instance().fileChanged(m_file, identity);
            throw goneError(m_url);
        }
    }
    if (m_engine->isFile()) refuseLinkedCompanions(m_url);
    QSqlDatabase db = QSqlDatabase::database(m_name, false);
    if (!db.open()) {
        const DbError e = m_engine->error(db.lastError(), {});
        if (m_everOpened) throw goneError(m_url, e.description());
        DbError out(e.number(), QStringLiteral("не удаётся открыть базу данных %1 (%2)")
                                    .arg(m_url.describe(), e.description()));
        out.setCode(e.code());
        throw out;
    }
    m_open = true;
    try {
        for (const QString& statement : m_engine->afterOpen(m_options)) run(statement, {});
        refuseNewerSchema();
    } catch (...) {
        close();
        throw;
    }
    m_everOpened = true;
    ++m_generation;
    subscribeListeners();
    if (m_engine->isFile()) {
        m_device = identity.device;
        m_inode = identity.inode;
        FileRegistry::instance().setOpen(this, m_device, m_inode, true);
    }
}

// A database a newer Sentrok has made or upgraded may mean its tables otherwise than this one
// reads them: nothing of this program reads or writes it.
void Database::refuseNewerSchema()
{
    const QString places = m_engine->countVersionPlaces();
    if (!places.isEmpty() && run(places, {}).field(0).toLongLong() == 0) return;
    Result r = run(m_engine->readVersion(), {});
    const int version = r.eof() ? 0 : r.field(0).toInt();
    r.close();
    if (version > kSchemaVersion) throw newerSchemaError(m_url, version);
}

DbError newerSchemaError(const DatabaseUrl& url, int version)
{
    return DbError(dbcode::CantOpen,
                   QStringLiteral("база данных %1 сделана более новой версией Sentrok (версия схемы "
                                  "%2), а эта программа знает версии не выше %3: обновите программу")
                       .arg(url.describe())
                       .arg(version)
                       .arg(kSchemaVersion));
}

void Database::close()
{
    // Statements are finalised by closing; results still held elsewhere just end.
    m_statements.clear();
    if (m_engine->isFile()) {
        const FileIdentity now = identityOf(m_file);
        if (m_device != 0 && !(now.exists && now.device == m_device && now.inode == m_inode)) {
            // The file was deleted or replaced under us. The engine does not fold its write-ahead
            // log back into a moved file when it closes, and leaves the log at the path, where a
            // file put there later would take it for its own. Folding it in now empties it.
            try {
                run(QStringLiteral("PRAGMA wal_checkpoint(TRUNCATE)"), {});
            } catch (const DbError&) {
                // Another connection still reads it; the last one to close empties it.
            }
            m_statements.clear();
        }
    }
    QSqlDatabase::database(m_name, false).close();
    m_open = false;
    m_inTransaction = false;
    m_closeAfterTransaction = false;
    if (m_engine->isFile()) FileRegistry::instance().setOpen(this, m_device, m_inode, false);
}

void Database::closeFromRegistry()
{
    if (!m_open) return;
    if (m_inTransaction) m_closeAfterTransaction = true;
    else close();
}

void Database::ensureOpen()
{
    if (!m_open) {
        open();
        return;
    }
    if (!m_engine->isFile()) return;
    const FileIdentity now = identityOf(m_file);
    if (now.exists && now.device == m_device && now.inode == m_inode) return;
    close();
    FileRegistry::instance().fileChanged(m_file, now);
    if (!now.exists) throw goneError(m_url);
    open();
}

template <typename Fn>
auto Database::patiently(Fn&& fn) -> decltype(fn())
{
    QElapsedTimer waited;
    waited.start();
    bool reopened = false;
    for (;;) {
        try {
            return fn();
        } catch (const DbError& e) {
            // A server connection that was lost meanwhile (the server restarted) is found out
            // by the first statement after it: that statement is tried once more on a fresh
            // connection, so that nothing is lost to it. Inside a transaction the caller
            // repeats the whole unit.
            if (e.isGone() && std::exchange(m_connectionLost, false) && !m_inTransaction &&
                !std::exchange(reopened, true))
                continue;
            if (!e.isBusy() || m_inTransaction || t_pausing ||
                waited.elapsed() + kRetryPauseMs > m_options.patienceMs) {
                if (!e.isBusy()) throw;
                throw DbError(e.number(),
                              QStringLiteral("база данных занята другой программой (%1)")
                                  .arg(e.description()),
                              e.statement(), DbError::Kind::Busy);
            }
        }
        pause();
    }
}

std::shared_ptr<QSqlQuery> Database::prepared(const QString& sql)
{
    auto it = m_statements.find(sql);
    // A statement whose result is still held elsewhere cannot be run again meanwhile.
    if (it != m_statements.end() && it->use_count() == 1) return *it;
    auto query = std::make_shared<QSqlQuery>(QSqlDatabase::database(m_name, false));
    query->setForwardOnly(true);
    if (!query->prepare(sql)) throw failure(query->lastError(), sql);
    if (it == m_statements.end() && m_statements.size() < 64) m_statements.insert(sql, query);
    return query;
}

DbError Database::failure(const QSqlError& error, const QString& sql)
{
    DbError e = m_engine->error(error, sql);
    // The engine's words for a file it cannot write or open do not say which file.
    if (m_engine->isFile() && !e.isBusy() &&
        ((e.number() & 0xff) == kSqliteReadOnly || (e.number() & 0xff) == dbcode::CantOpen))
        return DbError(e.number(),
                       QStringLiteral("%1 (файл %2: проверьте права на него и на его папку)")
                           .arg(e.description(), m_url.describe()),
                       e.statement(), e.isGone() ? DbError::Kind::Gone : DbError::Kind::Other);
    // A connection to a server that is lost is opened afresh by the next statement.
    if (e.isGone() && !m_engine->isFile()) {
        m_connectionLost = true;
        close();
        return goneError(m_url, e.description());
    }
    return e;
}

Result Database::run(const QString& sql, const QVariantList& values)
{
    if (!m_open) throw goneError(m_url);
    const QString spelled = m_engine->spell(sql);
    if (!m_engine->prepares(spelled, !values.isEmpty())) {
        auto query = std::make_shared<QSqlQuery>(QSqlDatabase::database(m_name, false));
        query->setForwardOnly(true);
        if (!query->exec(spelled)) throw failure(query->lastError(), sql);
        return Result(std::move(query));
    }
    std::shared_ptr<QSqlQuery> query = prepared(spelled);
    for (int i = 0; i < values.size(); ++i) {
        // A null QString is still a text: it is stored as an empty one, never as NULL.
        const QVariant& v = values[i];
        if (v.typeId() == QMetaType::QString && v.toString().isNull())
            query->bindValue(i, QStringLiteral(""));
        else
            query->bindValue(i, v);
    }
    if (!query->exec()) throw failure(query->lastError(), sql);
    return Result(std::move(query));
}

Result Database::execute(const QString& sql, const QVariantList& values)
{
    Result result = patiently([&] {
        if (!m_inTransaction) ensureOpen();
        return run(sql, values);
    });
    if (m_closeAfterTransaction && !m_inTransaction) close();
    return result;
}

void Database::begin()
{
    patiently([this] {
        ensureOpen();
        run(m_engine->begin(), {});
    });
    m_inTransaction = true;
}

void Database::commit()
{
    try {
        run(QStringLiteral("COMMIT"), {});
    } catch (const DbError&) {
        rollback();
        throw;
    }
    m_inTransaction = false;
    if (m_closeAfterTransaction) close();
}

void Database::rollback()
{
    if (m_open) {
        try {
            run(QStringLiteral("ROLLBACK"), {});
        } catch (const DbError&) {
            // Nothing to undo: the engine ended the transaction already.
        }
    }
    m_inTransaction = false;
    if (m_closeAfterTransaction) close();
}

void Database::notify(const QString& channel)
{
    if (m_engine->notifies())
        execute(QStringLiteral("SELECT pg_notify(?, '')"), {channel});
}

bool Database::listen(const QString& channel, std::function<void()> news)
{
    if (!m_engine->notifies()) return false;
    const bool first = m_listeners.isEmpty();
    m_listeners.insert(channel, std::move(news));
    if (first) {
        QSqlDriver* driver = QSqlDatabase::database(m_name, false).driver();
        QObject::connect(driver, &QSqlDriver::notification, m_context.get(),
                         [this](const QString& name) {
                             if (const auto it = m_listeners.constFind(name); it != m_listeners.cend())
                                 (*it)();
                         });
    }
    subscribeListeners();
    return true;
}

void Database::subscribeListeners()
{
    // A connection opened afresh has forgotten what it listened to.
    QSqlDriver* driver = QSqlDatabase::database(m_name, false).driver();
    for (auto it = m_listeners.cbegin(); it != m_listeners.cend(); ++it)
        if (!driver->subscribedToNotifications().contains(it.key()))
            driver->subscribeToNotification(it.key());
}

QString Database::fileIn(const QString& programFolder)
{
    return programFolder + QStringLiteral("/sentrok.mdb");
}

QString Database::locationOr(const QString& database, const QString& programFolder)
{
    return database.isEmpty() ? fileIn(programFolder) : database;
}

QString Database::uniqueName(const QString& base)
{
    static std::atomic<int> counter{0};
    return QStringLiteral("%1#%2").arg(base).arg(++counter);
}

}  // namespace sentrok
