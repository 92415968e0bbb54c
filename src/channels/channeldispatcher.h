#pragma once

#include "channels/channelsender.h"

#include <QList>
#include <QObject>
#include <QThread>

namespace sentrok {

class ChannelHub;

// Every channel's sender, on a thread of their own: a proxy lookup (libproxy may fetch a PAC
// file), a TLS handshake or the JSON of a pass over thousands of hosts then costs the window
// nothing, and send() is one queued event whatever the channels are doing. Each channel keeps
// its own queue (ChannelSender), so one that hangs or fails delays no other, nor the pass, nor
// the mail. Signals come back on the thread that made this object.
class ChannelDispatcher : public QObject {
    Q_OBJECT
public:
    explicit ChannelDispatcher(ChannelTiming timing = {}, QObject* parent = nullptr);
    // Requests under way are abandoned.
    ~ChannelDispatcher() override;

    // The channels to send to from now on. A channel given again unchanged keeps its queue; one
    // changed or no longer given loses what it had not sent.
    void setChannels(const QList<ChannelSettings>& channels);
    // How long a message is sent again: the check interval.
    void setRetryWindow(std::chrono::milliseconds window);
    // Hands the message to every channel and returns at once.
    void send(const ChannelMessage& message);

signals:
    void delivered(qint64 channelId, const QString& words);
    void failed(qint64 channelId, const QString& text);

private:
    QThread m_thread;
    ChannelHub* m_hub;  // lives on m_thread, deleted as it ends
};

}  // namespace sentrok
