#include "channels/channelstore.h"

#include "store/database.h"

namespace sentrok {

namespace {

const QString kColumns =
    QStringLiteral("id, kind, name, target, api_url, pin, enabled, secret_ref");

// A row another program wrote with a kind this one does not know is left out: sending it
// nowhere is better than sending it as something it is not.
std::optional<ChannelRecord> recordOf(const Result& r)
{
    const std::optional<ChannelKind> kind =
        kindFromWord(r.field(QStringLiteral("kind")).toString());
    if (!kind) return std::nullopt;
    return ChannelRecord{.id = r.field(QStringLiteral("id")).toLongLong(),
                         .kind = *kind,
                         .name = r.field(QStringLiteral("name")).toString(),
                         .target = r.field(QStringLiteral("target")).toString(),
                         .apiUrl = r.field(QStringLiteral("api_url")).toString(),
                         .pin = r.field(QStringLiteral("pin")).toString(),
                         .enabled = r.field(QStringLiteral("enabled")).toInt() != 0,
                         .secretRef = r.field(QStringLiteral("secret_ref")).toString()};
}

}  // namespace

QList<ChannelRecord> readChannels(Database& db)
{
    QList<ChannelRecord> out;
    for (Result r = db.execute(QStringLiteral("select %1 from channels order by id").arg(kColumns));
         !r.eof(); r.moveNext())
        if (std::optional<ChannelRecord> record = recordOf(r)) out << *record;
    return out;
}

std::optional<ChannelRecord> readChannel(Database& db, qint64 id)
{
    Result r =
        db.execute(QStringLiteral("select %1 from channels where id = ?").arg(kColumns), {id});
    if (r.eof()) return std::nullopt;
    return recordOf(r);
}

qint64 addChannel(Database& db, const ChannelRecord& record)
{
    Result r = db.execute(
        QStringLiteral("insert into channels (kind, name, target, api_url, pin, enabled, "
                       "secret_ref) values (?, ?, ?, ?, ?, ?, ?) returning id"),
        {kindWord(record.kind), record.name, record.target, record.apiUrl, record.pin,
         record.enabled ? 1 : 0, record.secretRef});
    return r.field(0).toLongLong();
}

bool removeChannel(Database& db, qint64 id)
{
    return !db.execute(QStringLiteral("delete from channels where id = ? returning id"), {id})
                .eof();
}

bool setChannelEnabled(Database& db, qint64 id, bool enabled)
{
    return !db.execute(QStringLiteral("update channels set enabled = ? where id = ? returning id"),
                       {enabled ? 1 : 0, id})
                .eof();
}

}  // namespace sentrok
