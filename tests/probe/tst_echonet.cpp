// Real ICMP echo on both kinds of socket, inside the private network namespace that
// tests/netns-run.sh makes, against the test responder. Every packet goes to 127.0.0.0/8.

#include "probe/echoprober.h"
#include "probe/rawsockethold.h"
#include "support/netns.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QUdpSocket>

#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

using namespace sentrok;
using sentrok::test::BindMount;
using sentrok::test::Flood;
using sentrok::test::Responder;

Q_DECLARE_METATYPE(sentrok::SocketChoice)

namespace {

struct Timed {
    std::optional<ProbeOutcome> outcome;  // empty: `done` never came
    qint64 elapsedMs = 0;
    int result() const { return outcome && !outcome->failed() ? outcome->result.toInt() : -999; }
    QString text() const { return outcome ? outcome->result + outcome->error : "no outcome"; }
};

Timed probe(EchoProber& prober, const ProbeRequest& request)
{
    auto timed = std::make_shared<Timed>();
    QElapsedTimer clock;
    clock.start();
    const quint64 id = prober.start(request, [timed, clock](const ProbeOutcome& o) {
        timed->outcome = o;
        timed->elapsedMs = clock.elapsed();
    });
    if (!QTest::qWaitFor([&] { return timed->outcome.has_value(); }, 15000)) prober.cancel(id);
    return *timed;
}

ProbeRequest request(const QString& host, const QString& wait = "1000", const QString& count = "1",
                     const QString& ttl = "255", const QString& length = "32")
{
    return {host, wait, ttl, count, length};
}

// Each row twice: on a ping socket and on a raw one.
void addKindRows(const QByteArray& name, const std::function<void(QTestData&)>& fill)
{
    fill(QTest::addRow("ping: %s", name.constData()) << SocketChoice::PingOnly);
    fill(QTest::addRow("raw: %s", name.constData()) << SocketChoice::RawOnly);
}

// A host text without its brackets, as the responder writes it.
QString bare(const QString& host)
{
    return host.startsWith(u'[') ? host.mid(1, host.size() - 2) : host;
}

// While it lives, no group may open a ping socket, as in a fresh namespace (or only the given
// range of groups).
class PingRangeClosed {
public:
    explicit PingRangeClosed(const QByteArray& range = "1 0")
        : m_file("/proc/sys/net/ipv4/ping_group_range")
    {
        m_ok = m_file.open(QIODevice::ReadWrite) && !(m_saved = m_file.readAll()).isEmpty() &&
               m_file.seek(0) && m_file.write(range) == range.size() && m_file.flush();
    }
    ~PingRangeClosed()
    {
        if (m_ok && m_file.seek(0)) m_file.write(m_saved);
    }
    bool ok() const { return m_ok; }

private:
    QFile m_file;
    QByteArray m_saved;
    bool m_ok = false;
};

// While it lives, this thread works without CAP_NET_RAW (still permitted, so it comes back).
class WithoutNetRaw {
public:
    WithoutNetRaw()
    {
        if (syscall(SYS_capget, &m_header, m_saved) != 0) return;
        __user_cap_data_struct lowered[2] = {m_saved[0], m_saved[1]};
        lowered[CAP_NET_RAW / 32].effective &= ~(1u << (CAP_NET_RAW % 32));
        m_ok = syscall(SYS_capset, &m_header, lowered) == 0;
    }
    ~WithoutNetRaw()
    {
        if (m_ok) syscall(SYS_capset, &m_header, m_saved);
    }
    bool ok() const { return m_ok; }

private:
    __user_cap_header_struct m_header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct m_saved[2]{};
    bool m_ok = false;
};

}  // namespace

class TestEchoNet : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void outcome_data();
    void outcome();
    void wire_data();
    void wire();
    void stalledLoop_data();
    void stalledLoop();
    void probesInFlightOutOfOrder_data();
    void probesInFlightOutOfOrder();
    void queue_data();
    void queue();
    void names();
    void deadNameServer();
    void namesPreferIPv4ThenIPv6();
    void flood_data();
    void flood();
    void fallsBackToRawWhenPingIsRefused();
    void noSocketMakesNoCheckUntilOneOpens();
    void unprivilegedUser_data();
    void unprivilegedUser();
    void commandLineTool_data();
    void commandLineTool();
    void heldRawSocketOutlivesTheCapability_data();
    void heldRawSocketOutlivesTheCapability();
    void fileCapabilityIsGivenUpAtStart();
};

