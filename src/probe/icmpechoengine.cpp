// The echo engine: one ICMP socket per family (IPv4, IPv6) shared by every probe. Both follow
// the same rules below.
//
// Send. A request waits in a queue, oldest first, until the window has room (maxInFlight) and
// its turn on the pacing schedule has come (one per minGapMs on average); then it gets a
// sequence number that no request awaiting its reply holds, the socket's TTL is set to its
// own, and it leaves.
// Its time-out starts when it leaves, not when it was queued. A send that fails is tried once
// more (the kernel may hold an error left by an earlier packet and report it on this one); a
// second failure fails the echo at once. With no socket at all the echo fails unsent, which
// says nothing about the host; the socket is tried again for every request, and the first
// failure and the first success after one are signalled.
//
// Filter. The kernel drops, before they are queued, all ICMP but echo replies carrying our
// identifier and a sequence between the oldest one still awaiting its reply and a little
// beyond the next one to be given; the window is moved when a send would fall outside it. A
// flood of ICMP at us then costs the kernel, not the event loop, and cannot push our replies
// out of the receive buffer.
//
// Reply. The socket is read in batches for a few milliseconds a turn, or until it is empty,
// and then left alone for a millisecond (the notifier is level-triggered and comes back for
// the rest), so that the rest of the loop runs however much arrives, and a stream of
// datagrams costs a wake-up a millisecond rather than one each. A datagram answers a request only
// when it is an echo reply (checksum right, on a raw socket), carries our identifier and the
// sequence of a request still awaiting its reply, and comes from that request's destination.
// Anything else is counted as ignored and changes nothing. The reply time is the kernel's time of
// arrival less the realtime clock read just before the send, so a reply read late still counts with
// the time it came; when that is negative or beyond the time-out (the realtime clock was set), the
// monotonic time since the send is taken instead. A reply whose time is beyond the time-out
// is late and does not count; the echo is left to its time-out.
//
// Time-out. One timer is armed for the earliest deadline. When it fires, the socket is first
// read up to the datagrams that arrived before that moment (a reply that came in time must not
// lose to a late timer or to a queue full of others), then every request whose deadline had
// passed fails. Cancelling removes a request wherever it is and nothing is reported for it.
// Every outcome is reported from the event loop, never from inside send().

#include "probe/icmpechoengine.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <QCoreApplication>
#include <QSocketNotifier>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <vector>

