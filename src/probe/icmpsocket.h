#pragma once

#include "common/uniquefd.h"
#include "probe/icmppacket.h"

#include <QString>

#include <cstdint>
#include <optional>
#include <utility>

namespace sentrok {

// Which kind of ICMP socket to open. Auto is what the program uses; the other two let tests
// and the command-line tool take one path on purpose.
enum class SocketChoice { Auto, PingOnly, RawOnly };

// A non-blocking ICMP socket, ready for echo: receive time stamps on, a receive buffer large
// enough for bursts of replies, and a kernel filter that passes our echo replies only.
struct IcmpSocket {
    UniqueFd fd{};
    IcmpSocketKind kind = IcmpSocketKind::Ping;
    IcmpFamily family = IcmpFamily::V4;
    // The identifier that our requests carry and our replies must carry: the kernel's choice
    // (the socket's port) on a ping socket, ours on a raw one.
    std::uint16_t id = 0;
};

struct IcmpSocketOrError {
    std::optional<IcmpSocket> socket{};
    int pingErrno = 0;  // why the ping socket could not be opened (0: not tried or fine)
    int rawErrno = 0;   // why the raw socket could not be opened
};

// The ping socket first; a raw socket when the kernel refuses the ping socket to this user
// (EACCES: outside net.ipv4.ping_group_range, which rules ICMPv6 ping sockets too) or does not
// offer it (EAFNOSUPPORT, EPROTONOSUPPORT).
IcmpSocketOrError openIcmpSocket(SocketChoice choice, IcmpFamily family = IcmpFamily::V4);

// True when neither kind of socket exists for the family at all (a kernel without IPv6): no
// setting of the user's can help.
bool familyUnsupported(const IcmpSocketOrError& failure);

// The words for the user when neither socket can be opened: why, and the two ways to fix it.
QString socketUnavailableText(const IcmpSocketOrError& failure, const QString& programPath);
// The same in a few words, for each check that could not be made.
QString socketUnavailableShortText();

// Sets the kernel filter of the socket: only echo replies that carry the socket's identifier
// and a sequence in [low, low + span] (counted modulo 2^16) are queued; anything else is
// dropped before it costs a buffer or a wake-up. False when the kernel refused it.
bool attachReplyFilter(const IcmpSocket& socket, std::uint16_t low, std::uint16_t span);

}  // namespace sentrok
