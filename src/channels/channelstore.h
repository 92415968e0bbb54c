#pragma once

#include "channels/channelrecord.h"

#include <QList>

#include <optional>

namespace sentrok {

class Database;

// The channels table: every statement about it. Nothing secret is read or written here (see
// channelrecord.h). Each call throws DbError.

// Every channel, in the order they were added.
QList<ChannelRecord> readChannels(Database& db);
std::optional<ChannelRecord> readChannel(Database& db, qint64 id);
// Stores a new channel and returns its id.
qint64 addChannel(Database& db, const ChannelRecord& record);
// False when there is no such channel.
bool removeChannel(Database& db, qint64 id);
bool setChannelEnabled(Database& db, qint64 id, bool enabled);

}  // namespace sentrok
