#include "store/schema.h"

#include "common/conversions.h"
#include "store/database.h"
#include "store/engine.h"
#include "store/mailsettings.h"
#include "store/totals.h"

namespace sentrok {

namespace {

// Texts are stored as typed; numbers the program writes itself are numbers. Dates are
// local-time texts "yyyy-MM-dd HH:mm:ss" and the zero date marks an outage still open.
const char* const kSchema[] = {
    R"(CREATE TABLE options (
        refresh_time INTEGER NOT NULL DEFAULT 10,
        snd_up TEXT DEFAULT 'up.wav',
        snd_down TEXT DEFAULT 'down.wav',
        sentrok_top REAL DEFAULT 0, sentrok_left REAL DEFAULT 0,
        sentrok_width REAL DEFAULT 0, sentrok_height REAL DEFAULT 0,
        pcol1 INTEGER DEFAULT 0, pcol2 INTEGER DEFAULT 0, pcol3 INTEGER DEFAULT 0,
        pcol4 INTEGER DEFAULT 0, pcol5 INTEGER DEFAULT 0,
        nocon_top REAL DEFAULT 0, nocon_left REAL DEFAULT 0,
        nocon_width REAL DEFAULT 0, nocon_height REAL DEFAULT 0,
        ncol1 INTEGER DEFAULT 0, ncol2 INTEGER DEFAULT 0, ncol3 INTEGER DEFAULT 0))",
    R"(CREATE TABLE address (
        id INTEGER PRIMARY KEY AUTOINCREMENT,
        ip TEXT NOT NULL DEFAULT '',
        [desc] TEXT NOT NULL DEFAULT '',
        vw TEXT NOT NULL DEFAULT '1000',
        vn TEXT NOT NULL DEFAULT '2',
        vl TEXT NOT NULL DEFAULT '32',
        vi TEXT NOT NULL DEFAULT '255',
        color TEXT NOT NULL DEFAULT '0'))",
    R"(CREATE INDEX address_ip ON address (ip))",
    R"(CREATE TABLE log (
        id INTEGER PRIMARY KEY,
        id_ip INTEGER NOT NULL REFERENCES address (id) ON DELETE CASCADE,
        time_echo INTEGER,
        time_wait TEXT,
        dt TEXT NOT NULL DEFAULT (datetime('now','localtime'))))",
    // The reports read one host's newest checks: by host, then time.
    R"(CREATE INDEX log_host_time ON log (id_ip, dt))",
    R"(CREATE TABLE noconnect (
        id INTEGER PRIMARY KEY AUTOINCREMENT,
        id_ip INTEGER NOT NULL REFERENCES address (id) ON DELETE CASCADE,
        dt1 TEXT NOT NULL DEFAULT (datetime('now','localtime')),
        dt2 TEXT NOT NULL DEFAULT '1899-12-30 00:00:00'))",
    R"(CREATE INDEX noconnect_host ON noconnect (id_ip, dt2))",
    R"(CREATE INDEX noconnect_open ON noconnect (dt2))",
    R"(CREATE TABLE emails (
        id INTEGER PRIMARY KEY AUTOINCREMENT,
        smtp TEXT, [from] TEXT, email TEXT, [desc] TEXT))",
    R"(INSERT INTO options (refresh_time, snd_up, snd_down) VALUES (10, 'up.wav', 'down.wav'))",
};

// Version 2: totals by host and hour and by day, filled from the log there is, and the
// number of days the detailed log is kept.
void addTotals(Database& db, const std::function<void(qint64, qint64)>& progress)
{
    createTotalsTables(db);
    buildTotalsFromLog(db, progress);
    createTotalsIndexes(db);
    db.execute(QStringLiteral("ALTER TABLE options ADD COLUMN log_keep_days INTEGER"));
}

// Version 4: what a team's monitoring leaves for the others to follow: a record of every pass
// (which process ran it, when, its totals), every change of state in the order it was recorded,
// and the requests for a pass now from windows that do not monitor themselves.
void addPassRecords(Database& db, const std::function<void(qint64, qint64)>&)
{
    db.execute(QStringLiteral(
        "CREATE TABLE passes (id INTEGER PRIMARY KEY AUTOINCREMENT, monitor TEXT NOT NULL "
        "DEFAULT '', started TEXT NOT NULL, finished TEXT, hosts INTEGER, failed INTEGER)"));
    db.execute(QStringLiteral(
        "CREATE TABLE events (id INTEGER PRIMARY KEY AUTOINCREMENT, pass_id INTEGER, "
        "id_ip INTEGER NOT NULL REFERENCES address (id) ON DELETE CASCADE, kind TEXT NOT NULL, "
        "dt TEXT NOT NULL, time_echo INTEGER, time_wait TEXT)"));
    db.execute(QStringLiteral(
        "CREATE TABLE pass_requests (id INTEGER PRIMARY KEY AUTOINCREMENT, requested TEXT NOT "
        "NULL, requested_by TEXT)"));
}

// Version 5: a host may depend on another (the router it is reached through). Deleting the
// parent leaves its hosts without one. A change of state recorded while an ancestor was down
// names that ancestor, so the windows that follow the monitoring know it for unreachable.
void addParents(Database& db, const std::function<void(qint64, qint64)>&)
{
    db.execute(
        QStringLiteral("ALTER TABLE address ADD COLUMN parent INTEGER REFERENCES address (id) ON "
                       "DELETE SET NULL"));
    // Deleting a host looks for the hosts that depend on it.
    db.execute(QStringLiteral("CREATE INDEX address_parent ON address (parent)"));
    db.execute(QStringLiteral("ALTER TABLE events ADD COLUMN ancestor INTEGER"));
}

