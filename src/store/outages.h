#pragma once

#include "store/parents.h"

#include <QSet>
#include <QString>
#include <QVariant>

#include <optional>
#include <vector>

namespace sentrok {

class Database;

// An outage still open: its host, when it began, and, for a host behind an ancestor that is down
// too, the nearest such ancestor (the one it waits for).
struct OpenOutage {
    qint64 hostId = 0;
    QString ip, desc;
    QVariant began{};  // as stored
    std::optional<HostNode> waitsFor{};
};

// The addresses with an outage open. Throws DbError.
QSet<QString> addressesDown(Database& db);

// Every open outage, oldest first. Throws DbError.
std::vector<OpenOutage> openOutages(Database& db);

}  // namespace sentrok
