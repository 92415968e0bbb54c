#include "support/testdb.h"

#include "store/schema.h"
#include "support/pgserver.h"

#include <QFile>
#include <QTest>

namespace sentrok::test {

namespace {

TestEngine g_engine = TestEngine::SQLite;

}  // namespace

TestEngine testEngine() { return g_engine; }

bool onPostgres() { return g_engine == TestEngine::PostgreSQL; }

int runOnBothEngines(QObject* tests, int argc, char** argv)
{
    g_engine = TestEngine::SQLite;
    int failures = QTest::qExec(tests, argc, argv);
    PgServer& server = PgServer::instance();
    if (!server.unavailable().isEmpty()) {
        qWarning("SKIP: the same tests on PostgreSQL: %s", qPrintable(server.unavailable()));
        return failures;
    }
    g_engine = TestEngine::PostgreSQL;
    qInfo("The same tests again, on PostgreSQL:");
    failures += QTest::qExec(tests, argc, argv);
    g_engine = TestEngine::SQLite;
    return failures;
}

TestFolder::TestFolder()
{
    m_location = onPostgres() ? PgServer::instance().newDatabase() : Database::fileIn(m_dir.path());
    createDatabase(m_location);
}

Database& TestFolder::db()
{
    if (!m_db)
        m_db = std::make_unique<Database>(m_location, Database::uniqueName(QStringLiteral("test")));
    return *m_db;
}

QStringList TestFolder::column(const QString& sql, const QVariantList& values)
{
    QStringList out;
    for (Result r = db().execute(sql, values); !r.eof(); r.moveNext()) out << r.field(0).toString();
    return out;
}

QString TestFolder::scalar(const QString& sql, const QVariantList& values)
{
    const QStringList c = column(sql, values);
    return c.isEmpty() ? QString() : c.first();
}

qint64 TestFolder::addHost(const QString& ip, const QString& desc, const QString& vw)
{
    Result r = db().execute(QStringLiteral("insert into address (ip,[desc],vw,vn,vl,vi,color) "
                                           "values (?,?,?,'2','32','255','0') returning id"),
                            {ip, desc, vw});
    return r.field(0).toLongLong();
}

QString newDatabasePlace(const QTemporaryDir& dir)
{
    return onPostgres() ? PgServer::instance().newDatabase()
                        : dir.filePath(QStringLiteral("sentrok.mdb"));
}

QString missingDatabasePlace(const QTemporaryDir& dir)
{
    return onPostgres() ? PgServer::instance().tcpUrl(QStringLiteral("nosuchdatabase"))
                        : dir.filePath(QStringLiteral("missing.mdb"));
}

void holdWriteLock(Database& other)
{
    if (onPostgres()) {
        other.execute(QStringLiteral("BEGIN"));
        other.execute(QStringLiteral("LOCK TABLE log, noconnect IN EXCLUSIVE MODE"));
    } else {
        other.execute(QStringLiteral("BEGIN EXCLUSIVE"));
    }
}

void refuseLogRowsOf(Database& db, qint64 id, const QString& words)
{
    if (onPostgres()) {
        db.execute(QStringLiteral("create function refuse() returns trigger language plpgsql as $$ "
                                  "begin if new.id_ip=%1 then raise exception '%2'; end if; "
                                  "return new; end $$")
                       .arg(id)
                       .arg(words));
        db.execute(
            QStringLiteral("create trigger refuse before insert on log for each row execute "
                           "function refuse()"));
    } else {
        db.execute(QStringLiteral("create trigger refuse before insert on log when new.id_ip=%1 "
                                  "begin select raise(abort, '%2'); end")
                       .arg(id)
                       .arg(words));
    }
}

void dropReferencedTable(Database& db, const QString& table)
{
    db.execute(QStringLiteral("drop table %1%2")
                   .arg(table, onPostgres() ? QStringLiteral(" cascade") : QString()));
}

void endLeaseFromOutside(TestFolder& folder)
{
    if (onPostgres())
        folder.db().execute(
            QStringLiteral("select pg_terminate_backend(pid) from pg_locks where "
                           "locktype='advisory' and granted"));
    else
        QVERIFY(QFile::remove(folder.dbFile() + QStringLiteral(".monitor")));
}

}  // namespace sentrok::test
