// Real ICMP echo on both kinds of socket, inside the private network namespace that
// tests/netns-run.sh makes, against the test responder. Every packet goes to 127.0.0.0/8.

#include "probe/echoprober.h"
#include "support/netns.h"

#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

using namespace sentrok;
using sentrok::test::Responder;
using sentrok::test::SeenRequest;

Q_DECLARE_METATYPE(sentrok::SocketChoice)

namespace {

struct Timed {
    ProbeOutcome outcome;
    qint64 elapsedMs = 0;
};

std::optional<Timed> probe(EchoProber& prober, const ProbeRequest& request, int timeoutMs = 15000)
{
    auto result = std::make_shared<std::optional<Timed>>();
    QElapsedTimer clock;
    clock.start();
    const quint64 id = prober.start(
        request, [result, clock](const ProbeOutcome& o) { *result = Timed{o, clock.elapsed()}; });
    if (!QTest::qWaitFor([&] { return result->has_value(); }, timeoutMs)) prober.cancel(id);
    return *result;
}

ProbeRequest request(const QString& host, const QString& wait = QStringLiteral("1000"),
                     const QString& count = QStringLiteral("1"),
                     const QString& ttl = QStringLiteral("255"),
                     const QString& length = QStringLiteral("32"))
{
    return {host, wait, ttl, count, length};
}

int resultOf(const std::optional<Timed>& t) { return t ? t->outcome.result.toInt() : -999; }

IcmpSocketKind kindOf(SocketChoice choice)
{
    return choice == SocketChoice::RawOnly ? IcmpSocketKind::Raw : IcmpSocketKind::Ping;
}

void addKindRows(const char* name, const std::function<void(QTestData&)>& fill)
{
    for (const auto& [kind, label] : {std::pair{SocketChoice::PingOnly, "ping"},
                                      std::pair{SocketChoice::RawOnly, "raw"}}) {
        QTestData& row = QTest::addRow("%s: %s", label, name) << kind;
        fill(row);
    }
}

// Sets a sysctl of this namespace for a while.
class SysctlGuard {
public:
    SysctlGuard(const QString& path, const QByteArray& value) : m_file(path)
    {
        if (m_file.open(QIODevice::ReadWrite)) {
            m_saved = m_file.readAll();
            m_file.seek(0);
            m_ok = m_file.write(value) == value.size() && m_file.flush();
        }
    }
    ~SysctlGuard()
    {
        if (!m_file.isOpen()) return;
        m_file.seek(0);
        m_file.write(m_saved);
    }
    bool ok() const { return m_ok; }

private:
    QFile m_file;
    QByteArray m_saved;
    bool m_ok = false;
};

// Takes a capability out of this thread's effective set for a while (it stays permitted, so
// it comes back).
class DropCapability {
public:
    explicit DropCapability(int cap)
    {
        m_header.version = _LINUX_CAPABILITY_VERSION_3;
        if (syscall(SYS_capget, &m_header, m_saved) != 0) return;
        __user_cap_data_struct lowered[2] = {m_saved[0], m_saved[1]};
        lowered[cap / 32].effective &= ~(1u << (cap % 32));
        m_ok = syscall(SYS_capset, &m_header, lowered) == 0;
    }
    ~DropCapability()
    {
        if (m_ok) syscall(SYS_capset, &m_header, m_saved);
    }
    bool ok() const { return m_ok; }

private:
    __user_cap_header_struct m_header{};
    __user_cap_data_struct m_saved[2]{};
    bool m_ok = false;
};

const QString kPingRange = QStringLiteral("/proc/sys/net/ipv4/ping_group_range");

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
    void hundredHostsAtOnce_data();
    void hundredHostsAtOnce();
    void pacing();
    void window();
    void names();
    void fallsBackToRawWhenPingIsRefused();
    void noSocketIsToldOnceAndChecksFail();
    void commandLineTool_data();
    void commandLineTool();
    void commandLineToolWithoutSocket();
};

