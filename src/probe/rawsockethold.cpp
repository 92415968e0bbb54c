#include "probe/rawsockethold.h"

#include <fcntl.h>
#include <linux/capability.h>
#include <netinet/in.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <cerrno>

namespace sentrok {

namespace {

int g_held[2] = {-1, -1};

int& heldFor(IcmpFamily family) { return g_held[family == IcmpFamily::V6 ? 1 : 0]; }

bool pingRefused(int domain, int protocol)
{
    const int fd = ::socket(domain, SOCK_DGRAM | SOCK_CLOEXEC, protocol);
    if (fd >= 0) {
        ::close(fd);
        return false;
    }
    return errno == EACCES;
}

bool hasCapabilities()
{
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct held[2]{};
    if (::syscall(SYS_capget, &header, held) != 0) return true;  // unknown: give up what may be
    return (held[0].permitted | held[1].permitted) != 0;
}

}  // namespace

int holdRawSockets()
{
    int held = 0;
    for (const IcmpFamily family : {IcmpFamily::V4, IcmpFamily::V6}) {
        const int domain = family == IcmpFamily::V6 ? AF_INET6 : AF_INET;
        const int protocol = family == IcmpFamily::V6 ? int(IPPROTO_ICMPV6) : int(IPPROTO_ICMP);
        int& slot = heldFor(family);
        if (slot >= 0 || !pingRefused(domain, protocol)) continue;
        slot = ::socket(domain, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, protocol);
        if (slot >= 0) ++held;
    }
    return held;
}

bool dropCapabilities()
{
    ::prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0);
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct none[2]{};
    return ::syscall(SYS_capset, &header, none) == 0;
}

void holdRawSocketsAndDropCapabilities()
{
    if (::geteuid() == 0 || !hasCapabilities()) return;
    holdRawSockets();
    if (dropCapabilities()) return;
    // Never go on with what was meant to be given up.
    static const char kWhy[] = "sentrok: cannot give up the capabilities of the program file\n";
    [[maybe_unused]] const auto written = ::write(STDERR_FILENO, kWhy, sizeof kWhy - 1);
    ::_exit(127);
}

int takeHeldRawSocket(IcmpFamily family)
{
    const int held = heldFor(family);
    return held < 0 ? -1 : ::fcntl(held, F_DUPFD_CLOEXEC, 0);
}

void releaseHeldRawSockets()
{
    for (int& fd : g_held) {
        if (fd >= 0) ::close(fd);
        fd = -1;
    }
}

}  // namespace sentrok
