#include "probe/icmpsocket.h"

#include "probe/rawsockethold.h"

#include <QRandomGenerator>

#include <arpa/inet.h>
#include <linux/filter.h>
#include <linux/icmp.h>
#include <netinet/icmp6.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <cerrno>
#include <cstring>

#include <vector>

namespace sentrok {

namespace {

// Room for the replies of a burst of thousands of echoes (the kernel counts about a kilobyte
// for each small datagram on loopback), and for what arrives while the event loop is busy
// elsewhere. Without CAP_NET_ADMIN the kernel caps it at net.core.rmem_max.
constexpr int kReceiveBuffer = 4 << 20;

bool fallBackToRaw(int error)
{
    return error == EACCES || error == EAFNOSUPPORT || error == EPROTONOSUPPORT;
}

void prepareCommon(int fd)
{
    const int on = 1;
    // The time stamp of arrival keeps a busy event loop out of the reply times; without it we
    // measure on our own clock.
    setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
    // FORCE passes rmem_max with CAP_NET_ADMIN; otherwise take what the plain option gives.
    if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &kReceiveBuffer, sizeof kReceiveBuffer) != 0)
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &kReceiveBuffer, sizeof kReceiveBuffer);
}

std::optional<std::uint16_t> pingSocketId(int fd, IcmpFamily family)
{
    sockaddr_storage any{};
    socklen_t size = sizeof(sockaddr_in);
    any.ss_family = AF_INET;
    if (family == IcmpFamily::V6) {
        any.ss_family = AF_INET6;
        size = sizeof(sockaddr_in6);
    }
    if (bind(fd, reinterpret_cast<const sockaddr*>(&any), size) != 0) return std::nullopt;
    sockaddr_storage bound{};
    size = sizeof bound;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &size) != 0) return std::nullopt;
    // The port sits at the same place in both kinds of address.
    return ntohs(reinterpret_cast<const sockaddr_in*>(&bound)->sin_port);
}

int domainOf(IcmpFamily family) { return family == IcmpFamily::V6 ? AF_INET6 : AF_INET; }
int protocolOf(IcmpFamily family)
{
    return family == IcmpFamily::V6 ? int(IPPROTO_ICMPV6) : int(IPPROTO_ICMP);
}

int openPing(IcmpSocket& out, IcmpFamily family)
{
    UniqueFd fd(
        socket(domainOf(family), SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, protocolOf(family)));
    if (!fd.valid()) return errno;
    const auto id = pingSocketId(fd.get(), family);
    if (!id) return errno;
    prepareCommon(fd.get());
    out = IcmpSocket{std::move(fd), IcmpSocketKind::Ping, family, *id};
    attachReplyFilter(out, 0, 0xffff);
    return 0;
}

int openRaw(IcmpSocket& out, IcmpFamily family)
{
    // One kept from the start of a program that has since given its capability up, else a new one.
    const int held = takeHeldRawSocket(family);
    UniqueFd fd(held >= 0 ? held
                          : socket(domainOf(family), SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC,
                                   protocolOf(family)));
    if (!fd.valid()) return errno;
    // A raw socket sees every ICMP packet of the host, our own requests on loopback too; let
    // the kernel drop what can never be a reply.
    if (family == IcmpFamily::V6) {
        icmp6_filter filter;
        ICMP6_FILTER_SETBLOCKALL(&filter);
        ICMP6_FILTER_SETPASS(ICMP6_ECHO_REPLY, &filter);
        setsockopt(fd.get(), IPPROTO_ICMPV6, ICMP6_FILTER, &filter, sizeof filter);
    } else {
        icmp_filter filter{};
        filter.data = ~(1u << ICMP_ECHOREPLY);
        setsockopt(fd.get(), SOL_RAW, ICMP_FILTER, &filter, sizeof filter);
    }
    prepareCommon(fd.get());
    const auto id = std::uint16_t(QRandomGenerator::global()->bounded(1u, 0x10000u));
    out = IcmpSocket{std::move(fd), IcmpSocketKind::Raw, family, id};
    attachReplyFilter(out, 0, 0xffff);
    return 0;
}

QString errnoText(int error)
{
    return QStringLiteral("%1 (%2)").arg(QString::fromLocal8Bit(strerrordesc_np(error)),
                                         QString::fromLatin1(strerrorname_np(error)));
}

}  // namespace

QString socketUnavailableShortText()
{
    return QStringLiteral("сокет ICMP не открывается (причина и решение в строке состояния)");
}