void TestEchoNet::initTestCase()
{
    const QString why = test::netnsUnavailable();
    if (!why.isEmpty()) QSKIP(qPrintable(why));
    QVERIFY(QFile::exists(qEnvironmentVariable("SENTROK_BIN_DIR") + "/sentrok-probe"));
}

void TestEchoNet::outcome_data()
{
    QTest::addColumn<SocketChoice>("kind");
    QTest::addColumn<QString>("rule");
    QTest::addColumn<ProbeRequest>("texts");
    // The result's range, and when the outcome may come; the upper bounds leave room for a
    // busy machine that delays the responder or this process.
    QTest::addColumn<int>("low");
    QTest::addColumn<int>("high");
    QTest::addColumn<int>("soonestMs");
    QTest::addColumn<int>("latestMs");
    const auto row = [](const char* name, const QString& rule, const ProbeRequest& texts, int low,
                        int high, int soonest, int latest) {
        addKindRows(name,
                    [=](QTestData& r) { r << rule << texts << low << high << soonest << latest; });
    };
    const QString h = "127.0.0.2";
    row("answers", "reply", request(h), 0, 999, 0, 1500);
    row("silent, 2 x 150 ms", "silent", request(h, "150", "2"), -1, -1, 295, 1800);
    row("answers twice", "twice", request(h, "1000", "3"), 0, 999, 0, 3500);
    row("wrong sequence", "wrong-seq", request(h, "150"), -1, -1, 145, 1600);
    row("wrong identifier", "wrong-id", request(h, "150"), -1, -1, 145, 1600);
    row("wrong source", "wrong-source", request(h, "150"), -1, -1, 145, 1600);
    row("bad checksum", "bad-checksum", request(h, "150"), -1, -1, 145, 1600);
    row("unreachable", "unreachable", request(h, "150"), -1, -1, 0, 1600);
    // Echo 1 times out at 100 ms; its reply comes at 150 ms, while echo 2 waits, and must not
    // count for echo 2, whose own reply comes at 250 ms, after its time-out.
    row("late replies", "reply delay=150", request(h, "100", "2"), -1, -1, 195, 1700);
    row("wait 0 sends nothing", "reply", request(h, "0", "2"), -1, -1, 0, 1000);
    // IPv6 under the same rules (identifier, sequence and source; time-outs; late replies).
    const QString h6 = "fd00::2";
    row("IPv6: answers", "reply", request(h6), 0, 999, 0, 1500);
    row("IPv6: ::1 answers", "reply", request("::1"), 0, 999, 0, 1500);
    row("IPv6: answers after 60 ms", "reply delay=60", request("[fd00::2]", "1000", "2"), 60, 999,
        115, 2500);
    row("IPv6: silent, 2 x 150 ms", "silent", request(h6, "150", "2"), -1, -1, 295, 1800);
    row("IPv6: wrong sequence", "wrong-seq", request(h6, "150"), -1, -1, 145, 1600);
    row("IPv6: wrong identifier", "wrong-id", request(h6, "150"), -1, -1, 145, 1600);
    row("IPv6: wrong source", "wrong-source", request(h6, "150"), -1, -1, 145, 1600);
    row("IPv6: unreachable", "unreachable", request(h6, "150"), -1, -1, 0, 1600);
    row("IPv6: late replies", "reply delay=150", request(h6, "100", "2"), -1, -1, 195, 1700);
}

