// sentrok-delayproxy: a TCP relay that makes a loopback link as slow as a distant one, so a
// benchmark can show what a database server across a WAN costs the monitoring.
//
//   sentrok-delayproxy [--postgres] LISTEN_PORT TARGET_HOST TARGET_PORT DELAY_MS
//
// Listens on 127.0.0.1:LISTEN_PORT (0: any free port); each connection accepted gets one of its
// own to TARGET_HOST:TARGET_PORT. Whatever arrives from either side is passed on DELAY_MS after it
// arrived, in the order it arrived: a round trip through the relay costs 2 x DELAY_MS more. A side
// that closes is closed on the other side once what it sent before has been passed on.
//
// Prints "ready PORT" on standard output once it listens. On SIGUSR1 it prints the totals since it
// started: "turns T up U down D", where a turn is a burst from the client after the server last
// spoke (or the first one): with a client that waits for each answer, its round trips. With
// --postgres the client's side is read as PostgreSQL's protocol (version 3, without TLS) and the
// line goes on with " statements S": queries sent, simple or extended (a PREPARE, an EXECUTE
// and a COMMIT count one each); a stream it cannot follow (TLS, another protocol) stops the
// counting on that connection. Stops on SIGTERM, SIGINT or when its parent dies.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <string>
#include <vector>

namespace {

volatile sig_atomic_t g_stop = 0;
volatile sig_atomic_t g_report = 0;

using Clock = std::chrono::steady_clock;

class Fd {
public:
    explicit Fd(int fd = -1) : m_fd(fd) {}
    Fd(Fd&& o) noexcept : m_fd(o.m_fd) { o.m_fd = -1; }
    Fd& operator=(Fd&& o) noexcept
    {
        if (this != &o) {
            reset();
            m_fd = o.m_fd;
            o.m_fd = -1;
        }
        return *this;
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() { reset(); }
    int get() const { return m_fd; }
    void reset()
    {
        if (m_fd >= 0) close(m_fd);
        m_fd = -1;
    }

private:
    int m_fd;
};

struct Chunk {
    Clock::time_point due;
    std::string bytes;  // empty: the sender closed; shut the receiver's writing side then
};

// One direction of a connection: what was read from `from`, waiting to be written to `to`.
struct Direction {
    std::deque<Chunk> queue;
    std::size_t written = 0;  // of the front chunk
    bool readClosed = false;  // EOF seen; nothing more is read
    bool writeShut = false;   // the EOF was passed on
    std::uint64_t chunks = 0;
};

struct Totals {
    std::uint64_t turns = 0, up = 0, down = 0, statements = 0;
};

// Follows what a PostgreSQL client sends: first untyped messages (TLS and GSS requests, then the
// startup message), then messages of a type byte and a length.
class PgCounter {
public:
    void feed(const std::string& bytes, Totals& totals)
    {
        if (m_lost) return;
        m_buffer += bytes;
        std::size_t at = 0;
        for (;;) {
            const std::size_t header = m_startup ? 4 : 5;
            if (m_buffer.size() - at < header) break;
            const auto* p =
                reinterpret_cast<const unsigned char*>(m_buffer.data() + at + header - 4);
            const std::uint32_t length = std::uint32_t(p[0]) << 24 | p[1] << 16 | p[2] << 8 | p[3];
            if (length < 4 || length > (1u << 30)) {
                m_lost = true;
                m_buffer.clear();
                return;
            }
            const std::size_t whole = header - 4 + length;
            if (m_buffer.size() - at < whole) break;
            if (m_startup) {
                const std::uint32_t code =
                    length >= 8 ? std::uint32_t(p[4]) << 24 | p[5] << 16 | p[6] << 8 | p[7] : 0;
                constexpr std::uint32_t kSslRequest = 80877103, kGssRequest = 80877104;
                m_startup = code == kSslRequest || code == kGssRequest;
            } else {
                const char type = m_buffer[at];
                if (type == 'Q' || type == 'E') ++totals.statements;
            }
            at += whole;
        }
        m_buffer.erase(0, at);
    }

private:
    std::string m_buffer;
    bool m_startup = true;
    bool m_lost = false;
};

struct Pair {
    Fd client, server;
    Direction up, down;  // up: client to server
    bool serverSpokeLast = true;
    bool dead = false;
    PgCounter pg;
};

void setNonBlocking(int fd) { fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK); }

int connectTo(const char* host, const char* port)
{
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(host, port, &hints, &found) != 0) return -1;
    int fd = -1;
    for (addrinfo* a = found; a; a = a->ai_next) {
        fd = socket(a->ai_family, a->ai_socktype, a->ai_protocol);
        if (fd < 0) continue;
        if (connect(fd, a->ai_addr, a->ai_addrlen) == 0) break;
        close(fd);
        fd = -1;
    }
    freeaddrinfo(found);
    if (fd >= 0) {
        const int one = 1;
        // The delay is the relay's own: Nagle's would add to it.
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        setNonBlocking(fd);
    }
    return fd;
}

