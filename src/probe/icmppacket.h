#pragma once

#include <QByteArray>
#include <QByteArrayView>

#include <cstdint>
#include <optional>

namespace sentrok {

// How the kernel hands ICMP to us: a ping socket gives the ICMP message alone and has checked
// its checksum; a raw IPv4 socket gives the whole IPv4 packet, checksum unchecked, and every
// ICMP packet of the host, other programs' and our own requests included. A raw ICMPv6 socket
// gives the ICMPv6 message alone, its checksum checked (it covers the addresses, which only the
// kernel has).
enum class IcmpSocketKind { Ping, Raw };
enum class IcmpFamily { V4, V6 };

inline constexpr int kIcmpHeaderSize = 8;
inline constexpr std::uint8_t kIcmpEchoReply = 0;
inline constexpr std::uint8_t kIcmpEchoRequest = 8;
inline constexpr std::uint8_t kIcmp6EchoRequest = 128;
inline constexpr std::uint8_t kIcmp6EchoReply = 129;

inline std::uint8_t echoReplyType(IcmpFamily family)
{
    return family == IcmpFamily::V6 ? kIcmp6EchoReply : kIcmpEchoReply;
}

// The Internet checksum (RFC 1071) of the bytes, ready to be stored as it is read: in network
// order as two bytes. A message that carries its right checksum sums to 0.
std::uint16_t internetChecksum(QByteArrayView bytes);

// An ICMP echo request with its checksum. On a ping socket the kernel puts its own identifier
// in and recomputes the checksum; an ICMPv6 one leaves the checksum to the kernel, always.
QByteArray echoRequestPacket(std::uint16_t id, std::uint16_t sequence, QByteArrayView payload,
                             IcmpFamily family = IcmpFamily::V4);

struct EchoReplyHeader {
    std::uint16_t id = 0;
    std::uint16_t sequence = 0;
};

// The identifier and sequence of one datagram read from an ICMP socket when it is a
// well-formed echo reply; empty for anything else (requests, error messages, other protocols,
// short or damaged packets). Whose reply it is, is the caller's question.
std::optional<EchoReplyHeader> parseEchoReply(QByteArrayView datagram, IcmpSocketKind kind,
                                              IcmpFamily family = IcmpFamily::V4);

}  // namespace sentrok
