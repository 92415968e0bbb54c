#pragma once

#include "probe/echotransport.h"
#include "probe/icmpsocket.h"

#include <QObject>
#include <QTimer>

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <unordered_map>
#include <utility>

class QSocketNotifier;
struct sockaddr_storage;

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

    // The family's socket in use; empty until its first request has been sent or while none can
    // be opened.
    std::optional<IcmpSocketKind> socketKind(IcmpFamily family = IcmpFamily::V4) const;
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
        EchoRequest request{};
        Answered answered{};
    };
    // One family's socket and what has been set on it.
    struct Endpoint {
        explicit Endpoint(IcmpFamily f) : family(f) {}
        IcmpFamily family{};
        std::optional<IcmpSocket> socket{};
        std::unique_ptr<QSocketNotifier> notifier{};  // after socket: goes before the fd closes
        int ttl = -1;                                 // the TTL (hop limit) last set
        // The sequences the kernel filter lets through, once set: [filterLow, filterLow +
        // filterSpan]. Until then it passes every echo reply that carries our identifier.
        bool filterSet = false;
        std::uint16_t filterLow = 0, filterSpan = 0xffff;
    };
    // A destination as the replies' senders are compared with it: the address's bytes.
    struct Peer {
        IcmpFamily family = IcmpFamily::V4;
        std::array<std::uint8_t, 16> bytes{};
        bool operator==(const Peer&) const = default;
    };
    static Peer peerOf(const sockaddr_storage& address);
    struct InFlight {
        quint64 token = 0;
        Peer peer{};
        std::int64_t sentRealtimeNs = 0;
        std::int64_t sentMonotonicNs = 0;
        std::int64_t timeoutNs = 0;
        std::int64_t deadlineNs = 0;  // monotonic
        Answered answered{};
    };

    struct ReadBatch;
    enum class Read { Empty, CaughtUp, OutOfTime };

    void schedulePump(int delayMs);
    void pump();
    void transmit(quint64 token, Queued queued);
    // Empty when the socket is open; otherwise the words for an echo that cannot leave.
    QString ensureSocket(Endpoint& e);
    bool setTtl(Endpoint& e, quint8 ttl);
    std::optional<std::uint16_t> freeSequence();
    bool admitSequence(Endpoint& e, std::uint16_t sequence);
    void readTurn(Endpoint& e);
    void resumeReading();
    // Reads until the socket is empty, `budgetNs` have passed, or (with `arrivedBy`) a datagram
    // has been read that the kernel stamped later than that realtime moment.
    Read readReplies(Endpoint& e, std::int64_t budgetNs,
                     std::optional<std::int64_t> arrivedBy = {});
    void received(const Endpoint& e, QByteArrayView datagram, const Peer& source,
                  std::optional<std::int64_t> stampNs);
    void expire();
    void armTimeout();
    Answered takeInFlight(std::uint16_t sequence);

    EchoEngineOptions m_options;
    Endpoint m_v4{IcmpFamily::V4};
    Endpoint m_v6{IcmpFamily::V6};
    std::unique_ptr<ReadBatch> m_batch;
    bool m_unavailable = false;  // the last attempt to open a socket failed
    std::uint16_t m_nextSequence = 0;
    quint64 m_nextToken = 0;
    std::int64_t m_nextSendNs = 0;  // monotonic; the earliest the next request may leave
    quint64 m_ignored = 0;

    // Waiting to be sent, oldest first (tokens only grow).
    std::map<quint64, Queued> m_queue;
    std::unordered_map<std::uint16_t, InFlight> m_inFlight;   // by sequence
    std::unordered_map<quint64, std::uint16_t> m_sequenceOf;  // by token
    std::set<std::pair<std::int64_t, std::uint16_t>> m_deadlines;
    QTimer m_pumpTimer;
    QTimer m_timeoutTimer;
    QTimer m_readPause;
};

}  // namespace sentrok
