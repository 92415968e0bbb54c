#pragma once

#include <QString>

#include <functional>
#include <stdexcept>
#include <vector>

namespace sentrok {

class Database;

// The version a file made or upgraded by this program has.
inline constexpr int kSchemaVersion = 7;

// What an upgrade tells while it works: the step's version and words, and how far it is
// (done of total, both 0 while it cannot say). It may throw UpgradeCancelled to stop; the
// file is then left as it was.
using UpgradeReport =
    std::function<void(int version, const QString& what, qint64 done, qint64 total)>;

struct UpgradeCancelled : std::runtime_error {
    UpgradeCancelled() : std::runtime_error("upgrade cancelled") {}
};

// One step from version-1 to version. Steps are additive (new tables, nullable columns): a
// file a step has passed is still read correctly by the program before it.
struct SchemaStep {
    int version{};
    QString what{};  // for the user, what the step does
    std::function<void(Database&, const std::function<void(qint64, qint64)>& progress)> apply;
};
const std::vector<SchemaStep>& schemaSteps();

// The database's version: its PRAGMA user_version on SQLite, a table of its own on PostgreSQL.
int schemaVersion(Database& db);
void setSchemaVersion(Database& db, int version);

// Brings the file up to `target` in one transaction: every step or none. Returns the number
// of steps run (0 when the file is there already, or newer). Throws DbError or
// UpgradeCancelled.
int upgradeSchema(Database& db, const UpgradeReport& report = {}, int target = kSchemaVersion);

// Probe settings a new host gets unless the user types others.
struct HostDefaults {
    static inline const QString vw = QStringLiteral("1000");
    static inline const QString vn = QStringLiteral("2");
    static inline const QString vl = QStringLiteral("32");
    static inline const QString vi = QStringLiteral("255");
    static inline const QString color = QStringLiteral("0");
};

// Makes a new database with every table and the one settings row, at `version` (a lower one
// only to test upgrades): a new SQLite file (refused when one exists already), or the tables in
// an existing, empty PostgreSQL database (refused when it has tables). Throws DbError.
void createDatabase(const QString& location, int version = kSchemaVersion);

// The column that names one row of `table`: "id", or SQLite's rowid in a table made by hand
// without one (the key column of the log was each implementer's choice). Throws DbError where
// neither is there.
QString rowKey(Database& db, const QString& table);

// Adds a host with the default probe settings; returns its id. Throws DbError.
qint64 addHost(Database& db, const QString& ip, const QString& desc);

}  // namespace sentrok
