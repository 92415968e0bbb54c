// sentrok-responder: answers ICMP echo requests to 127.x.y.z as a script says, for tests and
// benchmarks run inside a private network namespace whose kernel does not answer echoes
// itself (net.ipv4.icmp_echo_ignore_all=1).
//
//   sentrok-responder [--quiet] [-f SCRIPT] [RULE...]
//
// A rule is one line: ADDRESSES ACTION [delay=MS] [from=A.B.C.D] [pct=P]
//   ADDRESSES  127.a.b.c, a range 127.0.0.1-127.0.3.232, or a prefix 127.1.0.0/22
//   ACTION     reply         one echo reply
//              silent        nothing
//              twice         two echo replies
//              wrong-seq     a reply whose sequence is one more than the request's
//              wrong-id      a reply whose identifier is one more than the request's
//              wrong-source  a reply from another address (from=, default 127.0.0.254)
//              bad-checksum  a reply with a damaged ICMP checksum
//              unreachable   an ICMP "host unreachable" that quotes the request
//   delay=MS   wait that long before answering (default 0)
//   pct=P      the rule takes only P of every 100 addresses of its range (the first P of
//              each hundred, counted from the range's start); the others fall through
// The first rule that takes an address decides; an address no rule takes is silent.
// Lines starting with # are comments.
//
// Prints "ready" once it listens, then for every echo request it sees (unless --quiet):
//   request src=127.0.0.1 dst=127.0.0.2 id=4660 seq=7 ttl=64 len=32 action=reply us=12345678
// (us: when the request arrived by the kernel's stamp, realtime clock, in microseconds, so that
// a busy responder does not move it; only differences mean anything).
// Only requests between loopback addresses are ever answered.

#include <algorithm>
#include <arpa/inet.h>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <linux/icmp.h>
#include <map>
#include <netinet/in.h>
#include <optional>
#include <poll.h>
#include <sstream>
#include <string>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

enum class Action { Reply, Silent, Twice, WrongSeq, WrongId, WrongSource, BadChecksum, Unreachable };

const std::map<std::string, Action> kActions = {
    {"reply", Action::Reply},           {"silent", Action::Silent},
    {"twice", Action::Twice},           {"wrong-seq", Action::WrongSeq},
    {"wrong-id", Action::WrongId},      {"wrong-source", Action::WrongSource},
    {"bad-checksum", Action::BadChecksum}, {"unreachable", Action::Unreachable},
};

struct Rule {
    uint32_t first = 0, last = 0;  // host byte order
    Action action = Action::Reply;
    std::string actionName;
    int delayMs = 0;
    uint32_t from = 0x7f0000fe;  // 127.0.0.254
    int pct = 100;
};

volatile sig_atomic_t g_stop = 0;

bool isLoopback(uint32_t a) { return (a >> 24) == 127; }

std::optional<uint32_t> parseAddress(const std::string& text)
{
    in_addr a{};
    if (inet_pton(AF_INET, text.c_str(), &a) != 1) return std::nullopt;
    return ntohl(a.s_addr);
}

std::string addressText(uint32_t a)
{
    in_addr n{htonl(a)};
    char buffer[INET_ADDRSTRLEN];
    return inet_ntop(AF_INET, &n, buffer, sizeof buffer);
}

bool fail(const std::string& why)
{
    std::fprintf(stderr, "sentrok-responder: %s\n", why.c_str());
    return false;
}

bool parseAddresses(const std::string& text, Rule& rule)
{
    const auto dash = text.find('-'), slash = text.find('/');
    std::optional<uint32_t> first, last;
    if (dash != std::string::npos) {
        first = parseAddress(text.substr(0, dash));
        last = parseAddress(text.substr(dash + 1));
    } else if (slash != std::string::npos) {
        first = parseAddress(text.substr(0, slash));
        const int bits = std::atoi(text.c_str() + slash + 1);
        if (first && bits >= 8 && bits <= 32) {
            const uint32_t mask = bits == 32 ? ~0u : ~(~0u >> bits);
            first = *first & mask;
            last = *first | ~mask;
        } else {
            first.reset();
        }
    } else {
        first = last = parseAddress(text);
    }
    if (!first || !last || *last < *first) return fail("bad addresses: " + text);
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
        const std::string key = option.substr(0, eq), value = eq == std::string::npos ? "" : option.substr(eq + 1);
        if (key == "delay") {
            rule.delayMs = std::atoi(value.c_str());
        } else if (key == "pct") {
            rule.pct = std::atoi(value.c_str());
        } else if (key == "from") {
            const auto from = parseAddress(value);
            if (!from || !isLoopback(*from)) return fail("bad from= in: " + line);
            rule.from = *from;
        } else {
            return fail("bad option in: " + line);
        }
    }
    rules.push_back(rule);
    return true;
}

const Rule* ruleFor(const std::vector<Rule>& rules, uint32_t address)
{
    for (const Rule& r : rules) {
        if (address < r.first || address > r.last) continue;
        if (int((address - r.first) % 100) >= r.pct) continue;
        return &r;
    }
    return nullptr;
}

