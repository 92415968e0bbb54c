#include "store/outages.h"

#include "common/datetext.h"
#include "store/database.h"

#include <QSet>

namespace sentrok {

QSet<QString> addressesDown(Database& db)
{
    QSet<QString> down;
    for (Result r = db.execute(QStringLiteral("SELECT DISTINCT address.ip FROM address INNER JOIN "
                                              "noconnect ON address.id = noconnect.id_ip WHERE "
                                              "noconnect.dt2 = ?"),
                               {kZeroDate});
         !r.eof(); r.moveNext())
        down.insert(r.field(0).toString());
    return down;
}

std::vector<OpenOutage> openOutages(Database& db)
{
    std::vector<OpenOutage> rows;
    QSet<QString> down;
    for (Result r = db.execute(
             QStringLiteral("SELECT address.ip as ip, noconnect.dt1 as dt1, address.[desc] as "
                            "[desc], address.id as id FROM address INNER JOIN noconnect ON "
                            "address.id=noconnect.id_ip WHERE noconnect.dt2=? ORDER BY "
                            "noconnect.id"),
             {kZeroDate});
         !r.eof(); r.moveNext()) {
        OpenOutage o;
        o.hostId = r.field(QStringLiteral("id")).toLongLong();
        o.ip = r.field(QStringLiteral("ip")).toString();
        o.desc = r.field(QStringLiteral("desc")).toString();
        o.began = r.field(QStringLiteral("dt1"));
        down.insert(o.ip);
        rows.push_back(std::move(o));
    }
    if (rows.empty()) return rows;
    const HostTree tree = HostTree::read(db);
    for (OpenOutage& row : rows)
        for (qint64 a : tree.ancestors(row.hostId)) {
            const HostNode* node = tree.find(a);
            if (node && down.contains(node->ip)) {
                row.waitsFor = *node;
                break;
            }
        }
    return rows;
}

}  // namespace sentrok