namespace sentrok {

namespace {

constexpr std::int64_t kNsPerMs = 1'000'000;
// Enough for any reply of ours (IPv4 header with options, ICMP header, 126 bytes) and more.
constexpr int kDatagramBuffer = 2048;
constexpr int kDatagramsPerRead = 32;
// Reading in one turn of the event loop stops after this, whatever still waits.
constexpr std::int64_t kReadBudgetNs = 2 * kNsPerMs;
// After a turn that read something the socket is left alone this long, so that a stream of
// datagrams is read in batches rather than one wake-up each; the kernel's stamps keep the
// reply times, and time-outs drain the socket first.
constexpr int kReadPauseMs = 1;
// Before time-outs are judged the socket is read up to the moment of judging; this bounds it
// should the clock stamps be missing.
constexpr std::int64_t kDrainBudgetNs = 50 * kNsPerMs;
constexpr int kSendsPerTurn = 64;
// How far past the next sequence the kernel filter lets replies through, so that it is moved
// only once every so many requests.
constexpr std::uint16_t kFilterAhead = 1024;
// Most requests that leave back to back to catch up with the pacing schedule.
constexpr std::int64_t kCatchUpSends = 4;

std::int64_t clockNs(clockid_t clock)
{
    timespec ts{};
    clock_gettime(clock, &ts);
    return std::int64_t(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

int msUntil(std::int64_t whenNs, std::int64_t nowNs)
{
    if (whenNs <= nowNs) return 0;
    return int((whenNs - nowNs + kNsPerMs - 1) / kNsPerMs);
}

}  // namespace

// Room for one recvmmsg: the datagrams, their senders and their time stamps.
struct IcmpEchoEngine::ReadBatch {
    char data[kDatagramsPerRead][kDatagramBuffer];
    alignas(cmsghdr) char control[kDatagramsPerRead][CMSG_SPACE(sizeof(timespec)) + 64];
    sockaddr_storage from[kDatagramsPerRead];
    iovec iov[kDatagramsPerRead];
    mmsghdr msgs[kDatagramsPerRead];

    void reset()
    {
        for (int i = 0; i < kDatagramsPerRead; ++i) {
            iov[i] = {data[i], kDatagramBuffer};
            msghdr& m = msgs[i].msg_hdr;
            m = {};
            m.msg_name = &from[i];
            m.msg_namelen = sizeof from[i];
            m.msg_iov = &iov[i];
            m.msg_iovlen = 1;
            m.msg_control = control[i];
            m.msg_controllen = sizeof control[i];
            msgs[i].msg_len = 0;
        }
    }
};

namespace {

// Where a request to `address` goes, with the zone of a scoped IPv6 address; its size, 0 when
// the address is of neither family.
socklen_t socketAddress(const QHostAddress& address, sockaddr_storage& out)
{
    out = {};
    if (address.protocol() == QAbstractSocket::IPv4Protocol) {
        auto& in = reinterpret_cast<sockaddr_in&>(out);
        in.sin_family = AF_INET;
        in.sin_addr.s_addr = htonl(address.toIPv4Address());
        return sizeof in;
    }
    if (address.protocol() != QAbstractSocket::IPv6Protocol) return 0;
    auto& in6 = reinterpret_cast<sockaddr_in6&>(out);
    in6.sin6_family = AF_INET6;
    const Q_IPV6ADDR bytes = address.toIPv6Address();
    std::memcpy(&in6.sin6_addr, bytes.c, 16);
    const QString zone = address.scopeId();
    bool numeric = false;
    in6.sin6_scope_id = zone.toUInt(&numeric);
    if (!numeric && !zone.isEmpty())
        in6.sin6_scope_id = if_nametoindex(zone.toLocal8Bit().constData());
    return sizeof in6;
}

std::optional<std::int64_t> stampOf(msghdr& msg)
{
    for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS &&
            c->cmsg_len >= CMSG_LEN(sizeof(timespec))) {
            timespec ts{};
            std::memcpy(&ts, CMSG_DATA(c), sizeof ts);
            return std::int64_t(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
        }
    }
    return std::nullopt;
}

int domainOf(IcmpFamily family) { return family == IcmpFamily::V6 ? AF_INET6 : AF_INET; }

}  // namespace

IcmpEchoEngine::Peer IcmpEchoEngine::peerOf(const sockaddr_storage& address)
{
    Peer p;
    if (address.ss_family == AF_INET6) {
        p.family = IcmpFamily::V6;
        std::memcpy(p.bytes.data(), &reinterpret_cast<const sockaddr_in6&>(address).sin6_addr, 16);
    } else {
        std::memcpy(p.bytes.data(), &reinterpret_cast<const sockaddr_in&>(address).sin_addr, 4);
    }
    return p;
}

IcmpEchoEngine::IcmpEchoEngine(const EchoEngineOptions& options, QObject* parent)
    : QObject(parent), m_options(options)
{
    m_nextSequence = std::uint16_t(clockNs(CLOCK_MONOTONIC));
    m_pumpTimer.setSingleShot(true);
    m_pumpTimer.setTimerType(Qt::PreciseTimer);
    connect(&m_pumpTimer, &QTimer::timeout, this, &IcmpEchoEngine::pump);
    m_readPause.setSingleShot(true);
    m_readPause.setTimerType(Qt::PreciseTimer);
    connect(&m_readPause, &QTimer::timeout, this, &IcmpEchoEngine::resumeReading);
    m_timeoutTimer.setSingleShot(true);
    m_timeoutTimer.setTimerType(Qt::PreciseTimer);
    connect(&m_timeoutTimer, &QTimer::timeout, this, &IcmpEchoEngine::expire);
}

IcmpEchoEngine::~IcmpEchoEngine() = default;

std::optional<IcmpSocketKind> IcmpEchoEngine::socketKind(IcmpFamily family) const
{
    const Endpoint& e = family == IcmpFamily::V6 ? m_v6 : m_v4;
    if (!e.socket) return std::nullopt;
    return e.socket->kind;
}

quint64 IcmpEchoEngine::send(const EchoRequest& request, Answered answered)
{
    const quint64 token = ++m_nextToken;
    m_queue.emplace(token, Queued{request, std::move(answered)});
    schedulePump(0);
    return token;
}

void IcmpEchoEngine::cancel(quint64 token)
{
    if (m_queue.erase(token)) return;
    const auto it = m_sequenceOf.find(token);
    if (it != m_sequenceOf.end()) takeInFlight(it->second);
}

void IcmpEchoEngine::schedulePump(int delayMs)
{
    if (!m_pumpTimer.isActive() || m_pumpTimer.remainingTime() > delayMs)
        m_pumpTimer.start(delayMs);
}

void IcmpEchoEngine::pump()
{
    // Answers given on the way may queue or cancel requests: the queue is looked at afresh
    // every time round.
    int sent = 0;
    while (!m_queue.empty()) {
        if (m_options.maxInFlight > 0 && int(m_inFlight.size()) >= m_options.maxInFlight)
            return;  // the next echo to finish pumps again
        if (m_options.minGapMs > 0 && m_nextSendNs != 0) {
            const int wait = msUntil(m_nextSendNs, clockNs(CLOCK_MONOTONIC));
            if (wait > 0) {
                schedulePump(wait);
                return;
            }
        }
        if (sent == kSendsPerTurn) {  // let the loop breathe between batches
            schedulePump(0);
            return;
        }
        auto node = m_queue.extract(m_queue.begin());
        transmit(node.key(), std::move(node.mapped()));
        ++sent;
    }
}

QString IcmpEchoEngine::ensureSocket(Endpoint& e)
{
    if (e.socket) return {};
    // Tried again for every echo while it fails, so fixing the system settings takes effect
    // without a restart.
    IcmpSocketOrError opened = openIcmpSocket(m_options.socket, e.family);
    if (!opened.socket) {
        // A kernel without IPv6 is not the user's settings: only the hosts it concerns say so.
        if (e.family == IcmpFamily::V6 && familyUnsupported(opened))
            return QStringLiteral("IPv6 в системе недоступен (сокет ICMPv6 не открывается)");
        if (!m_unavailable) {
            m_unavailable = true;
            emit socketUnavailable(
                socketUnavailableText(opened, QCoreApplication::applicationFilePath()));
        }
        return socketUnavailableShortText();
    }
    e.socket = std::move(opened.socket);
    e.ttl = -1;
    e.filterSet = false;
    if (!m_batch) m_batch = std::make_unique<ReadBatch>();
    e.notifier = std::make_unique<QSocketNotifier>(e.socket->fd.get(), QSocketNotifier::Read);
    connect(e.notifier.get(), &QSocketNotifier::activated, this, [this, &e] { readTurn(e); });
    if (std::exchange(m_unavailable, false)) emit socketAvailable();
    return {};
}

bool IcmpEchoEngine::setTtl(Endpoint& e, quint8 ttl)
{
    if (e.ttl == ttl) return true;
    const int value = ttl;
    const bool v6 = e.family == IcmpFamily::V6;
    if (setsockopt(e.socket->fd.get(), v6 ? IPPROTO_IPV6 : IPPROTO_IP,
                   v6 ? IPV6_UNICAST_HOPS : IP_TTL, &value, sizeof value) != 0)
        return false;
    e.ttl = ttl;
    return true;
}

std::optional<std::uint16_t> IcmpEchoEngine::freeSequence()
{
    for (int i = 0; i < 0x10000; ++i) {
        const std::uint16_t sequence = m_nextSequence++;
        if (!m_inFlight.contains(sequence)) return sequence;
    }
    return std::nullopt;
}

bool IcmpEchoEngine::admitSequence(Endpoint& e, std::uint16_t sequence)
{
    if (e.filterSet && std::uint16_t(sequence - e.filterLow) <= e.filterSpan) return true;
    // The new window starts at the request that has waited longest, the one farthest behind
    // this sequence, and reaches kFilterAhead beyond it.
    std::uint16_t behind = 0;
    for (const auto& entry : m_inFlight)
        behind = std::max(behind, std::uint16_t(sequence - entry.first));
    const auto low = std::uint16_t(sequence - behind);
    const auto span = std::uint16_t(std::min<int>(0xffff, behind + kFilterAhead));
    if (!attachReplyFilter(*e.socket, low, span)) return false;
    e.filterLow = low;
    e.filterSpan = span;
    e.filterSet = true;
    return true;
}

void IcmpEchoEngine::transmit(quint64 token, Queued queued)
{
    const EchoRequest& r = queued.request;
    sockaddr_storage to{};
    const socklen_t toSize = socketAddress(r.address, to);
    if (toSize == 0) {
        queued.answered({});
        return;
    }
    Endpoint& e = to.ss_family == AF_INET6 ? m_v6 : m_v4;
    if (const QString why = ensureSocket(e); !why.isEmpty()) {
        queued.answered({{}, why});
        return;
    }
    const auto sequence = freeSequence();
    if (!sequence || !admitSequence(e, *sequence) || !setTtl(e, r.ttl)) {
        queued.answered({});
        return;
    }
    const QByteArray packet = echoRequestPacket(e.socket->id, *sequence, r.payload, e.family);
    std::int64_t realtime = 0, monotonic = 0;
    const auto attempt = [&] {
        realtime = clockNs(CLOCK_REALTIME);
        monotonic = clockNs(CLOCK_MONOTONIC);
        return sendto(e.socket->fd.get(), packet.constData(), size_t(packet.size()), 0,
                      reinterpret_cast<const sockaddr*>(&to), toSize) == packet.size();
    };
    if (!attempt() && !attempt()) {
        queued.answered({});
        return;
    }
    // Requests leave on a schedule of one per gap, never ahead of it. The event loop wakes late
    // now and then (a slice of recording, a repaint): requests held up meanwhile then leave
    // back to back until the schedule is met, so the lateness does not add up send after send.
    // Late by more than kCatchUpSends gaps means the queue had been idle: the schedule starts
    // afresh from this send.
    const std::int64_t gap = std::int64_t(m_options.minGapMs) * kNsPerMs;
    m_nextSendNs =
        monotonic - m_nextSendNs > kCatchUpSends * gap ? monotonic + gap : m_nextSendNs + gap;
    InFlight f;
    f.token = token;
    f.peer = peerOf(to);
    f.sentRealtimeNs = realtime;
    f.sentMonotonicNs = monotonic;
    f.timeoutNs = std::int64_t(r.timeoutMs) * kNsPerMs;
    f.deadlineNs = monotonic + f.timeoutNs;
    f.answered = std::move(queued.answered);
    m_deadlines.emplace(f.deadlineNs, *sequence);
    m_sequenceOf.emplace(token, *sequence);
    m_inFlight.emplace(*sequence, std::move(f));
    armTimeout();
}

void IcmpEchoEngine::readTurn(Endpoint& e)
{
    readReplies(e, kReadBudgetNs);
    e.notifier->setEnabled(false);
    if (!m_readPause.isActive()) m_readPause.start(kReadPauseMs);
}

void IcmpEchoEngine::resumeReading()
{
    for (Endpoint* e : {&m_v4, &m_v6})
        if (e->notifier) e->notifier->setEnabled(true);
}

IcmpEchoEngine::Read IcmpEchoEngine::readReplies(Endpoint& e, std::int64_t budgetNs,
                                                 std::optional<std::int64_t> arrivedBy)
{
    if (!e.socket) return Read::Empty;
    const std::int64_t until = clockNs(CLOCK_MONOTONIC) + budgetNs;
    ReadBatch& b = *m_batch;
    for (;;) {
        b.reset();
        const int n =
            recvmmsg(e.socket->fd.get(), b.msgs, kDatagramsPerRead, MSG_DONTWAIT, nullptr);
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK) return Read::Empty;
            continue;  // EINTR, or a pending socket error, which this read has cleared
        }
        bool caughtUp = false;
        for (int i = 0; i < n; ++i) {
            msghdr& msg = b.msgs[i].msg_hdr;
            if ((msg.msg_flags & MSG_TRUNC) || b.from[i].ss_family != domainOf(e.family)) {
                ++m_ignored;
                continue;
            }
            const auto stamp = stampOf(msg);
            if (arrivedBy && stamp && *stamp > *arrivedBy) caughtUp = true;
            received(e, QByteArrayView(b.data[i], b.msgs[i].msg_len), peerOf(b.from[i]), stamp);
        }
        if (n < kDatagramsPerRead) return Read::Empty;
        if (caughtUp) return Read::CaughtUp;
        if (clockNs(CLOCK_MONOTONIC) >= until) return Read::OutOfTime;
    }
}