void TestEchoNet::outcome()
{
    QFETCH(SocketChoice, kind);
    QFETCH(QString, rule);
    QFETCH(ProbeRequest, texts);
    QFETCH(int, low);
    QFETCH(int, high);
    QFETCH(int, soonestMs);
    QFETCH(int, latestMs);
    const QString host = bare(texts.host);
    const IcmpFamily family = host.contains(u':') ? IcmpFamily::V6 : IcmpFamily::V4;
    if (family == IcmpFamily::V6 && !test::ipv6Unavailable().isEmpty())
        QSKIP(qPrintable(test::ipv6Unavailable()));
    Responder responder({host + ' ' + rule});
    QVERIFY2(responder.error().isEmpty(), qPrintable(responder.error()));
    EchoProber prober({kind});
    const Timed t = probe(prober, texts);
    QVERIFY2(t.result() >= low && t.result() <= high, qPrintable(t.text()));
    QVERIFY2(t.elapsedMs >= soonestMs && t.elapsedMs <= latestMs,
             qPrintable(QString::number(t.elapsedMs)));
    const int sent = texts.wait.toInt() > 0 ? texts.count.toInt() : 0;
    QTRY_COMPARE(responder.seenBy(host).size(), sent);
    if (sent > 0)
        QCOMPARE(prober.engine()->socketKind(family),
                 kind == SocketChoice::RawOnly ? IcmpSocketKind::Raw : IcmpSocketKind::Ping);
}

void TestEchoNet::wire_data()
{
    QTest::addColumn<SocketChoice>("kind");
    QTest::addColumn<QString>("host");
    QTest::addColumn<QString>("ttl");
    QTest::addColumn<QString>("length");
    QTest::addColumn<int>("wireTtl");
    QTest::addColumn<int>("wireLength");
    for (const char* host : {"127.0.0.3", "fd00::3"}) {
        const auto name = [host](const char* what) { return QByteArray(host) + ": " + what; };
        addKindRows(name("ttl 1, length 20"), [host](QTestData& r) {
            r << host << "1"
              << "20" << 2 << 32;
        });
        addKindRows(name("ttl 300, length 500"), [host](QTestData& r) {
            r << host << "300"
              << "500" << 255 << 126;
        });
        addKindRows(name("ttl empty, length abc"), [host](QTestData& r) {
            r << host << ""
              << "abc" << 255 << 32;
        });
    }
}

void TestEchoNet::wire()
{
    QFETCH(SocketChoice, kind);
    QFETCH(QString, host);
    QFETCH(QString, ttl);
    QFETCH(QString, length);
    QFETCH(int, wireTtl);
    QFETCH(int, wireLength);
    if (host.contains(u':') && !test::ipv6Unavailable().isEmpty())
        QSKIP(qPrintable(test::ipv6Unavailable()));
    Responder responder({host + " reply"});
    QVERIFY(responder.error().isEmpty());
    EchoProber prober({kind});
    QVERIFY(probe(prober, request(host, "1000", "2", ttl, length)).result() >= 0);
    QTRY_COMPARE(responder.seenBy(host).size(), 2);
    for (const auto& seen : responder.seenBy(host)) {
        QCOMPARE(seen.ttl, wireTtl);
        QCOMPARE(seen.payloadLength, wireLength);
    }
}

void TestEchoNet::stalledLoop_data()
{
    QTest::addColumn<SocketChoice>("kind");
    QTest::addColumn<int>("hosts");
    QTest::addColumn<int>("delayMs");
    QTest::addColumn<int>("low");
    QTest::addColumn<int>("high");
    // The loop is busy for 400 ms, longer than the 250 ms time-out, while the replies come in:
    // a reply in time keeps its own time (the kernel's arrival stamp), not the loop's; a reply
    // after the time-out stays late; and replies in time are all read before any time-out is
    // judged, even more of them than one turn of reading takes. (A busy machine may delay the
    // responder, hence the room above 30 ms; any time past the time-out would be the loop's.)
    addKindRows("one reply at 30 ms", [](QTestData& r) { r << 1 << 30 << 30 << 249; });
    addKindRows("one reply at 300 ms", [](QTestData& r) { r << 1 << 300 << -1 << -1; });
    addKindRows("400 replies at 30 ms", [](QTestData& r) { r << 400 << 30 << 30 << 249; });
}

