// sentrok-responder: answers ICMP echo requests to 127.x.y.z, ::1 and fd00::/8 as a script
// says, for tests and benchmarks run inside a private network namespace whose kernel does not
// answer echoes itself (net.ipv4.icmp_echo_ignore_all=1, net.ipv6.icmp.echo_ignore_all=1;
// tests/netns-run.sh makes every fd00::/64 address local to it).
//
//   sentrok-responder [--quiet] [-f SCRIPT] [RULE...]
//
// A rule is one line: ADDRESSES ACTION [delay=MS] [from=ADDRESS] [pct=P]
//   ADDRESSES  127.a.b.c, a range 127.0.0.1-127.0.3.232, or a prefix 127.1.0.0/22; the same
//              for IPv6: fd00::5, fd00::1-fd00::ff, fd00::/64 (a prefix of 64 bits or more)
//   ACTION     reply         one echo reply
//              silent        nothing
//              twice         two echo replies
//              wrong-seq     a reply whose sequence is one more than the request's
//              wrong-id      a reply whose identifier is one more than the request's
//              wrong-source  a reply from another address (from=, default 127.0.0.254 or
//                            fd00::fe)
//              bad-checksum  a reply with a damaged ICMP checksum (IPv4 only: the kernel
//                            computes every ICMPv6 checksum)
//              unreachable   a "host unreachable" that quotes the request ("address
//                            unreachable" over IPv6)
//   delay=MS   wait that long before answering (default 0)
//   pct=P      the rule takes only P of every 100 addresses of its range (the first P of
//              each hundred, counted from the range's start); the others fall through
// The first rule that takes an address decides; an address no rule takes is silent.
// Lines starting with # are comments.
//
// Prints "ready" once it listens, then for every echo request it sees (unless --quiet):
//   request src=127.0.0.1 dst=127.0.0.2 id=4660 seq=7 ttl=64 len=32 action=reply us=12345678
// (ttl: the hop limit over IPv6; us: when the request arrived by the kernel's stamp, realtime
// clock, in microseconds, so that a busy responder does not move it; only differences mean
// anything). Only requests between loopback addresses (127.0.0.0/8, ::1, fd00::/8) are ever
// answered.

#include "../inetsum.h"

#include <arpa/inet.h>
#include <linux/icmp.h>
#include <netinet/icmp6.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>
#include <algorithm>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace {

enum class Action {
    Reply,
    Silent,
    Twice,
    WrongSeq,
    WrongId,
    WrongSource,
    BadChecksum,
    Unreachable
};

const std::map<std::string, Action> kActions = {
    {"reply", Action::Reply},
    {"silent", Action::Silent},
    {"twice", Action::Twice},
    {"wrong-seq", Action::WrongSeq},
    {"wrong-id", Action::WrongId},
    {"wrong-source", Action::WrongSource},
    {"bad-checksum", Action::BadChecksum},
    {"unreachable", Action::Unreachable},
};

__extension__ typedef unsigned __int128 u128;

// An IPv4 or IPv6 address as a number, so that ranges and prefixes work alike for both.
struct Address {
    bool v6 = false;
    u128 value = 0;
    bool operator==(const Address&) const = default;
};

Address v4(uint32_t a) { return {false, a}; }

struct Rule {
    Address first, last;
    Action action = Action::Reply;
    std::string actionName;
    int delayMs = 0;
    std::optional<Address> from;  // wrong-source: default 127.0.0.254 or fd00::fe
    int pct = 100;
};

volatile sig_atomic_t g_stop = 0;

bool isLoopback(const Address& a)
{
    if (!a.v6) return (a.value >> 24) == 127;
    return a.value == 1 || (a.value >> 120) == 0xfd;
}

std::optional<Address> parseAddress(const std::string& text)
{
    in_addr a{};
    if (inet_pton(AF_INET, text.c_str(), &a) == 1) return v4(ntohl(a.s_addr));
    in6_addr a6{};
    if (inet_pton(AF_INET6, text.c_str(), &a6) != 1) return std::nullopt;
    Address out{true, 0};
    for (uint8_t byte : a6.s6_addr) out.value = out.value << 8 | byte;
    return out;
}