uint16_t checksum(const uint8_t* data, size_t size)
{
    uint32_t sum = 0;
    for (size_t i = 0; i + 1 < size; i += 2) sum += uint32_t(data[i] << 8 | data[i + 1]);
    if (size % 2) sum += uint32_t(data[size - 1]) << 8;
    while (sum >> 16) sum = (sum & 0xffff) + (sum >> 16);
    return uint16_t(~sum);
}

void put16(std::vector<uint8_t>& b, size_t at, uint16_t v)
{
    b[at] = uint8_t(v >> 8);
    b[at + 1] = uint8_t(v);
}

uint16_t get16(const uint8_t* p) { return uint16_t(p[0] << 8 | p[1]); }

// A whole IPv4 packet carrying `icmp`, for a socket that takes the header as given.
std::vector<uint8_t> ipPacket(uint32_t source, uint32_t destination, const std::vector<uint8_t>& icmp)
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

struct Outgoing {
    uint32_t destination;
    std::vector<uint8_t> packet;
};

long long nowUs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (long long)ts.tv_sec * 1000000 + ts.tv_nsec / 1000;
}


// The answers a rule gives to one request (the IPv4 packet `request`, its ICMP part `icmp`).
std::vector<std::vector<uint8_t>> answers(const Rule& rule, const uint8_t* request, size_t headerSize,
                                          const uint8_t* icmp, size_t icmpSize, uint32_t requester,
                                          uint32_t target)
{
    std::vector<uint8_t> reply(icmp, icmp + icmpSize);
    reply[0] = ICMP_ECHOREPLY;
    reply[1] = 0;
    uint32_t source = target;
    switch (rule.action) {
    case Action::WrongSeq: put16(reply, 6, uint16_t(get16(icmp + 6) + 1)); break;
    case Action::WrongId: put16(reply, 4, uint16_t(get16(icmp + 4) + 1)); break;
    case Action::WrongSource: source = rule.from; break;
    default: break;
    }
    put16(reply, 2, 0);
    put16(reply, 2, checksum(reply.data(), reply.size()));
    if (rule.action == Action::BadChecksum) reply[3] ^= 0x5a;
    if (rule.action == Action::Unreachable) {
        std::vector<uint8_t> error(8, 0);
        error[0] = ICMP_DEST_UNREACH;
        error[1] = ICMP_HOST_UNREACH;
        error.insert(error.end(), request, request + headerSize + 8);
        put16(error, 2, checksum(error.data(), error.size()));
        reply = std::move(error);
    }
    std::vector<std::vector<uint8_t>> out;
    switch (rule.action) {
    case Action::Silent: break;
    case Action::Twice: out.push_back(ipPacket(source, requester, reply)); [[fallthrough]];
    default: out.push_back(ipPacket(source, requester, reply));
    }
    return out;
}

// One datagram and the kernel's time of its arrival (realtime, microseconds).
ssize_t receive(int fd, uint8_t* buffer, size_t size, long long& arrivedUs)
{
    iovec iov{buffer, size};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timespec)) + 64];
    msghdr msg{};
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
        }
    }
    return n;
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
    std::printf("ready\n");
    std::fflush(stdout);

    std::multimap<int64_t, Outgoing> due;
    while (!g_stop) {
        int timeout = -1;
        if (!due.empty()) timeout = int(std::max<int64_t>(0, (due.begin()->first - nowUs() + 999) / 1000));
        pollfd p{in, POLLIN, 0};
        if (poll(&p, 1, timeout) > 0) {
            uint8_t packet[4096];
            long long arrivedUs = 0;
            const ssize_t n = receive(in, packet, sizeof packet, arrivedUs);
            const size_t headerSize = n >= 20 ? size_t(packet[0] & 0x0f) * 4 : 0;
            if (n >= 20 && headerSize >= 20 && size_t(n) >= headerSize + 8 && packet[headerSize] == ICMP_ECHO) {
                uint32_t src, dst;
                std::memcpy(&src, packet + 12, 4);
                std::memcpy(&dst, packet + 16, 4);
                src = ntohl(src);
                dst = ntohl(dst);
                const uint8_t* icmp = packet + headerSize;
                const size_t icmpSize = size_t(n) - headerSize;
                const Rule* rule = isLoopback(src) && isLoopback(dst) ? ruleFor(rules, dst) : nullptr;
                if (!quiet) {
                    std::printf("request src=%s dst=%s id=%u seq=%u ttl=%u len=%zu action=%s us=%lld\n",
                                addressText(src).c_str(), addressText(dst).c_str(), get16(icmp + 4),
                                get16(icmp + 6), packet[8], icmpSize - 8,
                                rule ? rule->actionName.c_str() : "silent", arrivedUs);
                    std::fflush(stdout);
                }
                if (rule)
                    for (auto& a : answers(*rule, packet, headerSize, icmp, icmpSize, src, dst))
                        due.emplace(nowUs() + rule->delayMs * 1000LL, Outgoing{src, std::move(a)});
            }
        }
        const int64_t now = nowUs();
        while (!due.empty() && due.begin()->first <= now) {
            const Outgoing& o = due.begin()->second;
            sockaddr_in to{};
            to.sin_family = AF_INET;
            to.sin_addr.s_addr = htonl(o.destination);
            sendto(out, o.packet.data(), o.packet.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
            due.erase(due.begin());
        }
    }
    return 0;
}