void TestEchoNet::stalledLoop()
{
    QFETCH(SocketChoice, kind);
    QFETCH(int, hosts);
    QFETCH(int, delayMs);
    QFETCH(int, low);
    QFETCH(int, high);
    Responder responder({QStringLiteral("127.4.0.0/16 reply delay=%1").arg(delayMs)});
    QVERIFY(responder.error().isEmpty());
    EchoProber prober({kind});
    QList<int> results;
    for (int i = 1; i <= hosts; ++i)
        prober.start(request(QStringLiteral("127.4.%1.%2").arg(i / 256).arg(i % 256), "250"),
                     [&results](const ProbeOutcome& o) { results << o.result.toInt(); });
    QElapsedTimer clock;
    clock.start();
    QTimer::singleShot(5, [] {
        QElapsedTimer busy;
        busy.start();
        while (busy.elapsed() < 400) {
        }
    });
    QTRY_COMPARE_WITH_TIMEOUT(results.size(), hosts, 5000);
    QVERIFY(clock.elapsed() >= 400);
    for (int r : std::as_const(results))
        QVERIFY2(r >= low && r <= high, qPrintable(QString::number(r)));
}

void TestEchoNet::probesInFlightOutOfOrder_data()
{
    QTest::addColumn<SocketChoice>("kind");
    addKindRows("four hosts", [](QTestData&) {});
}

void TestEchoNet::probesInFlightOutOfOrder()
{
    QFETCH(SocketChoice, kind);
    Responder responder({"127.0.0.11 reply delay=200", "127.0.0.12 reply delay=10",
                         "127.0.0.13 silent", "127.0.0.14 reply delay=80"});
    QVERIFY(responder.error().isEmpty());
    EchoProber prober({kind});
    QStringList order;
    QHash<QString, int> results;
    for (const QString h : {"127.0.0.11", "127.0.0.12", "127.0.0.13", "127.0.0.14"})
        prober.start(request(h, "400"), [&, h](const ProbeOutcome& o) {
            order << h;
            results.insert(h, o.result.toInt());
        });
    QTRY_COMPARE_WITH_TIMEOUT(results.size(), 4, 5000);
    QCOMPARE(order, (QStringList{"127.0.0.12", "127.0.0.14", "127.0.0.11", "127.0.0.13"}));
    QVERIFY(results["127.0.0.12"] >= 10 && results["127.0.0.12"] < 200);
    QVERIFY(results["127.0.0.14"] >= 80 && results["127.0.0.14"] < 400);
    QVERIFY(results["127.0.0.11"] >= 200 && results["127.0.0.11"] <= 400);
    QCOMPARE(results["127.0.0.13"], -1);
}

void TestEchoNet::queue_data()
{
    QTest::addColumn<int>("gapMs");
    QTest::addColumn<int>("window");
    QTest::addColumn<int>("delayMs");
    // Request i leaves at least spacingMs after request i - stride; a stride of 0 counts from
    // the first request: request i leaves no earlier than i gaps after it.
    QTest::addColumn<int>("stride");
    QTest::addColumn<int>("spacingMs");
    QTest::newRow("20 ms between sends") << 20 << 0 << 0 << 0 << 20;
    // With two echoes out at most, the third leaves only when a reply is in; waiting in the
    // queue does not count toward a reply time.
    QTest::newRow("two in flight") << 0 << 2 << 100 << 2 << 99;
}

void TestEchoNet::queue()
{
    QFETCH(int, gapMs);
    QFETCH(int, window);
    QFETCH(int, delayMs);
    QFETCH(int, stride);
    QFETCH(int, spacingMs);
    Responder responder({QStringLiteral("127.0.0.31-127.0.0.36 reply delay=%1").arg(delayMs)});
    QVERIFY(responder.error().isEmpty());
    EchoEngineOptions options;
    options.minGapMs = gapMs;
    options.maxInFlight = window;
    EchoProber prober(options);
    QList<int> results;
    for (int i = 31; i <= 36; ++i)
        prober.start(request(QStringLiteral("127.0.0.%1").arg(i)),
                     [&results](const ProbeOutcome& o) { results << o.result.toInt(); });
    QTRY_COMPARE_WITH_TIMEOUT(results.size(), 6, 5000);
    for (int r : std::as_const(results)) QVERIFY(r >= delayMs && r < delayMs + 500);
    QTRY_COMPARE(responder.seen().size(), 6);
    const auto& seen = responder.seen();
    for (int i = std::max(stride, 1); i < seen.size(); ++i) {
        const qint64 since = stride ? seen[i].us - seen[i - stride].us : seen[i].us - seen[0].us;
        const qint64 least = (stride ? spacingMs : i * spacingMs - 1) * 1000;
        QVERIFY2(since >= least, qPrintable(QString::number(since)));
    }
}

