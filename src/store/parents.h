#pragma once

#include <QHash>
#include <QString>

#include <optional>
#include <vector>

namespace sentrok {

class Database;

// A host as the lists and alerts name it: its description, then its address in brackets; a
// control character stored by another tool shows as an escape, never as a line break of its own.
QString hostLabel(const QString& desc, const QString& ip);

// One host record with the host it depends on (the router it is reached through).
struct HostNode {
    qint64 id = 0;
    qint64 parent = 0;  // 0: none
    QString ip, desc;
};

// Every host record with its parent, read at once: who depends on whom is worked out in memory.
class HostTree {
public:
    HostTree() = default;
    explicit HostTree(std::vector<HostNode> hosts);
    // Ordered by id. Throws DbError.
    static HostTree read(Database& db);

    const std::vector<HostNode>& hosts() const { return m_hosts; }
    const HostNode* find(qint64 id) const;
    // The ancestors of a host, nearest first. A circle (a file edited by another tool) ends the
    // walk where it closes.
    std::vector<qint64> ancestors(qint64 id) const;
    // Whether `host` depends on `ancestor`, directly or through other hosts.
    bool dependsOn(qint64 host, qint64 ancestor) const;

private:
    std::vector<HostNode> m_hosts;
    QHash<qint64, std::size_t> m_index;
};

// The host `host` is reached through, or none (none set, or that host removed since).
std::optional<HostNode> parentOf(Database& db, qint64 host);

// Why `parent` cannot become the parent of `host`: one of them is not in the database, they are
// the same host, or `parent` depends on `host` already (a circle). nullopt when it can.
std::optional<QString> parentRefusal(Database& db, qint64 host, qint64 parent);

// Gives `host` the parent `parent`, or none with nullopt, in a transaction of its own; the words
// of the refusal instead when it cannot be. Throws DbError.
std::optional<QString> setParent(Database& db, qint64 host, std::optional<qint64> parent);
// The same inside the caller's transaction; nothing is written on refusal.
std::optional<QString> setParentIn(Database& db, qint64 host, std::optional<qint64> parent);

}  // namespace sentrok