// Version 6: the chat channels beside the alert mail. What may be shown only: the bot token and
// the webhook's whole URL are kept where the mail password is, under secret_ref.
void addChannels(Database& db, const std::function<void(qint64, qint64)>&)
{
    db.execute(QStringLiteral(
        "CREATE TABLE channels (id INTEGER PRIMARY KEY AUTOINCREMENT, kind TEXT NOT NULL, "
        "name TEXT NOT NULL DEFAULT '', target TEXT NOT NULL DEFAULT '', api_url TEXT NOT NULL "
        "DEFAULT '', pin TEXT NOT NULL DEFAULT '', enabled INTEGER NOT NULL DEFAULT 1, "
        "secret_ref TEXT NOT NULL UNIQUE)"));
}

// Version 7: a host's outage is announced after this many failed checks in a row (1: at the first),
// and windows of planned work during which nothing is announced for their hosts. A change shown as
// under maintenance instead of announced keeps the window's comment.
void addConfirmAndMaintenance(Database& db, const std::function<void(qint64, qint64)>&)
{
    db.execute(QStringLiteral("ALTER TABLE address ADD COLUMN confirm INTEGER DEFAULT 1"));
    db.execute(QStringLiteral(
        "CREATE TABLE maintenance (id INTEGER PRIMARY KEY AUTOINCREMENT, id_ip INTEGER REFERENCES "
        "address (id) ON DELETE CASCADE, children INTEGER NOT NULL DEFAULT 0, dt_from TEXT NOT "
        "NULL, dt_to TEXT NOT NULL, recurs TEXT NOT NULL DEFAULT 'once', comment TEXT NOT NULL "
        "DEFAULT '')"));
    db.execute(QStringLiteral("ALTER TABLE events ADD COLUMN maintenance TEXT"));
    // How far an open outage's announcement came is read from its host's changes.
    db.execute(QStringLiteral("CREATE INDEX events_host ON events (id_ip, dt)"));
}

}  // namespace

const std::vector<SchemaStep>& schemaSteps()
{
    // A later step is one more line here: its version, its words, its function.
    static const std::vector<SchemaStep> steps = {
        {2, QStringLiteral("подсчёт почасовых итогов журнала проверок"), addTotals},
        {3, QStringLiteral("параметры почтового сервера"),
         [](Database& db, const auto&) { addEmailServerColumns(db); }},
        {4, QStringLiteral("записи о проходах и изменениях состояния"), addPassRecords},
        {5, QStringLiteral("зависимости хостов"), addParents},
        {6, QStringLiteral("каналы оповещения в чаты"), addChannels},
        {7, QStringLiteral("подтверждение отказов и окна обслуживания"), addConfirmAndMaintenance},
    };
    return steps;
}

int schemaVersion(Database& db)
{
    Result r = db.execute(db.engine().readVersion());
    return r.eof() ? 0 : r.field(0).toInt();
}

void setSchemaVersion(Database& db, int version) { db.execute(db.engine().writeVersion(version)); }

int upgradeSchema(Database& db, const UpgradeReport& report, int target)
{
    int applied = 0;
    db.transaction([&] {
        // Read inside the transaction: two programs upgrading at once cannot both run a step.
        const int from = schemaVersion(db);
        // Made newer by another program since this connection opened it.
        if (from > kSchemaVersion) throw newerSchemaError(db.url(), from);
        for (const SchemaStep& step : schemaSteps()) {
            if (step.version <= from || step.version > target) continue;
            if (report) report(step.version, step.what, 0, 0);
            step.apply(db, [&](qint64 done, qint64 total) {
                if (report) report(step.version, step.what, done, total);
            });
            setSchemaVersion(db, step.version);
            ++applied;
        }
    });
    return applied;
}

void createDatabase(const QString& location, int version)
{
    const DatabaseUrl url = DatabaseUrl::parse(location);
    const Engine& engine = Engine::of(url);
    engine.makeEmpty(url);
    try {
        Database db(location, Database::uniqueName(QStringLiteral("create")));
        // A server's database must be empty: tables of another program are not ours to touch.
        if (db.execute(db.engine().countTables()).field(0).toLongLong() > 0)
            throw DbError(dbcode::CantOpen,
                          QStringLiteral("в базе данных %1 уже есть таблицы; она не будет изменена")
                              .arg(url.describe()));
        db.transaction([&] {
            for (const char* statement : kSchema) db.execute(QString::fromUtf8(statement));
            for (const QString& statement : db.engine().versionTable()) db.execute(statement);
        });
        // The tables of later versions come from the same steps that upgrade an older file, so a
        // new file and an upgraded one are alike.
        if (version > 1) upgradeSchema(db, {}, version);
    } catch (...) {
        engine.discardNew(url);
        throw;
    }
}

QString rowKey(Database& db, const QString& table)
{
    const QString id = QStringLiteral("id");
    if (db.execute(db.engine().countColumn(), {table, id}).field(0).toLongLong() > 0) return id;
    const QString implicit = db.engine().implicitRowKey();
    if (implicit.isEmpty())
        throw DbError(dbcode::Mismatch,
                      QStringLiteral("в таблице %1 нет столбца id, которым программа различает "
                                     "её строки")
                          .arg(table));
    return implicit;
}

qint64 addHost(Database& db, const QString& ip, const QString& desc)
{
    Result r = db.execute(
        QStringLiteral("insert into address (ip,[desc],vw,vn,vl,vi,color) values (?,?,?,?,?,?,?) "
                       "returning id"),
        {ip, desc, HostDefaults::vw, HostDefaults::vn, HostDefaults::vl, HostDefaults::vi,
         HostDefaults::color});
    return r.field(0).toLongLong();
}

}  // namespace sentrok
