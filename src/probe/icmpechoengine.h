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
    // No ICMP socket can be opened (first time, or again after one could): what is wrong and
    // the fix. Requests fail unsent meanwhile; every request tries again.
    void socketUnavailable(const QString& message);
    // A socket opened after socketUnavailable: requests leave again.
    void socketAvailable();

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

    struct ReadBatch;
    enum class Read { Empty, CaughtUp, OutOfTime };

    void schedulePump(int delayMs);
    void pump();
    void transmit(quint64 token, Queued queued);
    bool ensureSocket();
    bool setTtl(quint8 ttl);
    std::optional<std::uint16_t> freeSequence();
    bool admitSequence(std::uint16_t sequence);
    // Reads until the socket is empty, `budgetNs` have passed, or (with `arrivedBy`) a datagram
    // has been read that the kernel stamped later than that realtime moment.
    Read readReplies(std::int64_t budgetNs, std::optional<std::int64_t> arrivedBy = {});
    void received(QByteArrayView datagram, quint32 source, std::optional<std::int64_t> stampNs);
    void expire();
    void armTimeout();
    Answered takeInFlight(std::uint16_t sequence);

    EchoEngineOptions m_options;
    std::optional<IcmpSocket> m_socket;
    std::unique_ptr<QSocketNotifier> m_notifier;  // after m_socket: goes before the fd closes
    std::unique_ptr<ReadBatch> m_batch;
    bool m_unavailable = false;  // the last attempt to open a socket failed
    // The sequences the kernel filter lets through: [m_filterLow, m_filterLow + m_filterSpan].
    std::uint16_t m_filterLow = 0, m_filterSpan = 0xffff;
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