void TestEchoNet::initTestCase()
{
    const QString why = test::netnsUnavailable();
    if (!why.isEmpty()) QSKIP(qPrintable(why));
    QVERIFY(QFile::exists(qEnvironmentVariable("SENTROK_TOOLS_DIR") + "/sentrok-responder"));
    QVERIFY(QFile::exists(qEnvironmentVariable("SENTROK_BIN_DIR") + "/sentrok-probe"));
}

void TestEchoNet::outcome_data()
{
    QTest::addColumn<SocketChoice>("kind");
    QTest::addColumn<QString>("rule");
    QTest::addColumn<QString>("wait");
    QTest::addColumn<QString>("count");
    QTest::addColumn<int>("low");  // result range
    QTest::addColumn<int>("high");
    QTest::addColumn<int>("soonestMs");  // when the outcome may come
    QTest::addColumn<int>("latestMs");
    const auto row = [](const char* name, const char* rule, const char* wait, const char* count,
                        int low, int high, int soonest, int latest) {
        addKindRows(name, [=](QTestData& r) {
            r << QString::fromLatin1(rule) << QString::fromLatin1(wait) << QString::fromLatin1(count)
              << low << high << soonest << latest;
        });
    };
    row("answers at once", "reply", "1000", "1", 0, 20, 0, 500);
    row("answers after 50 ms", "reply delay=50", "1000", "2", 50, 150, 100, 800);
    row("silent, 2 x 150 ms", "silent", "150", "2", -1, -1, 295, 800);
    row("answers twice", "twice", "1000", "3", 0, 20, 0, 500);
    row("wrong sequence", "wrong-seq", "150", "1", -1, -1, 145, 600);
    row("wrong identifier", "wrong-id", "150", "1", -1, -1, 145, 600);
    row("wrong source", "wrong-source", "150", "1", -1, -1, 145, 600);
    row("bad checksum", "bad-checksum", "150", "1", -1, -1, 145, 600);
    row("unreachable", "unreachable", "150", "1", -1, -1, 0, 600);
    // Echo 1 times out at 100 ms; its reply comes at 150 ms, while echo 2 waits, and must not
    // count for echo 2, whose own reply comes at 250 ms, after its time-out.
    row("late replies", "reply delay=150", "100", "2", -1, -1, 195, 700);
    row("wait 0 times out at once", "reply", "0", "2", -1, -1, 0, 300);
}

void TestEchoNet::outcome()
{
    QFETCH(SocketChoice, kind);
    QFETCH(QString, rule);
    QFETCH(QString, wait);
    QFETCH(QString, count);
    QFETCH(int, low);
    QFETCH(int, high);
    QFETCH(int, soonestMs);
    QFETCH(int, latestMs);
    Responder responder({"127.0.0.2 " + rule});
    QVERIFY2(responder.error().isEmpty(), qPrintable(responder.error()));
    EchoProber prober({kind});
    const auto t = probe(prober, request("127.0.0.2", wait, count));
    QVERIFY(t);
    QCOMPARE(t->outcome.error, QString());
    QVERIFY2(resultOf(t) >= low && resultOf(t) <= high, qPrintable(t->outcome.result));
    QVERIFY2(t->elapsedMs >= soonestMs && t->elapsedMs <= latestMs,
             qPrintable(QString::number(t->elapsedMs)));
    if (wait.toInt() > 0) {
        QCOMPARE(prober.engine()->socketKind(), kindOf(kind));
        QTRY_COMPARE(responder.seenBy("127.0.0.2").size(), count.toInt());
    } else {
        QCOMPARE(responder.seen().size(), 0);
    }
}

