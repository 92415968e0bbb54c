// Echo packets as bytes: building requests, reading replies, and refusing everything else.

#include "probe/icmppacket.h"

#include <QTest>

using namespace sentrok;

Q_DECLARE_METATYPE(sentrok::IcmpSocketKind)

namespace {

// Captured in a network namespace whose kernel answered: a request to 127.0.0.1 (identifier
// 0x1234, sequence 1, 32-byte payload) as a raw socket saw it, and the kernel's echo reply.
const QByteArray kRequest = QByteArray::fromHex(
    "4500003ce233400040015a8b7f0000017f000001"
    "08003b2712340001"
    "6162636465666768696a6b6c6d6e6f7071727374757677616263646566676869");
const QByteArray kReply = QByteArray::fromHex(
    "4500003ce234000040019a8a7f0000017f000001"
    "0000432712340001"
    "6162636465666768696a6b6c6d6e6f7071727374757677616263646566676869");
const QByteArray kPayload = "abcdefghijklmnopqrstuvwabcdefghi";

// The test's own checksum, so that the fixtures below do not lean on the code under test.
quint16 sum16(const QByteArray& b)
{
    quint32 s = 0;
    for (qsizetype i = 0; i < b.size(); i += 2)
        s += quint32(quint8(b[i])) << 8 | (i + 1 < b.size() ? quint8(b[i + 1]) : 0);
    while (s >> 16) s = (s & 0xffff) + (s >> 16);
    return quint16(~s);
}

QByteArray withChecksum(QByteArray icmp)
{
    icmp[2] = icmp[3] = 0;
    const quint16 s = sum16(icmp);
    icmp[2] = char(s >> 8);
    icmp[3] = char(s & 0xff);
    return icmp;
}

// An IPv4 header from 127.0.0.1 to 127.0.0.1 around `body`.
QByteArray ipv4(const QByteArray& body, quint8 protocol = 1, const QByteArray& options = {})
{
    QByteArray h = QByteArray::fromHex("4500000000000000400100007f0000017f000001");
    h[0] = char(0x40 | (20 + options.size()) / 4);
    h[9] = char(protocol);
    h += options;
    const int total = int(h.size() + body.size());
    h[2] = char(total >> 8);
    h[3] = char(total & 0xff);
    return h + body;
}

QByteArray set(QByteArray b, int at, quint8 value)
{
    b[at] = char(value);
    return b;
}

QByteArray replyIcmp() { return kReply.mid(20); }

// An ICMP error that quotes our request's IPv4 header and first 8 ICMP bytes.
QByteArray errorQuoting(quint8 type, quint8 code)
{
    QByteArray e(8, '\0');
    e[0] = char(type);
    e[1] = char(code);
    return ipv4(withChecksum(e + kRequest.left(28)));
}

}  // namespace

class TestIcmpPacket : public QObject {
    Q_OBJECT
private slots:
    void checksum_data();
    void checksum();
    void requestMatchesCapturedOne();
    void parse_data();
    void parse();
    void parseIPv6_data();
    void parseIPv6();
    void everyTruncationIsRefused_data();
    void everyTruncationIsRefused();
};

void TestIcmpPacket::checksum_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("checksum");
    // RFC 1071, section 3: the one's complement sum of these words is 0xddf2.
    QTest::newRow("RFC 1071 example") << QByteArray::fromHex("0001f203f4f5f6f7") << 0x220d;
    QTest::newRow("odd length pads with zero") << QByteArray::fromHex("0001f2") << 0x0dfe;
    QTest::newRow("captured reply sums to zero") << kReply.mid(20) << 0;
}

void TestIcmpPacket::checksum()
{
    QFETCH(QByteArray, bytes);
    QFETCH(int, checksum);
    QCOMPARE(int(internetChecksum(bytes)), checksum);
}

void TestIcmpPacket::requestMatchesCapturedOne()
{
    QCOMPARE(echoRequestPacket(0x1234, 1, kPayload), kRequest.mid(20));
    const QByteArray odd = echoRequestPacket(0xfedc, 0xba98, "xyz");
    QCOMPARE(odd, withChecksum(QByteArray::fromHex("08000000fedcba98") + "xyz"));
    // The ICMPv6 checksum covers the addresses: the kernel puts it in.
    QCOMPARE(echoRequestPacket(0xfedc, 0xba98, "xyz", IcmpFamily::V6),
             QByteArray::fromHex("80000000fedcba98") + "xyz");
}