void TestEchoNet::names()
{
    Responder responder({"127.0.0.1 reply"});
    QVERIFY(responder.error().isEmpty());
    EchoProber prober;
    QCOMPARE(probe(prober, request("no-such-host.invalid", "200")).result(), -1);
    QTest::qWait(50);
    QCOMPARE(responder.seen().size(), 0);  // nothing went anywhere
    QVERIFY2(probe(prober, request(" localhost ")).result() >= 0,
             "localhost must resolve to 127.0.0.1 through /etc/hosts");
    QTRY_COMPARE(responder.seenBy("127.0.0.1").size(), 1);
}

void TestEchoNet::fallsBackToRawWhenPingIsRefused()
{
    Responder responder({"127.0.0.2 reply"});
    QVERIFY(responder.error().isEmpty());
    PingRangeClosed closed;
    QVERIFY(closed.ok());
    EchoProber prober;
    QSignalSpy told(&prober, &EchoProber::socketUnavailable);
    QVERIFY(probe(prober, request("127.0.0.2")).result() >= 0);
    QCOMPARE(prober.engine()->socketKind(), IcmpSocketKind::Raw);
    QCOMPARE(told.size(), 0);
}

void TestEchoNet::noSocketMakesNoCheckUntilOneOpens()
{
    Responder responder({"127.0.0.2 reply"});
    QVERIFY(responder.error().isEmpty());
    EchoProber prober;
    QSignalSpy unavailable(&prober, &EchoProber::socketUnavailable);
    QSignalSpy available(&prober, &EchoProber::socketAvailable);
    {
        PingRangeClosed closed;
        WithoutNetRaw noRaw;
        QVERIFY(closed.ok() && noRaw.ok());
        for (int i = 0; i < 3; ++i) {
            // Not "-1": a check that cannot be made must not make the host look down.
            const Timed t = probe(prober, request("127.0.0.2", "1000", "2"));
            QVERIFY2(t.outcome && t.outcome->failed() && t.outcome->result.isEmpty(),
                     qPrintable(t.text()));
            QVERIFY(t.outcome->error.contains(u"сокет ICMP"));
        }
    }
    QCOMPARE(unavailable.size(), 1);
    QCOMPARE(available.size(), 0);
    const QString message = unavailable[0][0].toString();
    for (const char* words :
         {"EACCES", "EPERM", "net.ipv4.ping_group_range", "setcap cap_net_raw+ep"})
        QVERIFY2(message.contains(QLatin1String(words)), qPrintable(message));
    QCOMPARE(responder.seen().size(), 0);
    // Put right, the next check works without a restart, and that is said once.
    QVERIFY(probe(prober, request("127.0.0.2")).result() >= 0);
    QVERIFY(probe(prober, request("127.0.0.2")).result() >= 0);
    QCOMPARE(available.size(), 1);
    QCOMPARE(unavailable.size(), 1);
}

void TestEchoNet::unprivilegedUser_data()
{
    QTest::addColumn<QByteArray>("pingRange");
    QTest::addColumn<QString>("out");  // a pattern for standard output
    QTest::addColumn<QString>("err");  // words standard error must hold
    QTest::addColumn<int>("requests");
    // Without the ping group and CAP_NET_RAW the check is not made: an error, never "-1".
    QTest::newRow("outside the ping groups") << QByteArray("1 0") << "^$"
                                             << "сокет ICMP не открывается" << 0;
    QTest::newRow("inside the ping groups") << QByteArray("65534 65534") << "^\\d+\\n$"
                                            << "" << 1;
}

