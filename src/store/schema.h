#pragma once

#include <QString>

namespace sentrok {

class Database;

inline constexpr int kSchemaVersion = 1;

// Probe settings a new host gets unless the user types others.
struct HostDefaults {
    static inline const QString vw = QStringLiteral("1000");
    static inline const QString vn = QStringLiteral("2");
    static inline const QString vl = QStringLiteral("32");
    static inline const QString vi = QStringLiteral("255");
    static inline const QString color = QStringLiteral("0");
};

// Makes a new database file with every table and the one settings row. Refuses to touch a
// file that exists already. Throws DbError.
void createDatabase(const QString& file);

// Adds a host with the default probe settings; returns its id. Throws DbError.
qint64 addHost(Database& db, const QString& ip, const QString& desc);

}  // namespace sentrok