// Reads what `fd` has into the direction's queue, due `delay` from now, each chunk shown to
// `seen`. False on a hard error.
template <typename Seen>
bool readInto(int fd, Direction& d, std::chrono::milliseconds delay, Seen&& seen)
{
    char buf[65536];
    for (;;) {
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n > 0) {
            d.queue.push_back({Clock::now() + delay, std::string(buf, std::size_t(n))});
            seen(d.queue.back().bytes);
            ++d.chunks;
            continue;
        }
        if (n == 0) {
            d.readClosed = true;
            d.queue.push_back({Clock::now() + delay, {}});
            return true;
        }
        if (errno == EINTR) continue;
        return errno == EAGAIN || errno == EWOULDBLOCK;
    }
}

// Writes the chunks that are due. False on a hard error.
bool flushDue(int fd, Direction& d, Clock::time_point now)
{
    while (!d.queue.empty() && d.queue.front().due <= now) {
        Chunk& c = d.queue.front();
        if (c.bytes.empty()) {
            shutdown(fd, SHUT_WR);
            d.writeShut = true;
            d.queue.pop_front();
            continue;
        }
        const ssize_t n = write(fd, c.bytes.data() + d.written, c.bytes.size() - d.written);
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno == EAGAIN || errno == EWOULDBLOCK;
        }
        d.written += std::size_t(n);
        if (d.written < c.bytes.size()) return true;  // the socket is full: poll says when
        d.written = 0;
        d.queue.pop_front();
    }
    return true;
}

void report(FILE* to, const Totals& t, bool postgres)
{
    std::fprintf(to, "turns %llu up %llu down %llu", static_cast<unsigned long long>(t.turns),
                 static_cast<unsigned long long>(t.up), static_cast<unsigned long long>(t.down));
    if (postgres)
        std::fprintf(to, " statements %llu", static_cast<unsigned long long>(t.statements));
    std::fprintf(to, "\n");
    std::fflush(to);
}

bool finished(const Pair& p)
{
    return p.dead ||
           (p.up.writeShut && p.down.writeShut && p.up.queue.empty() && p.down.queue.empty());
}

}  // namespace