void TestEchoNet::unprivilegedUser()
{
    QFETCH(QByteArray, pingRange);
    QFETCH(QString, out);
    QFETCH(QString, err);
    QFETCH(int, requests);
    const QString setpriv = QStandardPaths::findExecutable("setpriv");
    if (setpriv.isEmpty()) QSKIP("setpriv (util-linux) is not installed");
    Responder responder({"127.0.0.2 reply"});
    QVERIFY(responder.error().isEmpty());
    PingRangeClosed closed(pingRange);
    QVERIFY(closed.ok());
    QProcess tool;
    tool.start(setpriv, {"--reuid=65534", "--regid=65534", "--clear-groups", "--inh-caps=-all",
                         qEnvironmentVariable("SENTROK_BIN_DIR") + "/sentrok-probe", "127.0.0.2"});
    QVERIFY(tool.waitForFinished(10000));
    const QString stdOut = QString::fromUtf8(tool.readAllStandardOutput());
    const QString stdErr = QString::fromUtf8(tool.readAllStandardError());
    QVERIFY2(QRegularExpression(out).match(stdOut).hasMatch(), qPrintable(stdOut + stdErr));
    QVERIFY2(stdErr.contains(err), qPrintable(stdErr));
    QCOMPARE(tool.exitCode(), requests ? 0 : 1);
    QTRY_COMPARE(responder.seen().size(), requests);
}

void TestEchoNet::namesPreferIPv4ThenIPv6()
{
    if (const QString why = test::ipv6Unavailable(); !why.isEmpty()) QSKIP(qPrintable(why));
    BindMount hosts("/etc/hosts",
                    "127.0.0.1 localhost\n"
                    "fd00::7 only6.test\n"
                    "fd00::8 both.test\n"
                    "127.0.0.8 both.test\n");
    if (!hosts.error().isEmpty()) QSKIP(qPrintable(hosts.error()));
    Responder responder({"127.0.0.8 reply", "fd00::7 reply", "fd00::8 reply"});
    QVERIFY(responder.error().isEmpty());
    EchoProber prober;
    QVERIFY(probe(prober, request("only6.test")).result() >= 0);
    QVERIFY(probe(prober, request("both.test")).result() >= 0);
    QTRY_COMPARE(responder.seen().size(), 2);
    QCOMPARE(responder.seen()[0].destination, QStringLiteral("fd00::7"));
    // A name that has always been probed over IPv4 stays there.
    QCOMPARE(responder.seen()[1].destination, QStringLiteral("127.0.0.8"));
}

void TestEchoNet::deadNameServer()
{
    // A name server that takes every question and never answers, the only one the resolver has.
    QUdpSocket server;
    QVERIFY(server.bind(QHostAddress("127.0.0.53"), 53));
    BindMount conf("/etc/resolv.conf", "nameserver 127.0.0.53\n");
    if (!conf.error().isEmpty()) QSKIP(qPrintable(conf.error()));
    Responder responder({"127.0.0.0/24 reply"});
    QVERIFY(responder.error().isEmpty());
    EchoProber prober;
    struct Done {
        QString host, result;
        qint64 ms = -1;
    };
    QList<Done> done;
    QElapsedTimer clock;
    clock.start();
    const auto start = [&](const QString& host) {
        prober.start(request(host, "300", "2"), [&, host](const ProbeOutcome& o) {
            done << Done{host, o.failed() ? o.error : o.result, clock.elapsed()};
        });
    };
    // More dead names than a small pool of lookups would hold, with addresses among them, and
    // a name from /etc/hosts last of all.
    for (int i = 0; i < 80; ++i) {
        start(QStringLiteral("dead-%1.example").arg(i));
        if (i % 8 == 0) start(QStringLiteral("127.0.0.%1").arg(10 + i / 8));
    }
    start("localhost");
    QTRY_COMPARE_WITH_TIMEOUT(done.size(), 91, 15000);
    for (const Done& d : std::as_const(done)) {
        const QString what = QStringLiteral("%1: %2 after %3 ms").arg(d.host, d.result).arg(d.ms);
        if (d.host.startsWith("dead-")) {
            // Its own limit, counted from its request; then unresolved, nothing sent.
            QVERIFY2(d.result == "-1" && d.ms >= 4500 && d.ms <= 300 * 2 + 6000, qPrintable(what));
        } else {
            // Neither an address nor a name the system knows without DNS waits for dead lookups.
            QVERIFY2(d.result.toInt() >= 0 && d.ms < 2500, qPrintable(what));
        }
    }
    QCOMPARE(responder.seen().size(), 2 * 11);
}

void TestEchoNet::flood_data()
{
    QTest::addColumn<SocketChoice>("kind");
    QTest::addColumn<QString>("flood");
    addKindRows("echo replies with our identifier", [](QTestData& r) { r << "replies"; });
    addKindRows("garbage ICMP", [](QTestData& r) { r << "garbage"; });
}

