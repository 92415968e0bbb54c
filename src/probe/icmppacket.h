#pragma once

#include <QByteArray>
#include <QByteArrayView>

#include <cstdint>
#include <optional>

namespace sentrok {

// How the kernel hands ICMP to us: a ping socket gives the ICMP message alone and has checked
// its checksum; a raw socket gives the whole IPv4 packet, checksum unchecked, and every ICMP
// packet of the host, other programs' and our own requests included.
enum class IcmpSocketKind { Ping, Raw };

inline constexpr int kIcmpHeaderSize = 8;
inline constexpr std::uint8_t kIcmpEchoReply = 0;
inline constexpr std::uint8_t kIcmpEchoRequest = 8;

// The Internet checksum (RFC 1071) of the bytes, ready to be stored as it is read: in network
// order as two bytes. A message that carries its right checksum sums to 0.
std::uint16_t internetChecksum(QByteArrayView bytes);

// An ICMP echo request with its checksum. On a ping socket the kernel puts its own identifier
// in and recomputes the checksum.
QByteArray echoRequestPacket(std::uint16_t id, std::uint16_t sequence, QByteArrayView payload);

struct EchoReplyHeader {
    std::uint16_t id = 0;
    std::uint16_t sequence = 0;
};

// The identifier and sequence of one datagram read from an ICMP socket when it is a
// well-formed echo reply; empty for anything else (requests, error messages, other protocols,
// short or damaged packets). Whose reply it is, is the caller's question.
std::optional<EchoReplyHeader> parseEchoReply(QByteArrayView datagram, IcmpSocketKind kind);

}  // namespace sentrok
