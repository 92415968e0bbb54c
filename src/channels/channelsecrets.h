#pragma once

#include "channels/channelrecord.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

namespace sentrok {

class SecretStore;

// The channels' secrets (bot tokens, webhook URLs) kept where the mail password is: the desktop
// keyring, or the owner-only file. Every call of the store for a channel is here. Answers come
// later, on the store's thread, as the store's own do.

// The store's key of a channel's secret. It holds no "@", so it never meets a mail password's
// key (login@server).
QString channelSecretKey(const QString& secretRef);

// `where`: for the user, which place took the secret (the store's own words); empty on failure.
using ChannelSecretWritten = std::function<void(QString error, QString where)>;
void writeChannelSecret(SecretStore& store, const ChannelSettings& channel,
                        ChannelSecretWritten done);
// The store cannot delete yet: the secret is overwritten with nothing, which no channel accepts.
void forgetChannelSecret(SecretStore& store, const QString& secretRef, ChannelSecretWritten done);

// The records with their secrets, in the records' order. A channel whose secret is missing or
// cannot be read is left out, and `problems` says so in words naming the channel (never the
// secret); a disabled one is left out without a word.
using ChannelsLoaded = std::function<void(QList<ChannelSettings> channels, QStringList problems)>;
void loadChannelSecrets(SecretStore& store, const QList<ChannelRecord>& records,
                        ChannelsLoaded done);

}  // namespace sentrok