void TestEchoNet::flood()
{
    QFETCH(SocketChoice, kind);
    QFETCH(QString, flood);
    // 80 of every 100 hosts answer, some after a while; under the flood each keeps its outcome.
    Responder responder({"127.6.0.0/16 reply delay=40 pct=10", "127.6.0.0/16 reply pct=80"});
    QVERIFY(responder.error().isEmpty());
    Flood flooding(flood, 5000);
    QVERIFY2(flooding.error().isEmpty(), qPrintable(flooding.error()));
    EchoEngineOptions options{kind};
    options.minGapMs = 1;
    EchoProber prober(options);
    QVERIFY(probe(prober, request("127.6.0.1")).result() >= 0);  // the flood learns our identifier
    int wrong = 0, done = 0;
    QStringList wrongOnes;
    const int hosts = 400;
    // The real event loop, not QTRY's, which sleeps 10 ms between its turns.
    QEventLoop loop;
    for (int i = 0; i < hosts; ++i) {
        const bool answers = i % 100 < 80;
        prober.start(request(QStringLiteral("127.6.%1.%2").arg(i / 256).arg(i % 256), "300", "2"),
                     [&, i, answers](const ProbeOutcome& o) {
                         if (++done == hosts) loop.quit();
                         if ((o.result.toInt() >= 0) != answers || o.failed()) {
                             ++wrong;
                             wrongOnes << QString::number(i) + '=' + o.result + o.error;
                         }
                     });
    }
    // A busy loop in the middle: what arrives meanwhile waits in the socket, and is judged by
    // the time it came.
    QTimer::singleShot(200, [] {
        QElapsedTimer busy;
        busy.start();
        while (busy.elapsed() < 100) {
        }
    });
    QTimer::singleShot(15000, &loop, &QEventLoop::quit);
    loop.exec();
    QCOMPARE(done, hosts);
    QVERIFY2(wrong == 0, qPrintable(wrongOnes.join(' ')));
    const qint64 sent = flooding.stop();
    QVERIFY(sent > 2000);
    // The kernel filter keeps out all but the replies that carry a sequence of ours (half the
    // reply flood); those are read and turned away.
    const auto ignored = qint64(prober.engine()->ignoredDatagrams());
    const QString counts = QStringLiteral("%1 of %2 read and ignored").arg(ignored).arg(sent);
    if (flood == "replies")
        QVERIFY2(ignored > 0 && ignored < sent * 3 / 4, qPrintable(counts));
    else
        QVERIFY2(ignored < sent / 20, qPrintable(counts));
}

void TestEchoNet::commandLineTool_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("out");  // a pattern for standard output
    QTest::addColumn<QString>("err");  // words standard error must hold
    QTest::addColumn<int>("exitCode");
    QTest::newRow("answering host") << QStringList{"127.0.0.2"} << "^\\d+\\n$"
                                    << "" << 0;
    QTest::newRow("silent host") << QStringList{"127.0.0.9", "100", "64", "2", "40"} << "^-1\\n$"
                                 << "" << 0;
    QTest::newRow("wait abc") << QStringList{"127.0.0.2", "abc"} << "^$"
                              << "время ожидания \"abc\" не число" << 1;
    QTest::newRow("no host") << QStringList{} << "^$"
                             << "usage" << 2;
}

void TestEchoNet::commandLineTool()
{
    QFETCH(QStringList, args);
    QFETCH(QString, out);
    QFETCH(QString, err);
    QFETCH(int, exitCode);
    Responder responder({"127.0.0.2 reply"});
    QVERIFY(responder.error().isEmpty());
    QProcess tool;
    tool.start(qEnvironmentVariable("SENTROK_BIN_DIR") + "/sentrok-probe", args);
    QVERIFY(tool.waitForFinished(10000));
    const QString stdOut = QString::fromUtf8(tool.readAllStandardOutput());
    const QString stdErr = QString::fromUtf8(tool.readAllStandardError());
    QVERIFY2(QRegularExpression(out).match(stdOut).hasMatch(), qPrintable(stdOut));
    QVERIFY2(stdErr.contains(err), qPrintable(stdErr));
    QCOMPARE(tool.exitCode(), exitCode);
}