in6_addr toIn6(const Address& a)
{
    in6_addr out{};
    for (int i = 15; i >= 0; --i) out.s6_addr[i] = uint8_t(a.value >> (8 * (15 - i)));
    return out;
}

Address fromIn6(const in6_addr& a)
{
    Address out{true, 0};
    for (uint8_t byte : a.s6_addr) out.value = out.value << 8 | byte;
    return out;
}

std::string addressText(const Address& a)
{
    char buffer[INET6_ADDRSTRLEN];
    if (!a.v6) {
        in_addr n{htonl(uint32_t(a.value))};
        return inet_ntop(AF_INET, &n, buffer, sizeof buffer);
    }
    const in6_addr n = toIn6(a);
    return inet_ntop(AF_INET6, &n, buffer, sizeof buffer);
}

bool fail(const std::string& why)
{
    std::fprintf(stderr, "sentrok-responder: %s\n", why.c_str());
    return false;
}

bool parseAddresses(const std::string& text, Rule& rule)
{
    const auto dash = text.find('-'), slash = text.find('/');
    std::optional<Address> first, last;
    if (dash != std::string::npos) {
        first = parseAddress(text.substr(0, dash));
        last = parseAddress(text.substr(dash + 1));
    } else if (slash != std::string::npos) {
        first = parseAddress(text.substr(0, slash));
        const int bits = std::atoi(text.c_str() + slash + 1);
        const int width = first && first->v6 ? 128 : 32, least = first && first->v6 ? 64 : 8;
        if (first && bits >= least && bits <= width) {
            const u128 span = (u128)1 << (width - bits);
            last = Address{first->v6, (first->value & ~(span - 1)) | (span - 1)};
            first->value &= ~(span - 1);
        } else {
            first.reset();
        }
    } else {
        first = last = parseAddress(text);
    }
    if (!first || !last || first->v6 != last->v6 || last->value < first->value)
        return fail("bad addresses: " + text);
    if (!isLoopback(*first) || !isLoopback(*last)) return fail("not a loopback address: " + text);
    rule.first = *first;
    rule.last = *last;
    return true;
}

bool parseRule(const std::string& line, std::vector<Rule>& rules)
{
    std::istringstream words(line);
    std::string addresses, action, option;
    if (!(words >> addresses) || addresses[0] == '#') return true;
    Rule rule;
    if (!parseAddresses(addresses, rule)) return false;
    if (!(words >> action) || !kActions.count(action)) return fail("bad action in: " + line);
    rule.action = kActions.at(action);
    rule.actionName = action;
    while (words >> option) {
        const auto eq = option.find('=');
        const std::string key = option.substr(0, eq),
                          value = eq == std::string::npos ? "" : option.substr(eq + 1);
        if (key == "delay") {
            rule.delayMs = std::atoi(value.c_str());
        } else if (key == "pct") {
            rule.pct = std::atoi(value.c_str());
        } else if (key == "from") {
            const auto from = parseAddress(value);
            if (!from || !isLoopback(*from) || from->v6 != rule.first.v6)
                return fail("bad from= in: " + line);
            rule.from = *from;
        } else {
            return fail("bad option in: " + line);
        }
    }
    if (rule.first.v6 && rule.action == Action::BadChecksum)
        return fail("no bad-checksum over IPv6: " + line);
    if (!rule.from) rule.from = rule.first.v6 ? *parseAddress("fd00::fe") : v4(0x7f0000fe);
    rules.push_back(rule);
    return true;
}

const Rule* ruleFor(const std::vector<Rule>& rules, const Address& address)
{
    for (const Rule& r : rules) {
        if (address.v6 != r.first.v6 || address.value < r.first.value ||
            address.value > r.last.value)
            continue;
        if (int((address.value - r.first.value) % 100) >= r.pct) continue;
        return &r;
    }
    return nullptr;
}

void put16(std::vector<uint8_t>& b, size_t at, uint16_t v)
{
    b[at] = uint8_t(v >> 8);
    b[at + 1] = uint8_t(v);
}

uint16_t get16(const uint8_t* p) { return uint16_t(p[0] << 8 | p[1]); }

