#pragma once

// Rows written as the monitor writes them, for the web tests that read a real database.

#include "common/datetext.h"
#include "store/database.h"
#include "store/totals.h"

#include <QString>

namespace sentrok::test {

// A check as the monitor records it: the log row and the totals in one unit.
inline void check(Database& db, qint64 host, const QString& dt, qint64 echo)
{
    db.transaction([&] {
        db.execute(
            QStringLiteral("insert into log (id_ip,time_echo,time_wait,dt) values (?,?,'1000',?)"),
            {host, echo, dt});
        addChecksToTotals(db, {{host, dt, echo}});
    });
}

inline void outage(Database& db, qint64 host, const QString& from, const QString& to = kZeroDate)
{
    db.execute(QStringLiteral("insert into noconnect (id_ip,dt1,dt2) values (?,?,?)"),
               {host, from, to});
}

inline void recordEvent(Database& db, qint64 host, const char* kind, const QString& dt,
                        qint64 ancestor = 0)
{
    db.execute(QStringLiteral(
                   "insert into events (pass_id,id_ip,kind,dt,time_echo,time_wait,ancestor) values "
                   "(1,?,?,?,'-1','1000',?)"),
               {host, QString::fromLatin1(kind), dt,
                ancestor ? QVariant(ancestor) : QVariant(QMetaType::fromType<qint64>())});
}

}  // namespace sentrok::test