QTEST_GUILESS_MAIN(TestEchoNet)
#include "tst_echonet.moc"

// A program started with a capability from its file keeps a raw socket and gives the capability
// up: the socket serves the probe afterwards, and nothing else is left of the capability.
void TestEchoNet::heldRawSocketOutlivesTheCapability_data()
{
    QTest::addColumn<QByteArray>("pingRange");
    QTest::addColumn<bool>("held");
    QTest::newRow("ping socket refused") << QByteArray("1 0") << true;
    // Root is in the range: nothing to hold, the ping socket serves.
    QTest::newRow("ping socket allowed") << QByteArray("0 0") << false;
}

void TestEchoNet::heldRawSocketOutlivesTheCapability()
{
    QFETCH(QByteArray, pingRange);
    QFETCH(bool, held);
    Responder responder({"127.0.0.2 reply"});
    QVERIFY(responder.error().isEmpty());
    PingRangeClosed range(pingRange);
    QVERIFY(range.ok());
    const auto release = qScopeGuard([] { releaseHeldRawSockets(); });
    QCOMPARE(holdRawSockets() > 0, held);
    WithoutNetRaw noRaw;
    QVERIFY(noRaw.ok());
    {
        EchoProber prober;
        QVERIFY(probe(prober, request("127.0.0.2")).result() >= 0);
        QTRY_COMPARE(responder.seen().size(), 1);
    }
    if (!held) return;
    // The answer came through the held socket: without it nothing opens.
    releaseHeldRawSockets();
    EchoProber prober;
    const Timed t = probe(prober, request("127.0.0.2"));
    QVERIFY2(t.outcome && t.outcome->result.isEmpty(), qPrintable(t.text()));
}

void TestEchoNet::fileCapabilityIsGivenUpAtStart()
{
    const QString setpriv = QStandardPaths::findExecutable("setpriv");
    const QString setcap = QStandardPaths::findExecutable("setcap", {"/usr/sbin", "/sbin"});
    if (setpriv.isEmpty() || setcap.isEmpty())
        QSKIP("setpriv (util-linux) or setcap (libcap2-bin) is missing");
    QTemporaryDir dir;
    const QString tool = dir.filePath("sentrok-probe");
    QVERIFY(QFile::copy(qEnvironmentVariable("SENTROK_BIN_DIR") + "/sentrok-probe", tool));
    const auto open = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup |
                      QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther;
    QVERIFY(QFile::setPermissions(dir.path(), open) && QFile::setPermissions(tool, open));
    if (QProcess::execute(setcap, {"cap_net_raw+ep", tool}) != 0)
        QSKIP("this file system keeps no capabilities");
    Responder responder({"127.0.0.2 reply", "127.0.0.3 silent"});
    QVERIFY(responder.error().isEmpty());
    PingRangeClosed closed;
    QVERIFY(closed.ok());
    const auto start = [&](QProcess& p, const QStringList& args) {
        p.start(setpriv,
                QStringList{"--reuid=65534", "--regid=65534", "--clear-groups", tool} + args);
        QVERIFY(p.waitForStarted());
    };
    QProcess waiting, answered;
    start(waiting, {"127.0.0.3", "3000"});
    // Its request is out: it has run past the start, and has been sending since.
    QTRY_COMPARE(responder.seenBy("127.0.0.3").size(), 1);
    QFile status(QStringLiteral("/proc/%1/status").arg(waiting.processId()));
    QVERIFY(status.open(QIODevice::ReadOnly));
    const QString caps = QString::fromLatin1(status.readAll());
    for (const char* set : {"CapPrm", "CapEff", "CapAmb"})
        QVERIFY2(caps.contains(QLatin1String(set) + QStringLiteral(":\t0000000000000000")),
                 qPrintable(caps));
    start(answered, {"127.0.0.2"});
    QVERIFY(answered.waitForFinished(10000) && waiting.waitForFinished(10000));
    QVERIFY2(QRegularExpression("^\\d+\\n$")
                 .match(QString::fromUtf8(answered.readAllStandardOutput()))
                 .hasMatch(),
             qPrintable(answered.readAllStandardError()));
    QCOMPARE(QString::fromUtf8(waiting.readAllStandardOutput()), QStringLiteral("-1\n"));
}