// A whole IPv4 packet carrying `icmp`, for a socket that takes the header as given.
std::vector<uint8_t> ipPacket(uint32_t source, uint32_t destination,
                              const std::vector<uint8_t>& icmp)
{
    std::vector<uint8_t> p(20 + icmp.size(), 0);
    p[0] = 0x45;
    put16(p, 2, uint16_t(20 + icmp.size()));
    p[8] = 64;
    p[9] = IPPROTO_ICMP;
    const uint32_t s = htonl(source), d = htonl(destination);
    std::memcpy(&p[12], &s, 4);
    std::memcpy(&p[16], &d, 4);
    put16(p, 10, checksum(p.data(), 20));
    std::copy(icmp.begin(), icmp.end(), p.begin() + 20);
    return p;
}

// What leaves: over IPv4 a whole packet; over IPv6 the ICMPv6 message, its source given
// beside it and its checksum left to the kernel.
struct Outgoing {
    Address source, destination;
    std::vector<uint8_t> packet;
};

long long nowUs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (long long)ts.tv_sec * 1000000 + ts.tv_nsec / 1000;
}

// One echo request as it was read.
struct Request {
    Address source, destination;
    std::vector<uint8_t> icmp;
    std::vector<uint8_t> quoted;  // what an error about it quotes: its IP header and 8 bytes
    unsigned ttl = 0;
    long long arrivedUs = 0;
};

// The answers a rule gives to one request.
std::vector<Outgoing> answers(const Rule& rule, const Request& r)
{
    const bool v6 = r.destination.v6;
    std::vector<uint8_t> reply = r.icmp;
    reply[0] = v6 ? ICMP6_ECHO_REPLY : ICMP_ECHOREPLY;
    reply[1] = 0;
    Address source = r.destination;
    switch (rule.action) {
        case Action::WrongSeq:
            put16(reply, 6, uint16_t(get16(&r.icmp[6]) + 1));
            break;
        case Action::WrongId:
            put16(reply, 4, uint16_t(get16(&r.icmp[4]) + 1));
            break;
        case Action::WrongSource:
            source = *rule.from;
            break;
        default:
            break;
    }
    put16(reply, 2, 0);
    if (rule.action == Action::Unreachable) {
        std::vector<uint8_t> error(8 + r.quoted.size(), 0);
        error[0] = v6 ? ICMP6_DST_UNREACH : ICMP_DEST_UNREACH;
        error[1] = v6 ? ICMP6_DST_UNREACH_ADDR : ICMP_HOST_UNREACH;
        std::copy(r.quoted.begin(), r.quoted.end(), error.begin() + 8);
        reply = std::move(error);
    }
    if (!v6) put16(reply, 2, checksum(reply.data(), reply.size()));
    if (rule.action == Action::BadChecksum) reply[3] ^= 0x5a;
    const auto packet = [&] {
        return v6 ? reply : ipPacket(uint32_t(source.value), uint32_t(r.source.value), reply);
    };
    std::vector<Outgoing> out;
    switch (rule.action) {
        case Action::Silent:
            break;
        case Action::Twice:
            out.push_back({source, r.source, packet()});
            [[fallthrough]];
        default:
            out.push_back({source, r.source, packet()});
    }
    return out;
}

// One datagram, with the kernel's time of its arrival (realtime, microseconds) and, on an
// IPv6 socket, its sender, destination and hop limit.
ssize_t receive(int fd, uint8_t* buffer, size_t size, long long& arrivedUs,
                sockaddr_in6* from = nullptr, in6_addr* to = nullptr, unsigned* hops = nullptr)
{
    iovec iov{buffer, size};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timespec)) + CMSG_SPACE(sizeof(in6_pktinfo)) +
                                  CMSG_SPACE(sizeof(int)) + 64];
    msghdr msg{};
    msg.msg_name = from;
    msg.msg_namelen = from ? sizeof *from : 0;
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    const ssize_t n = recvmsg(fd, &msg, MSG_DONTWAIT);
    arrivedUs = 0;
    for (cmsghdr* c = CMSG_FIRSTHDR(&msg); n >= 0 && c; c = CMSG_NXTHDR(&msg, c)) {
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
            timespec ts{};
            std::memcpy(&ts, CMSG_DATA(c), sizeof ts);
            arrivedUs = (long long)ts.tv_sec * 1000000 + ts.tv_nsec / 1000;
        } else if (to && c->cmsg_level == IPPROTO_IPV6 && c->cmsg_type == IPV6_PKTINFO) {
            in6_pktinfo info{};
            std::memcpy(&info, CMSG_DATA(c), sizeof info);
            *to = info.ipi6_addr;
        } else if (hops && c->cmsg_level == IPPROTO_IPV6 && c->cmsg_type == IPV6_HOPLIMIT) {
            int value = 0;
            std::memcpy(&value, CMSG_DATA(c), sizeof value);
            *hops = unsigned(value);
        }
    }
    return n;
}

