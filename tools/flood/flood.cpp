// sentrok-flood: floods 127.0.0.1 with ICMP for tests and benchmarks run inside a private
// network namespace, to show that the echo probe keeps its replies and its pace under attack.
//
//   sentrok-flood --kind replies|garbage [--rate N] [--to A.B.C.D]
//
//   replies  echo replies carrying the identifier of the latest echo request seen on the
//            namespace's loopback (nothing is sent before the first one), from random 127.x
//            sources; half with a random sequence, half with the sequence of a recent request
//   garbage  ICMP of any type but echo request, random code, length and content; a quarter
//            are echo replies with random identifiers, half have a right checksum
//   --rate   packets a second (default 5000), sent in a batch every millisecond
//   --to     where the packets go (default 127.0.0.1, a loopback address only)
//
// Prints "ready" once it runs; on SIGTERM it stops and prints "sent N" on standard error.

#include "../inetsum.h"

#include <arpa/inet.h>
#include <linux/icmp.h>
#include <netinet/in.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <random>
#include <string>
#include <vector>

namespace {

volatile sig_atomic_t g_stop = 0;

void put16(uint8_t* at, uint16_t v)
{
    at[0] = uint8_t(v >> 8);
    at[1] = uint8_t(v);
}

int64_t nowNs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

// What the flood knows of the requests it has seen.
struct Seen {
    bool any = false;
    uint16_t id = 0;
    uint16_t recent[64] = {};
    unsigned count = 0;
};

void watch(int fd, Seen& seen)
{
    uint8_t packet[2048];
    for (;;) {
        const ssize_t n = recv(fd, packet, sizeof packet, MSG_DONTWAIT);
        if (n < 28) return;
        const size_t header = size_t(packet[0] & 0x0f) * 4;
        if (size_t(n) < header + 8 || packet[header] != ICMP_ECHO) continue;
        seen.any = true;
        seen.id = uint16_t(packet[header + 4] << 8 | packet[header + 5]);
        seen.recent[seen.count++ % 64] = uint16_t(packet[header + 6] << 8 | packet[header + 7]);
    }
}

// One packet of the flood: IPv4 header and ICMP message, in `p`; its size.
size_t make(bool replies, const Seen& seen, uint32_t to, std::mt19937& random, uint8_t* p)
{
    const uint32_t r = random();
    size_t icmpSize = 8 + 32;
    uint8_t* icmp = p + 20;
    bool rightSum = true;
    if (replies) {
        icmp[0] = ICMP_ECHOREPLY;
        icmp[1] = 0;
        put16(icmp + 4, seen.id);
        const unsigned known = seen.count < 64 ? seen.count : 64;
        put16(icmp + 6, (r & 1) && known ? seen.recent[(r >> 1) % known] : uint16_t(r >> 16));
        for (size_t i = 8; i < icmpSize; ++i) icmp[i] = uint8_t('a' + i % 21);
    } else {
        icmpSize = 8 + random() % 113;
        for (size_t i = 0; i < icmpSize; ++i) icmp[i] = uint8_t(random());
        if (r % 4 == 0) {
            icmp[0] = ICMP_ECHOREPLY;
            icmp[1] = 0;
        } else if (icmp[0] == ICMP_ECHO) {
            icmp[0] = ICMP_DEST_UNREACH;
        }
        rightSum = (r >> 2) % 2 == 0;
    }
    put16(icmp + 2, 0);
    put16(icmp + 2, uint16_t(checksum(icmp, icmpSize) ^ (rightSum ? 0 : 0x5a5a)));

    const uint32_t source = htonl(0x7f000000u | (random() & 0x00ffffffu) | 1u);
    const uint32_t destination = htonl(to);
    std::memset(p, 0, 20);
    p[0] = 0x45;
    put16(p + 2, uint16_t(20 + icmpSize));
    p[8] = 64;
    p[9] = IPPROTO_ICMP;
    std::memcpy(p + 12, &source, 4);
    std::memcpy(p + 16, &destination, 4);
    put16(p + 10, checksum(p, 20));
    return 20 + icmpSize;
}

}  // namespace

int main(int argc, char** argv)
{
    prctl(PR_SET_PDEATHSIG, SIGTERM);  // never outlive the test that started us
    std::signal(SIGTERM, [](int) { g_stop = 1; });
    std::signal(SIGINT, [](int) { g_stop = 1; });

    std::string kind;
    long rate = 5000;
    in_addr to{htonl(INADDR_LOOPBACK)};
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string key = argv[i], value = argv[i + 1];
        if (key == "--kind")
            kind = value;
        else if (key == "--rate")
            rate = std::atol(value.c_str());
        else if (key == "--to" && inet_pton(AF_INET, value.c_str(), &to) == 1)
            continue;
        else
            kind.clear(), i = argc;
    }
    if ((kind != "replies" && kind != "garbage") || rate <= 0 || (ntohl(to.s_addr) >> 24) != 127) {
        std::fprintf(stderr,
                     "usage: sentrok-flood --kind replies|garbage [--rate N] [--to 127.x.y.z]\n");
        return 2;
    }
    const bool replies = kind == "replies";

    const int out = socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_RAW);
    const int in = socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, IPPROTO_ICMP);
    if (out < 0 || in < 0) {
        std::perror("sentrok-flood: raw socket");
        return 1;
    }
    icmp_filter filter{~(1u << ICMP_ECHO)};
    setsockopt(in, SOL_RAW, ICMP_FILTER, &filter, sizeof filter);
    const int buffer = 4 << 20;
    setsockopt(out, SOL_SOCKET, SO_SNDBUFFORCE, &buffer, sizeof buffer);
    std::printf("ready\n");
    std::fflush(stdout);

    std::mt19937 random{uint32_t(nowNs())};
    Seen seen;
    sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_addr = to;
    unsigned long long sent = 0;
    const int64_t start = nowNs();
    int64_t tick = start;
    uint8_t packet[256];
    while (!g_stop) {
        tick += 1'000'000;
        const timespec at{time_t(tick / 1'000'000'000), long(tick % 1'000'000'000)};
        clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr);
        watch(in, seen);
        if (replies && !seen.any) continue;
        // As many as the rate asks for by now, so that a late wake-up does not lower it.
        const auto due = (unsigned long long)((nowNs() - start) / 1000 * rate / 1'000'000);
        for (; sent < due && !g_stop; ++sent) {
            const size_t size = make(replies, seen, ntohl(to.s_addr), random, packet);
            sendto(out, packet, size, 0, reinterpret_cast<const sockaddr*>(&target), sizeof target);
        }
    }
    std::fprintf(stderr, "sent %llu\n", sent);
    return 0;
}
