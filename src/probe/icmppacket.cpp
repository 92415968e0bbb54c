#include "probe/icmppacket.h"

namespace sentrok {

namespace {

std::uint8_t byteAt(QByteArrayView b, qsizetype i) { return std::uint8_t(b[i]); }

std::uint16_t word(QByteArrayView b, qsizetype i)
{
    return std::uint16_t(byteAt(b, i) << 8 | byteAt(b, i + 1));
}

constexpr qsizetype kMinIpHeader = 20;
constexpr std::uint8_t kProtocolIcmp = 1;

// The ICMP part of a packet read from a raw socket; empty when the IPv4 header is not sound.
std::optional<QByteArrayView> icmpOfIpPacket(QByteArrayView packet)
{
    if (packet.size() < kMinIpHeader) return std::nullopt;
    const std::uint8_t versionAndLength = byteAt(packet, 0);
    if (versionAndLength >> 4 != 4) return std::nullopt;
    const qsizetype headerSize = qsizetype(versionAndLength & 0x0f) * 4;
    if (headerSize < kMinIpHeader || headerSize > packet.size()) return std::nullopt;
    const qsizetype totalSize = word(packet, 2);
    if (totalSize < headerSize || totalSize > packet.size()) return std::nullopt;
    // Later fragments carry no ICMP header; a first fragment is not the whole message.
    if ((word(packet, 6) & 0x3fff) != 0) return std::nullopt;
    if (byteAt(packet, 9) != kProtocolIcmp) return std::nullopt;
    return packet.sliced(headerSize, totalSize - headerSize);
}

}  // namespace

std::uint16_t internetChecksum(QByteArrayView bytes)
{
    std::uint32_t sum = 0;
    qsizetype i = 0;
    for (; i + 1 < bytes.size(); i += 2) sum += word(bytes, i);
    if (i < bytes.size()) sum += std::uint32_t(byteAt(bytes, i)) << 8;
    while (sum >> 16) sum = (sum & 0xffff) + (sum >> 16);
    return std::uint16_t(~sum);
}

QByteArray echoRequestPacket(std::uint16_t id, std::uint16_t sequence, QByteArrayView payload,
                             IcmpFamily family)
{
    QByteArray packet(kIcmpHeaderSize, '\0');
    packet[0] = char(family == IcmpFamily::V6 ? kIcmp6EchoRequest : kIcmpEchoRequest);
    packet[4] = char(id >> 8);
    packet[5] = char(id & 0xff);
    packet[6] = char(sequence >> 8);
    packet[7] = char(sequence & 0xff);
    packet.append(payload.data(), payload.size());
    if (family == IcmpFamily::V6) return packet;
    const std::uint16_t sum = internetChecksum(packet);
    packet[2] = char(sum >> 8);
    packet[3] = char(sum & 0xff);
    return packet;
}

std::optional<EchoReplyHeader> parseEchoReply(QByteArrayView datagram, IcmpSocketKind kind,
                                              IcmpFamily family)
{
    QByteArrayView icmp = datagram;
    const bool ipHeader = kind == IcmpSocketKind::Raw && family == IcmpFamily::V4;
    if (ipHeader) {
        const auto inner = icmpOfIpPacket(datagram);
        if (!inner) return std::nullopt;
        icmp = *inner;
    }
    if (icmp.size() < kIcmpHeaderSize) return std::nullopt;
    if (byteAt(icmp, 0) != echoReplyType(family) || byteAt(icmp, 1) != 0) return std::nullopt;
    if (ipHeader && internetChecksum(icmp) != 0) return std::nullopt;
    return EchoReplyHeader{word(icmp, 4), word(icmp, 6)};
}

}  // namespace sentrok