std::optional<Request> readV4(int fd)
{
    uint8_t packet[4096];
    Request r;
    const ssize_t n = receive(fd, packet, sizeof packet, r.arrivedUs);
    const size_t headerSize = n >= 20 ? size_t(packet[0] & 0x0f) * 4 : 0;
    if (n < 20 || headerSize < 20 || size_t(n) < headerSize + 8 || packet[headerSize] != ICMP_ECHO)
        return std::nullopt;
    uint32_t src, dst;
    std::memcpy(&src, packet + 12, 4);
    std::memcpy(&dst, packet + 16, 4);
    r.source = v4(ntohl(src));
    r.destination = v4(ntohl(dst));
    r.icmp.assign(packet + headerSize, packet + n);
    r.quoted.assign(packet, packet + headerSize + 8);
    r.ttl = packet[8];
    return r;
}

std::optional<Request> readV6(int fd)
{
    uint8_t packet[4096];
    Request r;
    sockaddr_in6 from{};
    in6_addr to{};
    const ssize_t n = receive(fd, packet, sizeof packet, r.arrivedUs, &from, &to, &r.ttl);
    if (n < 8 || packet[0] != ICMP6_ECHO_REQUEST) return std::nullopt;
    r.source = fromIn6(from.sin6_addr);
    r.destination = fromIn6(to);
    r.icmp.assign(packet, packet + n);
    // The request's own header, as the kernel would have quoted it.
    std::vector<uint8_t> header(40, 0);
    header[0] = 0x60;
    put16(header, 4, uint16_t(n));
    header[6] = IPPROTO_ICMPV6;
    header[7] = uint8_t(r.ttl);
    std::memcpy(&header[8], &from.sin6_addr, 16);
    std::memcpy(&header[24], &to, 16);
    r.quoted = header;
    r.quoted.insert(r.quoted.end(), packet, packet + 8);
    return r;
}

void sendV4(int fd, const Outgoing& o)
{
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(uint32_t(o.destination.value));
    sendto(fd, o.packet.data(), o.packet.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
}

void sendV6(int fd, const Outgoing& o)
{
    sockaddr_in6 to{};
    to.sin6_family = AF_INET6;
    to.sin6_addr = toIn6(o.destination);
    iovec iov{const_cast<uint8_t*>(o.packet.data()), o.packet.size()};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in6_pktinfo))] = {};
    msghdr msg{};
    msg.msg_name = &to;
    msg.msg_namelen = sizeof to;
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    cmsghdr* c = CMSG_FIRSTHDR(&msg);
    c->cmsg_level = IPPROTO_IPV6;
    c->cmsg_type = IPV6_PKTINFO;
    c->cmsg_len = CMSG_LEN(sizeof(in6_pktinfo));
    in6_pktinfo info{};
    info.ipi6_addr = toIn6(o.source);
    std::memcpy(CMSG_DATA(c), &info, sizeof info);
    sendmsg(fd, &msg, 0);
}

