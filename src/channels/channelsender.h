#pragma once

#include "channels/channelrecord.h"
#include "channels/channelwire.h"

#include <QDeadlineTimer>
#include <QNetworkAccessManager>
#include <QObject>
#include <QPointer>
#include <QSslError>
#include <QTimer>

#include <chrono>
#include <deque>
#include <functional>

class QNetworkReply;

namespace sentrok {

// How long a sender waits, for what. The retry window is the check interval: after it the next
// pass has news of its own.
struct ChannelTiming {
    std::chrono::milliseconds requestTimeout{30'000};  // an answer not come by then never will
    std::chrono::milliseconds firstBackoff{2'000};
    std::chrono::milliseconds maxBackoff{60'000};
    std::chrono::milliseconds retryWindow{600'000};
};

// One channel's queue: its messages go out one request at a time, in the order given, so a chat
// reads them as they happened. A message too long for Telegram goes as several requests, each
// delivered once; one that is given up takes the rest of its message with it.
//
// Each answer decides (judgeReply): 2xx delivered, never sent again; 429 sent again after the
// server's retry_after (Telegram's JSON) or Retry-After, else after a back-off; 5xx, a network
// failure or no answer within the request time-out sent again after a back-off that doubles up
// to its ceiling; anything else (4xx, a redirect, which is never followed: it could take the
// token elsewhere) given up with the server's words. A message is sent again only while the
// retry window since it was handed over lasts; its first try always happens, however long it
// waited behind others. A certificate that fails the system's check, or is not the pinned one,
// is given up before a byte of the request goes out.
//
// Nothing here blocks: requests run through the event loop of the sender's thread, and the
// caller of send() only queues. Failures and deliveries are signals; their words never hold the
// token or the webhook's URL (shownAddress() stands for it).
//
// The system's proxy settings are asked for every request (https_proxy, http_proxy and no_proxy,
// and a desktop's own through libproxy where Qt has it), for this channel alone: the mail's
// SMTP connection is not to start going through a web proxy.
class ChannelSender : public QObject {
    Q_OBJECT
public:
    // More waiting than this drops the oldest message: a channel down for days must not grow
    // without end.
    static constexpr qsizetype kMaxQueuedMessages = 50;
    // Of a reply's body no more is read than this.
    static constexpr qint64 kMaxReplyBytes = 64 * 1024;

    ChannelSender(ChannelSettings channel, ChannelTiming timing = {}, QObject* parent = nullptr);
    ~ChannelSender() override;

    const ChannelSettings& channel() const { return m_channel; }
    // Kind, name, chat and address as the user's reports name them; no secret.
    QString title() const;
    void setRetryWindow(std::chrono::milliseconds window) { m_timing.retryWindow = window; }

    // Queues the message; returns at once.
    void send(const ChannelMessage& message);
    // Requests not yet delivered or given up, the one under way included.
    qsizetype waiting() const { return qsizetype(m_queue.size()); }

signals:
    // A request taken by the server, with what it said.
    void delivered(const QString& words);
    // A message given up (or dropped from a full queue), in words for the user.
    void failed(const QString& text);

private:
    struct Request {
        QByteArray body;
        QDeadlineTimer retryUntil;
        quint64 message = 0;
    };

    void schedulePump();
    void pump();
    void onFinished(QNetworkReply* reply);
    void onSslErrors(QNetworkReply* reply, const QList<QSslError>& errors);
    void onEncrypted(QNetworkReply* reply);
    void answered(const HttpAnswer& answer);
    void retryLater(std::chrono::milliseconds wait, const QString& why);
    void giveUp(const QString& why);
    void dropMessage(quint64 message);
    qsizetype messagesWaiting() const;
    QString report(const QString& why) const;
    QString certificateWords(const QSslCertificate& got, const QList<QSslError>& errors) const;

    ChannelSettings m_channel;
    ChannelTiming m_timing;
    QUrl m_url;
    QStringList m_secrets;  // what no word may show, longest first
    QNetworkAccessManager m_nam;
    std::deque<Request> m_queue;
    quint64 m_messages = 0;
    QPointer<QNetworkReply> m_reply;  // the request under way
    QTimer m_timeout, m_wait;
    bool m_pumpQueued = false;
    bool m_timedOut = false;
    QString m_refusal;  // why the TLS connection was refused
    std::chrono::milliseconds m_backoff;
};

// One test message to one channel, as `sentrok-db channel test` and the dialog's button send it:
// one try, no retry, and what the server said (or why nothing reached it) handed to `done` on
// `context`'s thread. Nothing is sent if `context` goes first.
struct ChannelTestOutcome {
    bool delivered = false;
    QString words;
};
void testChannel(const ChannelSettings& channel, const QString& monitor, QObject* context,
                 std::function<void(ChannelTestOutcome)> done, ChannelTiming timing = {});

}  // namespace sentrok