void IcmpEchoEngine::received(const Endpoint& e, QByteArrayView datagram, const Peer& source,
                              std::optional<std::int64_t> stampNs)
{
    const auto header = parseEchoReply(datagram, e.socket->kind, e.family);
    const auto it =
        header && header->id == e.socket->id ? m_inFlight.find(header->sequence) : m_inFlight.end();
    if (it == m_inFlight.end() || it->second.peer != source) {
        ++m_ignored;
        return;
    }
    const InFlight& f = it->second;
    std::int64_t rtt = stampNs ? *stampNs - f.sentRealtimeNs : -1;
    if (rtt < 0 || rtt > f.timeoutNs) rtt = clockNs(CLOCK_MONOTONIC) - f.sentMonotonicNs;
    if (rtt > f.timeoutNs) {
        ++m_ignored;
        return;
    }
    const Answered answered = takeInFlight(header->sequence);
    answered({qint32(rtt / kNsPerMs), {}});
}

void IcmpEchoEngine::expire()
{
    // Replies beyond one turn's share may still wait in the socket; each of them may be the
    // answer to a request about to be failed. Those that arrive after this moment are late
    // for every request judged now.
    const std::int64_t now = clockNs(CLOCK_MONOTONIC), realNow = clockNs(CLOCK_REALTIME);
    readReplies(m_v4, kDrainBudgetNs, realNow);
    readReplies(m_v6, kDrainBudgetNs, realNow);
    std::vector<std::uint16_t> due;
    for (const auto& [deadline, sequence] : m_deadlines) {
        if (deadline > now) break;
        due.push_back(sequence);
    }
    // An answer may cancel other requests, due ones among them: look each one up again.
    for (const std::uint16_t sequence : due) {
        if (!m_inFlight.contains(sequence)) continue;
        const Answered answered = takeInFlight(sequence);
        answered({});
    }
    armTimeout();
}

void IcmpEchoEngine::armTimeout()
{
    if (m_deadlines.empty()) {
        m_timeoutTimer.stop();
        return;
    }
    m_timeoutTimer.start(msUntil(m_deadlines.begin()->first, clockNs(CLOCK_MONOTONIC)));
}

IcmpEchoEngine::Answered IcmpEchoEngine::takeInFlight(std::uint16_t sequence)
{
    const auto it = m_inFlight.find(sequence);
    if (it == m_inFlight.end()) return {};
    Answered answered = std::move(it->second.answered);
    m_deadlines.erase({it->second.deadlineNs, sequence});
    m_sequenceOf.erase(it->second.token);
    m_inFlight.erase(it);
    if (!m_queue.empty()) schedulePump(0);
    return answered;
}

}  // namespace sentrok
