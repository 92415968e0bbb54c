#include "channels/channelsecrets.h"

#include "secrets/secretstore.h"

#include <QTimer>

#include <memory>

namespace sentrok {

QString channelSecretKey(const QString& secretRef)
{
    return QStringLiteral("sentrok-channel/") + secretRef;
}

void writeChannelSecret(SecretStore& store, const ChannelSettings& channel,
                        ChannelSecretWritten done)
{
    store.write(channelSecretKey(channel.record.secretRef), channel.secret,
                [&store, done = std::move(done)](const QString& error, SecretStore::Place where) {
                    done(error, error.isEmpty() ? store.describe(where) : QString());
                });
}

void forgetChannelSecret(SecretStore& store, const QString& secretRef, ChannelSecretWritten done)
{
    store.write(channelSecretKey(secretRef), QString(),
                [done = std::move(done)](const QString& error, SecretStore::Place) {
                    done(error, QString());
                });
}

void loadChannelSecrets(SecretStore& store, const QList<ChannelRecord>& records,
                        ChannelsLoaded done)
{
    // One read after the other: a keyring asked many things at once may ask the user as often.
    struct Loading {
        QList<ChannelRecord> records;
        qsizetype next = 0;
        QList<ChannelSettings> channels;
        QStringList problems;
        ChannelsLoaded done;
        std::function<void()> step;
    };
    auto state = std::make_shared<Loading>();
    for (const ChannelRecord& r : records)
        if (r.enabled) state->records << r;
    state->done = std::move(done);
    state->step = [&store, weak = std::weak_ptr<Loading>(state)] {
        const std::shared_ptr<Loading> s = weak.lock();
        if (!s) return;
        if (s->next == s->records.size()) {
            s->done(std::move(s->channels), std::move(s->problems));
            return;
        }
        const ChannelRecord record = s->records[s->next++];
        store.read(channelSecretKey(record.secretRef),
                   [s, record](const std::optional<QString>& secret, const QString& error) {
                       if (secret && !secret->isEmpty())
                           s->channels << ChannelSettings{record, *secret};
                       else
                           s->problems << (error.isEmpty()
                                               ? QStringLiteral("%1: секрет канала не сохранён; "
                                                                "добавьте канал заново")
                                                     .arg(channelTitle(record))
                                               : QStringLiteral("%1: секрет канала не прочитан: %2")
                                                     .arg(channelTitle(record), error));
                       s->step();
                   });
    };
    // Even with nothing to read the answer comes later, as the store's do.
    QTimer::singleShot(0, &store, [state] { state->step(); });
}

}  // namespace sentrok