int main(int argc, char** argv)
{
    const bool postgres = argc > 1 && std::strcmp(argv[1], "--postgres") == 0;
    if (postgres) {
        --argc;
        ++argv;
    }
    if (argc != 5) {
        std::fprintf(stderr,
                     "usage: sentrok-delayproxy [--postgres] LISTEN_PORT TARGET_HOST TARGET_PORT "
                     "DELAY_MS\n");
        return 2;
    }
    char* end = nullptr;
    const long listenPort = std::strtol(argv[1], &end, 10);
    if (*end || listenPort < 0 || listenPort > 65535) {
        std::fprintf(stderr, "sentrok-delayproxy: bad port \"%s\"\n", argv[1]);
        return 2;
    }
    const long delayMs = std::strtol(argv[4], &end, 10);
    if (*end || delayMs < 0 || delayMs > 60000) {
        std::fprintf(stderr, "sentrok-delayproxy: bad delay \"%s\" (0 to 60000 ms)\n", argv[4]);
        return 2;
    }
    const std::chrono::milliseconds delay(delayMs);
    prctl(PR_SET_PDEATHSIG, SIGTERM);  // never outlive the benchmark that started us
    std::signal(SIGTERM, [](int) { g_stop = 1; });
    std::signal(SIGINT, [](int) { g_stop = 1; });
    std::signal(SIGUSR1, [](int) { g_report = 1; });
    std::signal(SIGPIPE, SIG_IGN);

    Fd listener(socket(AF_INET, SOCK_STREAM, 0));
    const int one = 1;
    setsockopt(listener.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(std::uint16_t(listenPort));
    if (bind(listener.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        listen(listener.get(), 64) != 0) {
        std::fprintf(stderr, "sentrok-delayproxy: cannot listen on 127.0.0.1:%ld: %s\n", listenPort,
                     std::strerror(errno));
        return 1;
    }
    socklen_t len = sizeof addr;
    getsockname(listener.get(), reinterpret_cast<sockaddr*>(&addr), &len);
    setNonBlocking(listener.get());
    std::printf("ready %u\n", unsigned(ntohs(addr.sin_port)));
    std::fflush(stdout);

    std::vector<std::unique_ptr<Pair>> pairs;
    Totals totals;
    while (!g_stop) {
        if (g_report) {
            g_report = 0;
            report(stdout, totals, postgres);
        }
        // Sleep until a socket stirs or the next chunk is due.
        std::vector<pollfd> fds{{listener.get(), POLLIN, 0}};
        Clock::time_point next = Clock::time_point::max();
        for (const auto& p : pairs) {
            short c = p->up.readClosed ? 0 : POLLIN, s = p->down.readClosed ? 0 : POLLIN;
            for (const Direction* d : {&p->up, &p->down}) {
                if (d->queue.empty()) continue;
                if (d->queue.front().due <= Clock::now())
                    (d == &p->up ? s : c) |= POLLOUT;
                else
                    next = std::min(next, d->queue.front().due);
            }
            // A side with nothing to poll for is left out: a closed one would report POLLHUP
            // again and again.
            fds.push_back({c ? p->client.get() : -1, c, 0});
            fds.push_back({s ? p->server.get() : -1, s, 0});
        }
        int timeout = -1;
        if (next != Clock::time_point::max()) {
            const auto wait =
                std::chrono::duration_cast<std::chrono::microseconds>(next - Clock::now());
            timeout = wait.count() <= 0 ? 0 : int((wait.count() + 999) / 1000);
        }
        if (poll(fds.data(), fds.size(), timeout) < 0 && errno != EINTR) {
            std::perror("sentrok-delayproxy: poll");
            return 1;
        }
        if (fds[0].revents & POLLIN)
            for (;;) {
                Fd client(accept(listener.get(), nullptr, nullptr));
                if (client.get() < 0) break;
                Fd server(connectTo(argv[2], argv[3]));
                if (server.get() < 0) {
                    std::fprintf(stderr, "sentrok-delayproxy: cannot reach %s:%s\n", argv[2],
                                 argv[3]);
                    continue;  // the client sees its connection closed
                }
                setsockopt(client.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
                setNonBlocking(client.get());
                auto p = std::make_unique<Pair>();
                p->client = std::move(client);
                p->server = std::move(server);
                pairs.push_back(std::move(p));
            }
        for (std::size_t i = 0; i < pairs.size(); ++i) {
            Pair& p = *pairs[i];
            // Only the sockets polled this turn have their events here; a pair accepted in this
            // turn waits for the next.
            if (2 + 2 * i >= fds.size()) break;
            const short cev = fds[1 + 2 * i].revents, sev = fds[2 + 2 * i].revents;
            if (cev & (POLLIN | POLLHUP | POLLERR)) {
                const std::uint64_t before = p.up.chunks;
                const auto seen = [&](const std::string& bytes) {
                    if (postgres) p.pg.feed(bytes, totals);
                };
                if (!p.up.readClosed && !readInto(p.client.get(), p.up, delay, seen)) p.dead = true;
                if (p.up.chunks > before) {
                    totals.up += p.up.chunks - before;
                    if (p.serverSpokeLast) ++totals.turns;
                    p.serverSpokeLast = false;
                }
            }
            if (sev & (POLLIN | POLLHUP | POLLERR)) {
                const std::uint64_t before = p.down.chunks;
                if (!p.down.readClosed &&
                    !readInto(p.server.get(), p.down, delay, [](const std::string&) {}))
                    p.dead = true;
                if (p.down.chunks > before) {
                    totals.down += p.down.chunks - before;
                    p.serverSpokeLast = true;
                }
            }
            const Clock::time_point now = Clock::now();
            if (!flushDue(p.server.get(), p.up, now) || !flushDue(p.client.get(), p.down, now))
                p.dead = true;
        }
        std::erase_if(pairs, [](const std::unique_ptr<Pair>& p) { return finished(*p); });
    }
    std::fprintf(stderr, "sentrok-delayproxy: ");
    report(stderr, totals, postgres);
    return 0;
}
