#include "store/database.h"

#include <QDir>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlRecord>
#include <QUrl>

#include <atomic>

namespace sentrok {

namespace {

// How long a write waits for another connection's transaction before it fails. Every
// transaction of the program is short, so a wait this long means something is wrong.
constexpr int kBusyTimeoutMs = 2000;

DbError errorOf(const QSqlError& error, const QString& statement)
{
    bool ok = false;
    int number = error.nativeErrorCode().toInt(&ok);
    if (!ok) number = int(error.type());
    QString text = error.databaseText();
    if (text.isEmpty()) text = error.driverText();
    return DbError(number, text, statement);
}

}  // namespace

DbError::DbError(int number, const QString& description, const QString& statement)
    : std::runtime_error(QStringLiteral("%1: %2").arg(number).arg(description).toStdString()),
      m_number(number), m_description(description), m_statement(statement)
{
}

QString DbError::userText() const
{
    return QStringLiteral("Ошибка %1: %2").arg(m_number).arg(m_description);
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

Database::Database(const QString& file, const QString& connectionName)
    : m_file(file), m_name(connectionName)
{
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_name);
        // mode=rw: an existing file only; a missing one is an error, never a new empty file.
        QUrl uri = QUrl::fromLocalFile(QDir::cleanPath(QDir(file).absolutePath()));
        uri.setScheme(QStringLiteral("file"));
        db.setDatabaseName(uri.toString(QUrl::FullyEncoded) + QStringLiteral("?mode=rw"));
        db.setConnectOptions(
            QStringLiteral("QSQLITE_OPEN_URI;QSQLITE_BUSY_TIMEOUT=%1").arg(kBusyTimeoutMs));
        if (!db.open()) {
            const QSqlError error = db.lastError();
            db = QSqlDatabase();
            QSqlDatabase::removeDatabase(m_name);
            DbError e = errorOf(error, {});
            throw DbError(e.number(),
                          QStringLiteral("не удаётся открыть файл базы %1 (%2)")
                              .arg(QDir::toNativeSeparators(file), e.description()));
        }
    }
    try {
        execute(QStringLiteral("PRAGMA foreign_keys=ON"));
        // Reading the schema version makes the engine read the file: a file that is not a
        // database fails here, not at the first real statement.
        execute(QStringLiteral("PRAGMA user_version"));
    } catch (...) {
        QSqlDatabase::database(m_name, false).close();
        QSqlDatabase::removeDatabase(m_name);
        throw;
    }
}

Database::~Database()
{
    m_statements.clear();
    {
        QSqlDatabase db = QSqlDatabase::database(m_name, false);
        db.close();
    }
    QSqlDatabase::removeDatabase(m_name);
}

std::shared_ptr<QSqlQuery> Database::prepared(const QString& sql)
{
    auto it = m_statements.find(sql);
    // A statement whose result is still held elsewhere cannot be run again meanwhile.
    if (it != m_statements.end() && it->use_count() == 1) return *it;
    auto query = std::make_shared<QSqlQuery>(QSqlDatabase::database(m_name, false));
    query->setForwardOnly(true);
    if (!query->prepare(sql)) throw errorOf(query->lastError(), sql);
    if (it == m_statements.end() && m_statements.size() < 64) m_statements.insert(sql, query);
    return query;
}

Result Database::execute(const QString& sql, const QVariantList& values)
{
    std::shared_ptr<QSqlQuery> query = prepared(sql);
    for (int i = 0; i < values.size(); ++i) {
        // A null QString is still a text: it is stored as an empty one, never as NULL.
        const QVariant& v = values[i];
        if (v.typeId() == QMetaType::QString && v.toString().isNull())
            query->bindValue(i, QStringLiteral(""));
        else
            query->bindValue(i, v);
    }
    if (!query->exec()) throw errorOf(query->lastError(), sql);
    return Result(std::move(query));
}

void Database::begin()
{
    QSqlDatabase db = QSqlDatabase::database(m_name, false);
    if (!db.transaction()) throw errorOf(db.lastError(), QStringLiteral("BEGIN"));
}

void Database::commit()
{
    QSqlDatabase db = QSqlDatabase::database(m_name, false);
    if (!db.commit()) {
        const QSqlError error = db.lastError();
        db.rollback();
        throw errorOf(error, QStringLiteral("COMMIT"));
    }
}

void Database::rollback() { QSqlDatabase::database(m_name, false).rollback(); }

QString Database::fileIn(const QString& programFolder)
{
    return programFolder + QStringLiteral("/sentrok.mdb");
}

QString Database::uniqueName(const QString& base)
{
    static std::atomic<int> counter{0};
    return QStringLiteral("%1#%2").arg(base).arg(++counter);
}

}  // namespace sentrok
