#include "store/hosts.h"

#include "store/database.h"

namespace sentrok {

namespace {

QString textOf(const QVariant& value) { return value.isNull() ? QString() : value.toString(); }

QVariantList valuesOf(const HostFields& h)
{
    return {h.ip, h.desc, h.vw, h.vn, h.vl, h.vi, h.color};
}

}  // namespace

QStringList hostAddresses(Database& db)
{
    QStringList out;
    for (Result r = db.execute(QStringLiteral("select ip from address order by ip")); !r.eof();
         r.moveNext())
        out << textOf(r.field(0));
    return out;
}

std::optional<HostRow> firstHostAt(Database& db, const QString& ip)
{
    Result r = db.execute(
        QStringLiteral("SELECT address.id as id, address.ip as ip, address.[desc] as [desc], "
                       "address.vw as vw, address.vn as vn, address.vl as vl, address.vi as vi, "
                       "address.color as color FROM address WHERE address.ip=? ORDER BY "
                       "address.id"),
        {ip});
    if (r.eof()) return std::nullopt;
    HostRow out;
    out.id = r.field(QStringLiteral("id")).toLongLong();
    const std::pair<QString*, const char*> fields[] = {
        {&out.fields.ip, "ip"},      {&out.fields.desc, "desc"}, {&out.fields.vw, "vw"},
        {&out.fields.vn, "vn"},      {&out.fields.vl, "vl"},     {&out.fields.vi, "vi"},
        {&out.fields.color, "color"}};
    for (const auto& [field, column] : fields)
        *field = textOf(r.field(QString::fromLatin1(column)));
    return out;
}

bool addressTaken(Database& db, const QString& ip)
{
    return !db.execute(QStringLiteral("select id from address where ip=?"), {ip}).eof();
}

void insertHost(Database& db, const HostFields& host)
{
    db.execute(QStringLiteral("insert into address (ip,[desc],vw,vn,vl,vi,color) values "
                              "(?,?,?,?,?,?,?)"),
               valuesOf(host));
}

void updateHost(Database& db, qint64 id, const HostFields& host)
{
    db.execute(QStringLiteral("update address set ip=?,[desc]=?,vw=?,vn=?,vl=?,vi=?,color=? "
                              "where id=?"),
               valuesOf(host) << id);
}

void deleteHost(Database& db, qint64 id)
{
    db.execute(QStringLiteral("delete from address where id=?"), {id});
}

}  // namespace sentrok