void TestEchoNet::wire_data()
{
    QTest::addColumn<SocketChoice>("kind");
    QTest::addColumn<QString>("ttl");
    QTest::addColumn<QString>("length");
    QTest::addColumn<int>("wireTtl");
    QTest::addColumn<int>("wireLength");
    const auto row = [](const char* name, const char* ttl, const char* length, int wTtl, int wLen) {
        addKindRows(name, [=](QTestData& r) {
            r << QString::fromLatin1(ttl) << QString::fromLatin1(length) << wTtl << wLen;
        });
    };
    row("ttl 1, length 20", "1", "20", 2, 32);
    row("ttl 300, length 500", "300", "500", 255, 126);
    row("ttl empty, length not numeric", "", "abc", 255, 32);
    row("ttl 64, length 100", "64", "100", 64, 100);
    row("ttl 2, length 127", "2", "127", 2, 126);
}

void TestEchoNet::wire()
{
    QFETCH(SocketChoice, kind);
    QFETCH(QString, ttl);
    QFETCH(QString, length);
    QFETCH(int, wireTtl);
    QFETCH(int, wireLength);
    Responder responder({"127.0.0.3 reply"});
    QVERIFY(responder.error().isEmpty());
    EchoProber prober({kind});
    const auto t = probe(prober, request("127.0.0.3", "1000", "2", ttl, length));
    QVERIFY(t);
    QVERIFY(resultOf(t) >= 0);
    QTRY_COMPARE(responder.seenBy("127.0.0.3").size(), 2);
    for (const SeenRequest& r : responder.seenBy("127.0.0.3")) {
        QCOMPARE(r.ttl, wireTtl);
        QCOMPARE(r.payloadLength, wireLength);
    }
}

void TestEchoNet::stalledLoop_data()
{
    QTest::addColumn<SocketChoice>("kind");
    QTest::addColumn<int>("hosts");
    QTest::addColumn<int>("delayMs");
    QTest::addColumn<int>("low");
    QTest::addColumn<int>("high");
    // The loop is busy for 300 ms while the replies come in: a reply in time keeps its own
    // time (the kernel's arrival stamp), not the loop's; a reply after the time-out stays
    // late; and replies in time are all read before any time-out is judged, even more of
    // them than one turn of reading takes.
    addKindRows("one reply at 30 ms", [](QTestData& r) { r << 1 << 30 << 30 << 90; });
    addKindRows("one reply at 150 ms", [](QTestData& r) { r << 1 << 150 << -1 << -1; });
    addKindRows("400 replies at 30 ms", [](QTestData& r) { r << 400 << 30 << 30 << 90; });
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
    for (int i = 1; i <= hosts; ++i) {
        const QString host = QStringLiteral("127.4.%1.%2").arg(i / 256).arg(i % 256);
        prober.start(request(host, "100"),
                     [&results](const ProbeOutcome& o) { results << o.result.toInt(); });
    }
    QElapsedTimer clock;
    clock.start();
    QTimer::singleShot(5, [] {
        QElapsedTimer busy;
        busy.start();
        while (busy.elapsed() < 300) {
        }
    });
    QTRY_COMPARE_WITH_TIMEOUT(results.size(), hosts, 5000);
    QVERIFY(clock.elapsed() >= 300);
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
    for (const char* host : {"127.0.0.11", "127.0.0.12", "127.0.0.13", "127.0.0.14"}) {
        const QString h = QLatin1String(host);
        prober.start(request(h, "400"), [&, h](const ProbeOutcome& o) {
            order << h;
            results.insert(h, o.result.toInt());
        });
    }
    QTRY_COMPARE_WITH_TIMEOUT(results.size(), 4, 5000);
    QCOMPARE(order, (QStringList{"127.0.0.12", "127.0.0.14", "127.0.0.11", "127.0.0.13"}));
    QVERIFY(results["127.0.0.12"] >= 10 && results["127.0.0.12"] < 80);
    QVERIFY(results["127.0.0.14"] >= 80 && results["127.0.0.14"] < 200);
    QVERIFY(results["127.0.0.11"] >= 200 && results["127.0.0.11"] <= 400);
    QCOMPARE(results["127.0.0.13"], -1);
}

void TestEchoNet::hundredHostsAtOnce_data()
{
    QTest::addColumn<SocketChoice>("kind");
    addKindRows("half answer", [](QTestData&) {});
}

