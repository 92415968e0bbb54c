#pragma once

#include "probe/echotransport.h"
#include "probe/icmpsocket.h"

#include <QObject>
#include <QTimer>

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <unordered_map>
#include <utility>

class QSocketNotifier;

namespace sentrok {

struct EchoEngineOptions {
    SocketChoice socket = SocketChoice::Auto;
    // Least time between two requests leaving, so that a burst of thousands does not overflow
    // socket buffers on the way or at the far end.
    int minGapMs = 0;
    // Most requests awaiting their reply at once; the rest wait their turn without their
    // time-out running. 0: no limit.
    int maxInFlight = 0;
};

// The one owner of the ICMP socket; every probe's echoes go through it (see the .cpp for the
// rules on send, reply and time-out).
class IcmpEchoEngine final : public QObject, public EchoTransport {
    Q_OBJECT
public:
    explicit IcmpEchoEngine(const EchoEngineOptions& options = {}, QObject* parent = nullptr);
    ~IcmpEchoEngine() override;

    quint64 send(const EchoRequest& request, Answered answered) override;
    void cancel(quint64 token) override;

    // The socket in use; empty until the first request has been sent or while none can be opened.
    std::optional<IcmpSocketKind> socketKind() const;
    // Datagrams read that answered none of our requests (for tests and benchmarks).
    quint64 ignoredDatagrams() const { return m_ignored; }

signals:
    // Once per engine, the first time no ICMP socket can be opened: what is wrong and the fix.
    void socketUnavailable(const QString& message);

private:
    struct Queued {
        EchoRequest request;
        Answered answered;
    };
    struct InFlight {
        quint64 token = 0;
        quint32 address = 0;
        std::int64_t sentRealtimeNs = 0;
        std::int64_t sentMonotonicNs = 0;
        std::int64_t timeoutNs = 0;
        std::int64_t deadlineNs = 0;  // monotonic
        Answered answered;
    };

    void schedulePump(int delayMs);
    void pump();
    void transmit(quint64 token, Queued queued);
    bool ensureSocket();
    bool setTtl(quint8 ttl);
    std::optional<std::uint16_t> freeSequence();
    bool readReplies();  // true when the socket has been read empty
    void received(QByteArrayView datagram, quint32 source, std::optional<std::int64_t> stampNs);
    void expire();
    void armTimeout();
    Answered takeInFlight(std::uint16_t sequence);

    EchoEngineOptions m_options;
    std::optional<IcmpSocket> m_socket;
    std::unique_ptr<QSocketNotifier> m_notifier;  // after m_socket: goes before the fd closes
    bool m_told = false;
    int m_ttl = -1;  // the TTL last set on the socket
    std::uint16_t m_nextSequence = 0;
    quint64 m_nextToken = 0;
    std::int64_t m_nextSendNs = 0;  // monotonic; the earliest the next request may leave
    quint64 m_ignored = 0;

    // Waiting to be sent, oldest first (tokens only grow).
    std::map<quint64, Queued> m_queue;
    std::unordered_map<std::uint16_t, InFlight> m_inFlight;  // by sequence
    std::unordered_map<quint64, std::uint16_t> m_sequenceOf;  // by token
    std::set<std::pair<std::int64_t, std::uint16_t>> m_deadlines;
    QTimer m_pumpTimer;
    QTimer m_timeoutTimer;
};

}  // namespace sentrok
