#include "store/database.h"

#include "common/conversions.h"
#include "store/engine.h"
#include "store/schema.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlRecord>
#include <QThread>
#include <QTimer>
#include <QUrl>
#include <utility>

#include <atomic>
#include <mutex>
#include <vector>

namespace sentrok {

namespace {

// Between two attempts at a statement that found the database locked.
constexpr int kRetryPauseMs = 30;
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

bool isDriverNoise(const QString& message)
{
    return message.startsWith(QLatin1String("Unable to free statement: ")) ||
           message ==
               QLatin1String("This version of PostgreSQL is not supported and may not work.") ||
           message == QLatin1String(
                          "The server version of this PostgreSQL is unknown, falling back "
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
      m_number(number),
      m_description(description),
      m_statement(statement),
      m_kind(kind)
{
}

bool DbError::isBusy() const { return m_kind == Kind::Busy; }

bool DbError::isGone() const { return m_kind == Kind::Gone; }

QString DbError::engineCode() const
{
    return m_code.isEmpty() ? QString::number(m_number) : m_code;
}

QString DbError::userText() const
{
    return QStringLiteral("Ошибка %1: %2").arg(engineCode(), m_description);
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
    : m_url(DatabaseUrl::parse(location)),
      m_engine(&Engine::of(m_url)),
      m_name(connectionName),
      m_options(options),
      m_context(std::make_unique<QObject>())
{
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(m_engine->driver(), m_name);
        m_engine->configure(db, m_url, m_options);
    }
    m_watch = m_engine->watch(m_url, m_context.get(), [this] { closeSoon(); });
    try {
        open();
    } catch (...) {
        m_watch.reset();
        QSqlDatabase::removeDatabase(m_name);
        throw;
    }
}

Database::~Database()
{
    // First: a request to close that comes from another connection finds this one gone.
    m_watch.reset();
    m_statements.clear();
    {
        QSqlDatabase db = QSqlDatabase::database(m_name, false);
        db.close();
    }
    QSqlDatabase::removeDatabase(m_name);
}

void Database::open()
{
    m_watch->beforeOpen(m_everOpened);
    QSqlDatabase db = QSqlDatabase::database(m_name, false);
    if (!db.open()) {
        const DbError e = m_engine->error(db.lastError(), {});
        if (m_everOpened) throw m_engine->goneError(m_url, e.description());
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
    m_watch->opened();
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
    return DbError(
        dbcode::CantOpen,
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
    m_watch->closing([this](const QString& sql) {
        run(sql, {});
        m_statements.clear();
    });
    QSqlDatabase::database(m_name, false).close();
    m_open = false;
    m_inTransaction = false;
    m_closeAfterTransaction = false;
    m_watch->closed();
}

void Database::closeSoon()
{
    if (!m_open) return;
    if (m_inTransaction)
        m_closeAfterTransaction = true;
    else
        close();
}

void Database::ensureOpen()
{
    if (!m_open) {
        open();
        return;
    }
    const ConnectionWatch::Presence presence = m_watch->presence();
    if (presence == ConnectionWatch::Presence::Same) return;
    close();
    m_watch->left();
    if (presence == ConnectionWatch::Presence::Gone) throw m_engine->goneError(m_url);
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
    bool lost = false;
    const DbError e = m_watch->failure(m_engine->error(error, sql), &lost);
    // A connection that is lost is opened afresh by the next statement.
    if (lost) {
        m_connectionLost = true;
        close();
        return m_engine->goneError(m_url, e.description());
    }
    return e;
}

Result Database::run(const QString& sql, const QVariantList& values)
{
    if (!m_open) throw m_engine->goneError(m_url);
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

void Database::notify(const QString& channel) { m_engine->notify(*this, channel); }

bool Database::listen(const QString& channel, std::function<void()> news)
{
    if (!m_engine->notifies()) return false;
    const bool first = m_listeners.isEmpty();
    m_listeners.insert(channel, std::move(news));
    if (first) {
        QSqlDriver* driver = QSqlDatabase::database(m_name, false).driver();
        QObject::connect(
            driver, &QSqlDriver::notification, m_context.get(), [this](const QString& name) {
                if (const auto it = m_listeners.constFind(name); it != m_listeners.cend()) (*it)();
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

bool databaseMissing(const QString& location)
{
    try {
        const DatabaseUrl url = DatabaseUrl::parse(location);
        return Engine::of(url).missing(url);
    } catch (const DbError&) {
        return false;  // opening it says what is wrong
    }
}

QString Database::uniqueName(const QString& base)
{
    static std::atomic<int> counter{0};
    return QStringLiteral("%1#%2").arg(base).arg(++counter);
}

}  // namespace sentrok
