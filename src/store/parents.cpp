#include "store/parents.h"

#include "common/conversions.h"
#include "store/database.h"

#include <QSet>

namespace sentrok {

QString hostLabel(const QString& desc, const QString& ip)
{
    return printableText(desc) + u'[' + printableText(ip) + u']';
}

HostTree::HostTree(std::vector<HostNode> hosts) : m_hosts(std::move(hosts))
{
    m_index.reserve(qsizetype(m_hosts.size()));
    for (std::size_t i = 0; i < m_hosts.size(); ++i) m_index.insert(m_hosts[i].id, i);
}

HostTree HostTree::read(Database& db)
{
    std::vector<HostNode> hosts;
    for (Result r =
             db.execute(QStringLiteral("SELECT id, parent, ip, [desc] FROM address ORDER BY id"));
         !r.eof(); r.moveNext()) {
        const QVariant parent = r.field(1);
        hosts.push_back({r.field(0).toLongLong(), parent.isNull() ? 0 : parent.toLongLong(),
                         r.field(2).toString(), r.field(3).toString()});
    }
    return HostTree(std::move(hosts));
}

std::optional<HostNode> parentOf(Database& db, qint64 host)
{
    Result r = db.execute(QStringLiteral("SELECT p.id, p.parent, p.ip, p.[desc] FROM address a "
                                         "INNER JOIN address p ON p.id = a.parent WHERE a.id = ?"),
                          {host});
    if (r.eof()) return std::nullopt;
    const auto text = [&](int i) {
        return r.field(i).isNull() ? QString() : r.field(i).toString();
    };
    return HostNode{r.field(0).toLongLong(), r.field(1).toLongLong(), text(2), text(3)};
}

const HostNode* HostTree::find(qint64 id) const
{
    const auto it = m_index.constFind(id);
    return it == m_index.cend() ? nullptr : &m_hosts[*it];
}

std::vector<qint64> HostTree::ancestors(qint64 id) const
{
    std::vector<qint64> out;
    QSet<qint64> seen{id};
    for (const HostNode* h = find(id); h && h->parent && !seen.contains(h->parent);
         h = find(h->parent)) {
        seen.insert(h->parent);
        out.push_back(h->parent);
    }
    return out;
}

bool HostTree::dependsOn(qint64 host, qint64 ancestor) const
{
    for (qint64 a : ancestors(host))
        if (a == ancestor) return true;
    return false;
}

std::optional<QString> parentRefusal(Database& db, qint64 host, qint64 parent)
{
    const HostTree tree = HostTree::read(db);
    for (qint64 id : {host, parent})
        if (!tree.find(id)) return QStringLiteral("Хоста с id %1 нет в базе").arg(id);
    if (host == parent) return QStringLiteral("Хост не может зависеть от самого себя");
    if (tree.dependsOn(parent, host)) {
        const HostNode& p = *tree.find(parent);
        const HostNode& h = *tree.find(host);
        return QStringLiteral("%1 уже зависит от %2: зависимость по кругу не сохранена")
            .arg(hostLabel(p.desc, p.ip), hostLabel(h.desc, h.ip));
    }
    return std::nullopt;
}

std::optional<QString> setParentIn(Database& db, qint64 host, std::optional<qint64> parent)
{
    std::optional<QString> refusal;
    if (parent) {
        refusal = parentRefusal(db, host, *parent);
    } else if (db.execute(QStringLiteral("SELECT id FROM address WHERE id=?"), {host}).eof()) {
        refusal = QStringLiteral("Хоста с id %1 нет в базе").arg(host);
    }
    if (refusal) return refusal;
    db.execute(QStringLiteral("UPDATE address SET parent=? WHERE id=?"),
               {parent ? QVariant(*parent) : QVariant(QMetaType::fromType<qint64>()), host});
    return std::nullopt;
}

std::optional<QString> setParent(Database& db, qint64 host, std::optional<qint64> parent)
{
    std::optional<QString> refusal;
    // Checked and written in one transaction: on the file its write lock keeps two windows from
    // closing a circle between them. The monitor copes with a circle all the same.
    db.transaction([&] { refusal = setParentIn(db, host, parent); });
    return refusal;
}

}  // namespace sentrok
