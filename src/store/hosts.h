#pragma once

#include <QCollator>
#include <QString>
#include <QStringList>

#include <algorithm>
#include <optional>
#include <vector>

namespace sentrok {

class Database;

// A host as lists and changes name it, its texts as stored.
struct HostRef {
    qint64 id = 0;
    QString ip, desc;
};

// A host record's fields as the administration window shows and takes them: every one a text,
// stored as typed.
struct HostFields {
    QString ip, desc, vw, vn, vl, vi, color;
};

struct HostRow {
    qint64 id = 0;
    HostFields fields{};
};

// Every address, in the database's text order, for the list of hosts; a NULL reads empty.
QStringList hostAddresses(Database& db);
// The oldest host record with this address (addresses are not unique), or none.
std::optional<HostRow> firstHostAt(Database& db, const QString& ip);
// Whether a host record has this address, compared as stored: with a blank in front it is another.
bool addressTaken(Database& db, const QString& ip);
void insertHost(Database& db, const HostFields& host);
void updateHost(Database& db, qint64 id, const HostFields& host);
// The host's checks and outages go with it.
void deleteHost(Database& db, qint64 id);

// Host records in the user's alphabetical order of their descriptions; equal ones keep the order
// they came in. The pass checks them in this order.
template <typename T, typename DescOf>
void sortByDescription(std::vector<T>& hosts, DescOf descOf)
{
    QCollator collator;
    collator.setCaseSensitivity(Qt::CaseInsensitive);
    std::stable_sort(hosts.begin(), hosts.end(), [&](const T& a, const T& b) {
        return collator.compare(descOf(a), descOf(b)) < 0;
    });
}

}  // namespace sentrok
