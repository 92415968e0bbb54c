#pragma once

#include <QByteArray>
#include <QtGlobal>

#include <functional>
#include <optional>

namespace sentrok {

// One echo request as it goes on the wire.
struct EchoRequest {
    quint32 address = 0;  // IPv4, host byte order
    quint8 ttl = 255;
    QByteArray payload;
    int timeoutMs = 0;  // counted from the moment the request leaves; always above 0
};

// Sends single echo requests and tells each one's fate. The real one is IcmpEchoEngine; tests
// hand the prober a scripted one.
class EchoTransport {
public:
    virtual ~EchoTransport() = default;
    // The reply time in whole milliseconds, or empty: no reply in time, or the request could not
    // be sent.
    using Answered = std::function<void(std::optional<qint32> rttMs)>;
    // `answered` is called exactly once, later, from the event loop; never from inside send().
    virtual quint64 send(const EchoRequest& request, Answered answered) = 0;
    // Forgets a request: its `answered` is never called.
    virtual void cancel(quint64 token) = 0;
};

}  // namespace sentrok
