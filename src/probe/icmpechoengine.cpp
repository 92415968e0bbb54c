// The echo engine: one ICMP socket shared by every probe.
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
// Reply. The socket is read in batches for a few milliseconds a turn, or until it is empty
// (the notifier is level-triggered and comes back for the rest), so that the rest of the loop
// runs however much arrives. A datagram answers a request only when it is an echo reply
// (checksum right, on a raw socket), carries our identifier and the sequence of a request
// still awaiting its reply, and comes from that request's destination. Anything else is
// counted as ignored and changes nothing. The reply time is the kernel's time of arrival less
// the realtime clock read just before the send, so a reply read late still counts with the
// time it came; when that is negative or beyond the time-out (the realtime clock was set), the
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
// Before time-outs are judged the socket is read up to the moment of judging; this bounds it
// should the clock stamps be missing.
constexpr std::int64_t kDrainBudgetNs = 50 * kNsPerMs;
constexpr int kSendsPerTurn = 64;
// How far past the next sequence the kernel filter lets replies through, so that it is moved
// only once every so many requests.
constexpr std::uint16_t kFilterAhead = 1024;
// Most requests that leave back to back to catch up with the pacing schedule.
constexpr std::int64_t kCatchUpSends = 4;

std::int64_t clockNs(clockid_t clock) {
    timespec ts{};
    clock_gettime(clock, &ts);
    return std::int64_t(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

int msUntil(std::int64_t whenNs, std::int64_t nowNs) {
    if (whenNs <= nowNs) return 0;
    return int((whenNs - nowNs + kNsPerMs - 1) / kNsPerMs);
}

}  // namespace

// Room for one recvmmsg: the datagrams, their senders and their time stamps.
struct IcmpEchoEngine::ReadBatch {
    char data[kDatagramsPerRead][kDatagramBuffer];
    alignas(cmsghdr) char control[kDatagramsPerRead][CMSG_SPACE(sizeof(timespec)) + 64];
    sockaddr_in from[kDatagramsPerRead];
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

}  // namespace

IcmpEchoEngine::IcmpEchoEngine(const EchoEngineOptions& options, QObject* parent)
    : QObject(parent), m_options(options) {
    m_nextSequence = std::uint16_t(clockNs(CLOCK_MONOTONIC));
    m_pumpTimer.setSingleShot(true);
    m_pumpTimer.setTimerType(Qt::PreciseTimer);
    connect(&m_pumpTimer, &QTimer::timeout, this, &IcmpEchoEngine::pump);
    m_timeoutTimer.setSingleShot(true);
    m_timeoutTimer.setTimerType(Qt::PreciseTimer);
    connect(&m_timeoutTimer, &QTimer::timeout, this, &IcmpEchoEngine::expire);
}

IcmpEchoEngine::~IcmpEchoEngine() = default;

std::optional<IcmpSocketKind> IcmpEchoEngine::socketKind() const {
    if (!m_socket) return std::nullopt;
    return m_socket->kind;
}

quint64 IcmpEchoEngine::send(const EchoRequest& request, Answered answered) {
    const quint64 token = ++m_nextToken;
    m_queue.emplace(token, Queued{request, std::move(answered)});
    schedulePump(0);
    return token;
}

void IcmpEchoEngine::cancel(quint64 token) {
    if (m_queue.erase(token)) return;
    const auto it = m_sequenceOf.find(token);
    if (it != m_sequenceOf.end()) takeInFlight(it->second);
}

void IcmpEchoEngine::schedulePump(int delayMs) {
    if (!m_pumpTimer.isActive() || m_pumpTimer.remainingTime() > delayMs)
        m_pumpTimer.start(delayMs);
}

void IcmpEchoEngine::pump() {
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

bool IcmpEchoEngine::ensureSocket() {
    if (m_socket) return true;
    // Tried again for every echo while it fails, so fixing the system settings takes effect
    // without a restart.
    IcmpSocketOrError opened = openIcmpSocket(m_options.socket);
    if (!opened.socket) {
        if (!m_unavailable) {
            m_unavailable = true;
            emit socketUnavailable(
                socketUnavailableText(opened, QCoreApplication::applicationFilePath()));
        }
        return false;
    }
    m_socket = std::move(opened.socket);
    m_ttl = -1;
    m_filterLow = 0;
    m_filterSpan = 0xffff;
    if (!m_batch) m_batch = std::make_unique<ReadBatch>();
    m_notifier = std::make_unique<QSocketNotifier>(m_socket->fd.get(), QSocketNotifier::Read);
    connect(m_notifier.get(), &QSocketNotifier::activated, this,
            [this] { readReplies(kReadBudgetNs); });
    if (std::exchange(m_unavailable, false)) emit socketAvailable();
    return true;
}

bool IcmpEchoEngine::setTtl(quint8 ttl) {
    if (m_ttl == ttl) return true;
    const int value = ttl;
    if (setsockopt(m_socket->fd.get(), IPPROTO_IP, IP_TTL, &value, sizeof value) != 0) return false;
    m_ttl = ttl;
    return true;
}

std::optional<std::uint16_t> IcmpEchoEngine::freeSequence() {
    for (int i = 0; i < 0x10000; ++i) {
        const std::uint16_t sequence = m_nextSequence++;
        if (!m_inFlight.contains(sequence)) return sequence;
    }
    return std::nullopt;
}

bool IcmpEchoEngine::admitSequence(std::uint16_t sequence) {
    if (std::uint16_t(sequence - m_filterLow) <= m_filterSpan) return true;
    // The new window starts at the request that has waited longest, the one farthest behind
    // this sequence, and reaches kFilterAhead beyond it.
    std::uint16_t behind = 0;
    for (const auto& entry : m_inFlight)
        behind = std::max(behind, std::uint16_t(sequence - entry.first));
    const auto low = std::uint16_t(sequence - behind);
    const auto span = std::uint16_t(std::min<int>(0xffff, behind + kFilterAhead));
    if (!attachReplyFilter(*m_socket, low, span)) return false;
    m_filterLow = low;
    m_filterSpan = span;
    return true;
}

void IcmpEchoEngine::transmit(quint64 token, Queued queued) {
    const EchoRequest& r = queued.request;
    if (!ensureSocket()) {
        queued.answered({{}, socketUnavailableShortText()});
        return;
    }
    const auto sequence = freeSequence();
    if (!sequence || !admitSequence(*sequence) || !setTtl(r.ttl)) {
        queued.answered({});
        return;
    }
    const QByteArray packet = echoRequestPacket(m_socket->id, *sequence, r.payload);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(r.address);
    std::int64_t realtime = 0, monotonic = 0;
    const auto attempt = [&] {
        realtime = clockNs(CLOCK_REALTIME);
        monotonic = clockNs(CLOCK_MONOTONIC);
        return sendto(m_socket->fd.get(), packet.constData(), size_t(packet.size()), 0,
                      reinterpret_cast<const sockaddr*>(&to), sizeof to) == packet.size();
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
    f.address = r.address;
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

IcmpEchoEngine::Read IcmpEchoEngine::readReplies(std::int64_t budgetNs,
                                                 std::optional<std::int64_t> arrivedBy) {
    if (!m_socket) return Read::Empty;
    const std::int64_t until = clockNs(CLOCK_MONOTONIC) + budgetNs;
    ReadBatch& b = *m_batch;
    for (;;) {
        b.reset();
        const int n = recvmmsg(m_socket->fd.get(), b.msgs, kDatagramsPerRead, MSG_DONTWAIT, nullptr);
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK) return Read::Empty;
            continue;  // EINTR, or a pending socket error, which this read has cleared
        }
        bool caughtUp = false;
        for (int i = 0; i < n; ++i) {
            msghdr& msg = b.msgs[i].msg_hdr;
            if ((msg.msg_flags & MSG_TRUNC) || b.from[i].sin_family != AF_INET) {
                ++m_ignored;
                continue;
            }
            const auto stamp = stampOf(msg);
            if (arrivedBy && stamp && *stamp > *arrivedBy) caughtUp = true;
            received(QByteArrayView(b.data[i], b.msgs[i].msg_len), ntohl(b.from[i].sin_addr.s_addr),
                     stamp);
        }
        if (n < kDatagramsPerRead) return Read::Empty;
        if (caughtUp) return Read::CaughtUp;
        if (clockNs(CLOCK_MONOTONIC) >= until) return Read::OutOfTime;
    }
}

void IcmpEchoEngine::received(QByteArrayView datagram, quint32 source,
                              std::optional<std::int64_t> stampNs) {
    const auto header = parseEchoReply(datagram, m_socket->kind);
    const auto it =
        header && header->id == m_socket->id ? m_inFlight.find(header->sequence) : m_inFlight.end();
    if (it == m_inFlight.end() || it->second.address != source) {
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

void IcmpEchoEngine::expire() {
    // Replies beyond one turn's share may still wait in the socket; each of them may be the
    // answer to a request about to be failed. Those that arrive after this moment are late
    // for every request judged now.
    const std::int64_t now = clockNs(CLOCK_MONOTONIC);
    readReplies(kDrainBudgetNs, clockNs(CLOCK_REALTIME));
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

void IcmpEchoEngine::armTimeout() {
    if (m_deadlines.empty()) {
        m_timeoutTimer.stop();
        return;
    }
    m_timeoutTimer.start(msUntil(m_deadlines.begin()->first, clockNs(CLOCK_MONOTONIC)));
}

IcmpEchoEngine::Answered IcmpEchoEngine::takeInFlight(std::uint16_t sequence) {
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