bool attachReplyFilter(const IcmpSocket& socket, std::uint16_t low, std::uint16_t span)
{
    // A ping socket and a raw ICMPv6 one hand the filter the ICMP message; a raw IPv4 socket
    // the whole packet, so there the loads are counted from the end of the IP header (X = its
    // length).
    const bool raw = socket.kind == IcmpSocketKind::Raw && socket.family == IcmpFamily::V4;
    const auto load = [raw](std::uint16_t size, std::uint32_t offset) {
        return sock_filter BPF_STMT(BPF_LD | size | (raw ? BPF_IND : BPF_ABS), offset);
    };
    constexpr std::uint32_t kAccept = 0xffffffff;
    std::vector<sock_filter> code;
    if (raw) code.push_back(BPF_STMT(BPF_LDX | BPF_B | BPF_MSH, 0));
    // Each test jumps to the last instruction, the drop, when it fails.
    const auto dropIfNot = [&](std::uint32_t value, std::size_t instructionsLeft) {
        code.push_back(
            BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, value, 0, std::uint8_t(instructionsLeft)));
    };
    code.push_back(load(BPF_B, 0));  // type
    dropIfNot(echoReplyType(socket.family), 7);
    code.push_back(load(BPF_H, 4));  // identifier
    dropIfNot(socket.id, 5);
    code.push_back(load(BPF_H, 6));  // sequence
    code.push_back(BPF_STMT(BPF_ALU | BPF_SUB | BPF_K, low));
    code.push_back(BPF_STMT(BPF_ALU | BPF_AND | BPF_K, 0xffff));
    code.push_back(BPF_JUMP(BPF_JMP | BPF_JGT | BPF_K, span, 1, 0));
    code.push_back(BPF_STMT(BPF_RET | BPF_K, kAccept));
    code.push_back(BPF_STMT(BPF_RET | BPF_K, 0));
    const sock_fprog program{std::uint16_t(code.size()), code.data()};
    return setsockopt(socket.fd.get(), SOL_SOCKET, SO_ATTACH_FILTER, &program, sizeof program) == 0;
}

bool familyUnsupported(const IcmpSocketOrError& failure)
{
    const auto unsupported = [](int error) {
        return error == EAFNOSUPPORT || error == EPROTONOSUPPORT;
    };
    return !failure.socket && (failure.pingErrno == 0 || unsupported(failure.pingErrno)) &&
           (failure.rawErrno == 0 || unsupported(failure.rawErrno));
}

IcmpSocketOrError openIcmpSocket(SocketChoice choice, IcmpFamily family)
{
    IcmpSocketOrError result;
    IcmpSocket socket;
    if (choice != SocketChoice::RawOnly) {
        result.pingErrno = openPing(socket, family);
        if (result.pingErrno == 0) {
            result.socket = std::move(socket);
            return result;
        }
        if (choice == SocketChoice::PingOnly || !fallBackToRaw(result.pingErrno)) return result;
    }
    result.rawErrno = openRaw(socket, family);
    if (result.rawErrno == 0) result.socket = std::move(socket);
    return result;
}

QString socketUnavailableText(const IcmpSocketOrError& failure, const QString& programPath)
{
    QString text = QStringLiteral(
        "Sentrok не может открыть сокет ICMP, поэтому узлы не проверяются: проверки не "
        "записываются и не считаются отказами, пока сокет не откроется.");
    if (failure.pingErrno != 0)
        text += QStringLiteral("\r\nСокет ping: %1.").arg(errnoText(failure.pingErrno));
    if (failure.rawErrno != 0)
        text += QStringLiteral("\r\nСырой сокет: %1.").arg(errnoText(failure.rawErrno));
    text += QStringLiteral(
                "\r\nЧтобы исправить, сделайте одно из двух:"
                "\r\n- разрешите сокеты ping группам пользователей:"
                "\r\n  sudo sysctl -w net.ipv4.ping_group_range=\"0 2147483647\""
                "\r\n  (чтобы это сохранилось после перезагрузки, добавьте строку"
                "\r\n  net.ipv4.ping_group_range = 0 2147483647 в файл /etc/sysctl.d/60-ping.conf);"
                "\r\n- или дайте программе право на сырые сокеты:"
                "\r\n  sudo setcap cap_net_raw+ep %1"
                "\r\n  и перезапустите её.")
                .arg(programPath.isEmpty() ? QStringLiteral("sentrok") : programPath);
    return text;
}

}  // namespace sentrok