void TestEchoNet::hundredHostsAtOnce()
{
    // 127.3.0.1-50 answer, 127.3.0.51-100 do not: every reply must find its own probe.
    QFETCH(SocketChoice, kind);
    Responder responder({"127.3.0.1-127.3.0.100 reply delay=5 pct=50"});
    QVERIFY(responder.error().isEmpty());
    EchoProber prober({kind});
    QHash<int, int> results;
    for (int i = 1; i <= 100; ++i)
        prober.start(request(QStringLiteral("127.3.0.%1").arg(i), "500"),
                     [&results, i](const ProbeOutcome& o) { results.insert(i, o.result.toInt()); });
    QTRY_COMPARE_WITH_TIMEOUT(results.size(), 100, 5000);
    for (int i = 1; i <= 100; ++i) {
        if (i <= 50)
            QVERIFY2(results[i] >= 5, qPrintable(QString::number(i)));
        else
            QVERIFY2(results[i] == -1, qPrintable(QString::number(i)));
    }
}

void TestEchoNet::pacing()
{
    Responder responder({"127.0.0.21-127.0.0.25 reply"});
    QVERIFY(responder.error().isEmpty());
    EchoEngineOptions options;
    options.minGapMs = 20;
    EchoProber prober(options);
    int done = 0;
    for (int i = 21; i <= 25; ++i)
        prober.start(request(QStringLiteral("127.0.0.%1").arg(i)), [&](const ProbeOutcome& o) {
            done += o.result.toInt() >= 0;
        });
    QTRY_COMPARE(done, 5);
    QTRY_COMPARE(responder.seen().size(), 5);
    const auto& seen = responder.seen();
    for (int i = 1; i < seen.size(); ++i)
        QVERIFY2(seen[i].us - seen[i - 1].us >= 19'000,
                 qPrintable(QString::number(seen[i].us - seen[i - 1].us)));
}

void TestEchoNet::window()
{
    // With two echoes out at most, the third request leaves only when a reply is in.
    Responder responder({"127.0.0.31-127.0.0.36 reply delay=100"});
    QVERIFY(responder.error().isEmpty());
    EchoEngineOptions options;
    options.maxInFlight = 2;
    EchoProber prober(options);
    QHash<int, int> results;
    for (int i = 31; i <= 36; ++i)
        prober.start(request(QStringLiteral("127.0.0.%1").arg(i), "1000"),
                     [&results, i](const ProbeOutcome& o) { results.insert(i, o.result.toInt()); });
    QTRY_COMPARE_WITH_TIMEOUT(results.size(), 6, 5000);
    for (int v : std::as_const(results)) QVERIFY(v >= 100 && v < 300);  // queueing is not waiting
    QTRY_COMPARE(responder.seen().size(), 6);
    const auto& seen = responder.seen();
    for (int i = 2; i < seen.size(); ++i)
        QVERIFY2(seen[i].us - seen[i - 2].us >= 99'000,
                 qPrintable(QString::number(seen[i].us - seen[i - 2].us)));
}

void TestEchoNet::names()
{
    Responder responder({"127.0.0.1 reply"});
    QVERIFY(responder.error().isEmpty());
    EchoProber prober;
    const auto unknown = probe(prober, request("no-such-host.invalid", "200"));
    QVERIFY(unknown);
    QCOMPARE(unknown->outcome.result, QStringLiteral("-1"));
    QTest::qWait(50);
    QCOMPARE(responder.seen().size(), 0);  // nothing went anywhere

    const auto local = probe(prober, request(" localhost ", "1000"));
    QVERIFY(local);
    QVERIFY2(resultOf(local) >= 0, "localhost must resolve to 127.0.0.1 through /etc/hosts");
    QTRY_COMPARE(responder.seenBy("127.0.0.1").size(), 1);
}