bool readScript(const char* path, std::vector<Rule>& rules)
{
    std::ifstream in(path);
    if (!in) return fail(std::string("cannot read ") + path);
    std::string line;
    while (std::getline(in, line))
        if (!parseRule(line, rules)) return false;
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    prctl(PR_SET_PDEATHSIG, SIGTERM);  // never outlive the test that started us
    std::signal(SIGTERM, [](int) { g_stop = 1; });
    std::signal(SIGINT, [](int) { g_stop = 1; });

    bool quiet = false;
    std::vector<Rule> rules;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--quiet") {
            quiet = true;
        } else if (arg == "-f" && i + 1 < argc) {
            if (!readScript(argv[++i], rules)) return 2;
        } else if (!parseRule(arg, rules)) {
            return 2;
        }
    }

    const int in = socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
    const int out = socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_RAW);
    if (in < 0 || out < 0) {
        std::perror("sentrok-responder: raw socket");
        return 1;
    }
    icmp_filter filter{~(1u << ICMP_ECHO)};
    setsockopt(in, SOL_RAW, ICMP_FILTER, &filter, sizeof filter);
    const int on = 1;
    setsockopt(in, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
    const int buffer = 4 << 20;
    setsockopt(in, SOL_SOCKET, SO_RCVBUFFORCE, &buffer, sizeof buffer);
    setsockopt(out, SOL_SOCKET, SO_SNDBUFFORCE, &buffer, sizeof buffer);
    // IPv6 where the system has it; one raw ICMPv6 socket reads the requests and sends the
    // answers, from whichever local address the answer names.
    const int in6 = socket(AF_INET6, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMPV6);
    if (in6 >= 0) {
        icmp6_filter filter6;
        ICMP6_FILTER_SETBLOCKALL(&filter6);
        ICMP6_FILTER_SETPASS(ICMP6_ECHO_REQUEST, &filter6);
        setsockopt(in6, IPPROTO_ICMPV6, ICMP6_FILTER, &filter6, sizeof filter6);
        setsockopt(in6, IPPROTO_IPV6, IPV6_RECVPKTINFO, &on, sizeof on);
        // The addresses of fd00::/64 are local by a route, not assigned: answering from them
        // needs leave to use an address the interface does not list.
        setsockopt(in6, IPPROTO_IPV6, IPV6_FREEBIND, &on, sizeof on);
        setsockopt(in6, IPPROTO_IPV6, IPV6_RECVHOPLIMIT, &on, sizeof on);
        setsockopt(in6, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
        setsockopt(in6, SOL_SOCKET, SO_RCVBUFFORCE, &buffer, sizeof buffer);
        setsockopt(in6, SOL_SOCKET, SO_SNDBUFFORCE, &buffer, sizeof buffer);
    }
    std::printf("ready\n");
    std::fflush(stdout);

    std::multimap<int64_t, Outgoing> due;
    while (!g_stop) {
        int timeout = -1;
        if (!due.empty())
            timeout = int(std::max<int64_t>(0, (due.begin()->first - nowUs() + 999) / 1000));
        pollfd p[2] = {{in, POLLIN, 0}, {in6, POLLIN, 0}};
        if (poll(p, in6 >= 0 ? 2 : 1, timeout) > 0) {
            std::optional<Request> r;
            if (p[0].revents & POLLIN)
                r = readV4(in);
            else if (in6 >= 0 && (p[1].revents & POLLIN))
                r = readV6(in6);
            if (r) {
                const Rule* rule = isLoopback(r->source) && isLoopback(r->destination)
                                       ? ruleFor(rules, r->destination)
                                       : nullptr;
                if (!quiet) {
                    std::printf(
                        "request src=%s dst=%s id=%u seq=%u ttl=%u len=%zu action=%s us=%lld\n",
                        addressText(r->source).c_str(), addressText(r->destination).c_str(),
                        get16(&r->icmp[4]), get16(&r->icmp[6]), r->ttl, r->icmp.size() - 8,
                        rule ? rule->actionName.c_str() : "silent", r->arrivedUs);
                    std::fflush(stdout);
                }
                if (rule)
                    for (Outgoing& a : answers(*rule, *r))
                        due.emplace(nowUs() + rule->delayMs * 1000LL, std::move(a));
            }
        }
        const int64_t now = nowUs();
        while (!due.empty() && due.begin()->first <= now) {
            const Outgoing& o = due.begin()->second;
            o.destination.v6 ? sendV6(in6, o) : sendV4(out, o);
            due.erase(due.begin());
        }
    }
    return 0;
}