void TestIcmpPacket::parse_data()
{
    QTest::addColumn<QByteArray>("datagram");
    QTest::addColumn<IcmpSocketKind>("kind");
    QTest::addColumn<bool>("isReply");
    QTest::addColumn<int>("id");
    QTest::addColumn<int>("sequence");
    const auto raw = IcmpSocketKind::Raw;
    const auto ping = IcmpSocketKind::Ping;

    QTest::newRow("raw: the kernel's reply") << kReply << raw << true << 0x1234 << 1;
    QTest::newRow("ping: the reply without its IPv4 header")
        << replyIcmp() << ping << true << 0x1234 << 1;
    QTest::newRow("ping: a header and no payload")
        << replyIcmp().left(8) << ping << true << 0x1234 << 1;
    QTest::newRow("raw: don't-fragment flag is fine")
        << set(kReply, 6, 0x40) << raw << true << 0x1234 << 1;
    QTest::newRow("raw: options in the IPv4 header")
        << ipv4(replyIcmp(), 1, QByteArray(4, '\x01')) << raw << true << 0x1234 << 1;

    QTest::newRow("raw: our own request on loopback") << kRequest << raw << false << 0 << 0;
    QTest::newRow("ping: a request") << kRequest.mid(20) << ping << false << 0 << 0;
    QTest::newRow("raw: one payload byte changed")
        << set(kReply, 40, 'X') << raw << false << 0 << 0;
    QTest::newRow("raw: unreachable quoting our request")
        << errorQuoting(3, 1) << raw << false << 0 << 0;
    QTest::newRow("raw: echo reply with code 1")
        << ipv4(withChecksum(set(replyIcmp(), 1, 1))) << raw << false << 0 << 0;
    QTest::newRow("raw: IP version 6") << set(kReply, 0, 0x65) << raw << false << 0 << 0;
    QTest::newRow("raw: header of 4 words") << set(kReply, 0, 0x44) << raw << false << 0 << 0;
    QTest::newRow("raw: header longer than the datagram")
        << set(set(set(kReply.left(40), 0, 0x4f), 2, 0), 3, 40) << raw << false << 0 << 0;
    QTest::newRow("raw: UDP") << set(kReply, 9, 17) << raw << false << 0 << 0;
    QTest::newRow("raw: total length past the datagram")
        << set(kReply, 3, 61) << raw << false << 0 << 0;
    QTest::newRow("raw: a later fragment") << set(kReply, 7, 0x01) << raw << false << 0 << 0;
    QTest::newRow("raw: a first fragment") << set(kReply, 6, 0x20) << raw << false << 0 << 0;
}

void TestIcmpPacket::parse()
{
    QFETCH(QByteArray, datagram);
    QFETCH(IcmpSocketKind, kind);
    QFETCH(bool, isReply);
    QFETCH(int, id);
    QFETCH(int, sequence);
    const auto header = parseEchoReply(datagram, kind);
    QCOMPARE(header.has_value(), isReply);
    if (isReply) {
        QCOMPARE(int(header->id), id);
        QCOMPARE(int(header->sequence), sequence);
    }
}

void TestIcmpPacket::parseIPv6_data()
{
    // Both kinds of ICMPv6 socket give the message alone, its checksum checked by the kernel.
    QTest::addColumn<QByteArray>("datagram");
    QTest::addColumn<bool>("isReply");
    const QByteArray reply = QByteArray::fromHex("8100abcd12340001") + kPayload;
    QTest::newRow("echo reply") << reply << true;
    QTest::newRow("header alone") << reply.left(8) << true;
    QTest::newRow("seven bytes") << reply.left(7) << false;
    QTest::newRow("our own request")
        << echoRequestPacket(0x1234, 1, kPayload, IcmpFamily::V6) << false;
    QTest::newRow("an ICMPv4 echo reply") << replyIcmp() << false;
    QTest::newRow("echo reply with code 1") << set(reply, 1, 1) << false;
    QTest::newRow("address unreachable")
        << QByteArray::fromHex("0103000000000000") + reply << false;
}

void TestIcmpPacket::parseIPv6()
{
    QFETCH(QByteArray, datagram);
    QFETCH(bool, isReply);
    for (const IcmpSocketKind kind : {IcmpSocketKind::Ping, IcmpSocketKind::Raw}) {
        const auto header = parseEchoReply(datagram, kind, IcmpFamily::V6);
        QCOMPARE(header.has_value(), isReply);
        if (isReply) {
            QCOMPARE(int(header->id), 0x1234);
            QCOMPARE(int(header->sequence), 1);
        }
    }
}

void TestIcmpPacket::everyTruncationIsRefused_data()
{
    QTest::addColumn<QByteArray>("datagram");
    QTest::addColumn<IcmpSocketKind>("kind");
    QTest::addColumn<int>("shortest");  // the shortest prefix that may be read as a reply
    QTest::newRow("raw") << kReply << IcmpSocketKind::Raw << int(kReply.size());
    QTest::newRow("ping") << replyIcmp() << IcmpSocketKind::Ping << kIcmpHeaderSize;
}

void TestIcmpPacket::everyTruncationIsRefused()
{
    QFETCH(QByteArray, datagram);
    QFETCH(IcmpSocketKind, kind);
    QFETCH(int, shortest);
    for (int n = 0; n < shortest; ++n)
        QVERIFY2(!parseEchoReply(QByteArrayView(datagram.constData(), n), kind),
                 qPrintable(QString::number(n)));
    QVERIFY(parseEchoReply(QByteArrayView(datagram.constData(), shortest), kind));
}

QTEST_GUILESS_MAIN(TestIcmpPacket)
#include "tst_icmppacket.moc"