void TestEchoNet::fallsBackToRawWhenPingIsRefused()
{
    Responder responder({"127.0.0.2 reply"});
    QVERIFY(responder.error().isEmpty());
    SysctlGuard closed(kPingRange, "1 0");  // as in a fresh namespace: no group may ping
    QVERIFY(closed.ok());
    EchoProber prober;
    QSignalSpy told(&prober, &EchoProber::socketUnavailable);
    const auto t = probe(prober, request("127.0.0.2"));
    QVERIFY(resultOf(t) >= 0);
    QCOMPARE(prober.engine()->socketKind(), IcmpSocketKind::Raw);
    QCOMPARE(told.size(), 0);
}

void TestEchoNet::noSocketIsToldOnceAndChecksFail()
{
    Responder responder({"127.0.0.2 reply"});
    QVERIFY(responder.error().isEmpty());
    EchoProber prober;
    QSignalSpy told(&prober, &EchoProber::socketUnavailable);
    {
        SysctlGuard closed(kPingRange, "1 0");
        DropCapability noRaw(CAP_NET_RAW);
        QVERIFY(closed.ok());
        QVERIFY(noRaw.ok());
        for (int i = 0; i < 3; ++i) {
            const auto t = probe(prober, request("127.0.0.2", "1000", "2"));
            QVERIFY(t);
            QCOMPARE(t->outcome.result, QStringLiteral("-1"));
            QCOMPARE(t->outcome.error, QString());
            QVERIFY(t->elapsedMs < 500);  // nothing to wait for
        }
    }
    QCOMPARE(told.size(), 1);
    const QString message = told[0][0].toString();
    for (const char* words : {"EACCES", "EPERM", "net.ipv4.ping_group_range", "setcap cap_net_raw+ep"})
        QVERIFY2(message.contains(QLatin1String(words)), qPrintable(message));
    QCOMPARE(responder.seen().size(), 0);

    // Put right, the next check works without a restart, and nothing more is said.
    const auto t = probe(prober, request("127.0.0.2"));
    QVERIFY(resultOf(t) >= 0);
    QCOMPARE(told.size(), 1);
}

void TestEchoNet::commandLineTool_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("out");  // a pattern for standard output
    QTest::addColumn<QString>("err");  // words standard error must hold
    QTest::addColumn<int>("exitCode");
    QTest::newRow("answering host") << QStringList{"127.0.0.2"} << "^\\d+\\n$" << "" << 0;
    QTest::newRow("all five texts") << QStringList{"127.0.0.2", "500", "64", "3", "100"} << "^\\d+\\n$" << "" << 0;
    QTest::newRow("silent host") << QStringList{"127.0.0.9", "100"} << "^-1\\n$" << "" << 0;
    QTest::newRow("empty host") << QStringList{""} << "^\\n$" << "" << 0;
    QTest::newRow("wait not numeric") << QStringList{"127.0.0.2", "abc"} << "^$"
                                      << "время ожидания \"abc\" не число" << 1;
    QTest::newRow("no host") << QStringList{} << "^$" << "usage" << 2;
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

void TestEchoNet::commandLineToolWithoutSocket()
{
    // No group may ping, and the tool runs without CAP_NET_RAW.
    SysctlGuard closed(kPingRange, "1 0");
    QVERIFY(closed.ok());
    QProcess tool;
    tool.start(QStringLiteral("setpriv"),
               {"--bounding-set=-net_raw", "--inh-caps=-net_raw", "--",
                qEnvironmentVariable("SENTROK_BIN_DIR") + "/sentrok-probe", "127.0.0.2", "100"});
    QVERIFY(tool.waitForFinished(10000));
    if (tool.error() == QProcess::FailedToStart) QSKIP("setpriv (util-linux) is not installed");
    QCOMPARE(QString::fromUtf8(tool.readAllStandardOutput()), QStringLiteral("-1\n"));
    const QString stdErr = QString::fromUtf8(tool.readAllStandardError());
    QVERIFY2(stdErr.contains("setcap cap_net_raw+ep") && stdErr.contains("ping_group_range"),
             qPrintable(stdErr));
    QCOMPARE(tool.exitCode(), 1);
}

QTEST_GUILESS_MAIN(TestEchoNet)
#include "tst_echonet.moc"
