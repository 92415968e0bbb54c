#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QString>
#include <QtGlobal>

#include <functional>
#include <optional>

namespace sentrok {

// One echo request as it goes on the wire.
struct EchoRequest {
    QHostAddress address{};  // IPv4, or IPv6 with its zone
    quint8 ttl = 255;
    QByteArray payload{};
    int timeoutMs = 0;  // counted from the moment the request leaves; always above 0
};

// One echo request's fate.
struct EchoReply {
    std::optional<qint32> rttMs{};  // the reply time in whole milliseconds; empty: no reply in time
    // Not empty: no request could leave (no ICMP socket can be opened), so the echo says nothing
    // about the host; the words for the user.
    QString notSent{};
};

// Sends single echo requests and tells each one's fate. The real one is IcmpEchoEngine; tests
// hand the prober a scripted one.
class EchoTransport {
public:
    virtual ~EchoTransport() = default;
    using Answered = std::function<void(const EchoReply& reply)>;
    // `answered` is called exactly once, later, from the event loop; never from inside send().
    virtual quint64 send(const EchoRequest& request, Answered answered) = 0;
    // Forgets a request: its `answered` is never called.
    virtual void cancel(quint64 token) = 0;
};

}  // namespace sentrok
