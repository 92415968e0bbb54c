// The probe's rules over a scripted transport: normalising of the record's texts, the mean,
// resolution, failures, and the asynchronous contract.

#include "probe/echoparams.h"
#include "probe/echoprober.h"
#include "scriptedecho.h"

#include <QHostAddress>
#include <QTest>

#include <limits>

using namespace sentrok;
using namespace sentrok::test;
using Answer = ScriptedTransport::Answer;
using Answers = QList<Answer>;

namespace {

const QLocale c = QLocale::c();
const QLocale ru(QLocale::Russian, QLocale::Russia);
const QLocale en(QLocale::English, QLocale::UnitedStates);

QHostAddress ip(const QString& text) { return QHostAddress(text); }

Answers replies(std::initializer_list<int> values)  // -1: the echo fails
{
    Answers out;
    for (int v : values) out << Answer{v < 0 ? std::nullopt : std::optional<qint32>(v)};
    return out;
}

ProbeRequest request(const QString& host, const QString& wait = "1000", const QString& ttl = "255",
                     const QString& count = "1", const QString& length = "32")
{
    return {host, wait, ttl, count, length};
}

struct Harness {
    ScriptedTransport transport;
    ScriptedResolver resolver;
    EchoProber prober{transport, resolver};

    explicit Harness(const QLocale& locale = c)
    {
        prober.setLocale(locale);
        resolver.names.insert("router", ip("10.1.2.3"));
    }

    // The outcome; empty when `done` was not called exactly once, or was called from inside
    // start().
    std::optional<ProbeOutcome> run(const ProbeRequest& r)
    {
        auto calls = std::make_shared<int>(0);
        auto early = std::make_shared<bool>(false);
        auto starting = std::make_shared<bool>(true);
        auto outcome = std::make_shared<ProbeOutcome>();
        const quint64 id = prober.start(r, [=](const ProbeOutcome& o) {
            *early |= *starting;
            ++*calls;
            *outcome = o;
        });
        *starting = false;
        if (!QTest::qWaitFor([&] { return *calls > 0; }, 5000)) prober.cancel(id);
        QTest::qWait(5);  // room for a second, wrong call
        if (*early || *calls != 1) return std::nullopt;
        return *outcome;
    }
};

}  // namespace

class TestEchoProber : public QObject {
    Q_OBJECT
private slots:
    void mean_data();
    void mean();
    void parameters_data();
    void parameters();
    void failures_data();
    void failures();
    void nothingSent_data();
    void nothingSent();
    void resolution_data();
    void resolution();
    void cancel_data();
    void cancel();
    void probesInFlightGetTheirOwnAnswers();
    void doneMayStartTheNextProbe();
};

void TestEchoProber::mean_data()
{
    QTest::addColumn<QString>("count");
    QTest::addColumn<Answers>("answers");
    QTest::addColumn<QString>("result");
    QTest::newRow("one echo in 0 ms") << "1" << replies({0}) << "0";
    QTest::newRow("one failure") << "1" << replies({-1}) << "-1";
    QTest::newRow("(10 - 1) div 2") << "2" << replies({10, -1}) << "4";
    QTest::newRow("-2 div 3 toward zero") << "3" << replies({0, -1, -1}) << "0";
    QTest::newRow("-2 div 2") << "2" << replies({-1, -1}) << "-1";
    QTest::newRow("31 div 3") << "3" << replies({10, 10, 11}) << "10";
    QTest::newRow("count 2.5 is 2 echoes") << "2.5" << replies({7, 9}) << "8";
    QTest::newRow("count 3.5 is 4 echoes") << "3.5" << replies({4, 4, 4, -1}) << "2";
}

void TestEchoProber::mean()
{
    QFETCH(QString, count);
    QFETCH(Answers, answers);
    QFETCH(QString, result);
    Harness h;
    h.transport.answers = answers;
    const auto outcome = h.run(request("10.0.0.1", "1000", "255", count));
    QVERIFY(outcome);
    QCOMPARE(outcome->error, QString());
    QCOMPARE(outcome->result, result);
    QCOMPARE(h.transport.sent.size(), answers.size());
}

void TestEchoProber::parameters_data()
{
    QTest::addColumn<ProbeRequest>("texts");
    QTest::addColumn<QLocale>("locale");
    QTest::addColumn<int>("timeoutMs");
    QTest::addColumn<int>("ttl");
    QTest::addColumn<int>("echoes");
    QTest::addColumn<int>("payload");
    const QString h = "10.0.0.7";
    //                                                wait     ttl      count  length      time-out
    //                                                ttl echoes payload
    QTest::newRow("length abc") << request(h, "1000", "64", "1", "abc") << c << 1000 << 64 << 1
                                << 32;
    QTest::newRow("length 20") << request(h, "1000", "64", "1", "20") << c << 1000 << 64 << 1 << 32;
    QTest::newRow("length 100") << request(h, "1000", "64", "1", "100") << c << 1000 << 64 << 1
                                << 100;
    QTest::newRow("length 127") << request(h, "1000", "64", "1", "127") << c << 1000 << 64 << 1
                                << 126;
    QTest::newRow("length 500") << request(h, "1000", "64", "1", "500") << c << 1000 << 64 << 1
                                << 126;
    QTest::newRow("length 33.5 to even")
        << request(h, "1000", "64", "1", "33.5") << c << 1000 << 64 << 1 << 34;
    QTest::newRow("length 1,000 leads with 1")
        << request(h, "1000", "64", "1", "1,000") << en << 1000 << 64 << 1 << 32;
    QTest::newRow("length 41,5 in ru")
        << request(h, "1000", "64", "1", "41,5") << ru << 1000 << 64 << 1 << 42;
    QTest::newRow("ttl 1") << request(h, "1000", "1") << c << 1000 << 2 << 1 << 32;
    QTest::newRow("ttl -5") << request(h, "1000", "-5") << c << 1000 << 2 << 1 << 32;
    QTest::newRow("ttl 300") << request(h, "1000", "300") << c << 1000 << 255 << 1 << 32;
    QTest::newRow("ttl empty") << request(h, "1000", "") << c << 1000 << 255 << 1 << 32;
    QTest::newRow("ttl 12abc") << request(h, "1000", "12abc") << c << 1000 << 255 << 1 << 32;
    QTest::newRow("ttl 2.5 to even") << request(h, "1000", "2.5") << c << 1000 << 2 << 1 << 32;
    QTest::newRow("ttl 3,5 in ru") << request(h, "1000", "3,5") << ru << 1000 << 4 << 1 << 32;
    QTest::newRow("count 0") << request(h, "1000", "64", "0") << c << 1000 << 64 << 1 << 32;
    QTest::newRow("count empty") << request(h, "1000", "64", "") << c << 1000 << 64 << 1 << 32;
    QTest::newRow("count x") << request(h, "1000", "64", "x") << c << 1000 << 64 << 1 << 32;
    QTest::newRow("count 0.9") << request(h, "1000", "64", "0.9") << c << 1000 << 64 << 1 << 32;
    QTest::newRow("count 3") << request(h, "1000", "64", "3") << c << 1000 << 64 << 3 << 32;
    QTest::newRow("wait blanks around") << request(h, " 250 ", "64") << c << 250 << 64 << 1 << 32;
    QTest::newRow("wait 1e3") << request(h, "1e3", "64") << c << 1000 << 64 << 1 << 32;
    QTest::newRow("wait 1,5 in ru") << request(h, "1,5", "64") << ru << 2 << 64 << 1 << 32;
}

void TestEchoProber::parameters()
{
    QFETCH(ProbeRequest, texts);
    QFETCH(QLocale, locale);
    QFETCH(int, timeoutMs);
    QFETCH(int, ttl);
    QFETCH(int, echoes);
    QFETCH(int, payload);
    Harness h(locale);
    for (int i = 0; i < echoes; ++i) h.transport.answers << Answer{5};
    const auto outcome = h.run(texts);
    QVERIFY(outcome);
    QCOMPARE(outcome->result, QStringLiteral("5"));
    QCOMPARE(h.transport.sent.size(), echoes);
    for (const EchoRequest& r : h.transport.sent) {
        QCOMPARE(r.address, ip("10.0.0.7"));
        QCOMPARE(int(r.ttl), ttl);
        QCOMPARE(r.timeoutMs, timeoutMs);
        QCOMPARE(r.payload, echoFiller().left(payload));
    }
    QCOMPARE(echoFiller().size(), 126);
}

void TestEchoProber::failures_data()
{
    QTest::addColumn<ProbeRequest>("texts");
    QTest::addColumn<QLocale>("locale");
    QTest::addColumn<Answers>("answers");
    QTest::addColumn<QString>("notSent");  // the transport's words for every request
    QTest::addColumn<QString>("error");
    const QString h = "10.0.0.1";
    const Answers none;
    QTest::newRow("wait abc") << request(h, "abc") << c << none << ""
                              << "время ожидания \"abc\" не число";
    QTest::newRow("wait empty") << request(h, "") << c << none << ""
                                << "время ожидания \"\" не число";
    QTest::newRow("wait 40000") << request(h, "40000") << c << none << ""
                                << "время ожидания \"40000\" вне диапазона";
    QTest::newRow("wait 32767.5") << request(h, "32767.5") << c << none << ""
                                  << "вне диапазона";
    QTest::newRow("count 40000") << request(h, "1000", "255", "40000") << c << none << ""
                                 << "число запросов \"40000\" больше 32767";
    QTest::newRow("count before wait") << request(h, "abc", "255", "40000") << c << none << ""
                                       << "число запросов";
    QTest::newRow("count 1e-5 reads 0") << request(h, "1000", "255", "1e-5") << c << none << ""
                                        << "до нуля";
    QTest::newRow("ttl 2,000 reads 2000") << request(h, "1000", "2,000") << en << none << ""
                                          << "TTL";
    QTest::newRow("host of 65") << request(" " + QString(65, u'a') + " ") << c << none << ""
                                << "длиннее 64 символов";
    QTest::newRow("sum over 32 bits") << request(h, "1000", "255", "2") << c
                                      << Answers{{std::numeric_limits<qint32>::max()}, {1}} << ""
                                      << "32-битное";
    // A stored negative wait, or no ICMP socket: nothing can be said of the host, so the check
    // is not made, and is not a host that is down.
    QTest::newRow("wait negative") << request(h, "-5", "255", "3") << c << none << ""
                                   << "время ожидания \"-5\" меньше нуля";
    QTest::newRow("wait -0.4") << request(h, "-0.4") << c << none << ""
                               << "меньше нуля";
    QTest::newRow("no ICMP socket")
        << request(h, "1000", "255", "3") << c << Answers{Answer{}} << "сокет ICMP не открывается"
        << "сокет ICMP";
}

void TestEchoProber::failures()
{
    QFETCH(ProbeRequest, texts);
    QFETCH(QLocale, locale);
    QFETCH(Answers, answers);
    QFETCH(QString, notSent);
    QFETCH(QString, error);
    Harness h(locale);
    h.transport.answers = answers;
    h.transport.notSent = notSent;
    const auto outcome = h.run(texts);
    QVERIFY(outcome);
    QVERIFY2(outcome->error.contains(error), qPrintable(outcome->error));
    QCOMPARE(outcome->result, QString());
    QCOMPARE(h.transport.sent.size(), answers.size());
    QVERIFY(h.resolver.asked.isEmpty());
}

void TestEchoProber::nothingSent_data()
{
    QTest::addColumn<ProbeRequest>("texts");
    QTest::addColumn<QString>("result");
    // Nothing is read for an empty host: texts that cannot be converted do not matter.
    QTest::newRow("empty host") << request("", "abc", "x", "40000") << "";
    QTest::newRow("blank host") << request("   ") << "";
    QTest::newRow("wait 0") << request("10.0.0.1", "0") << "-1";
    QTest::newRow("wait 0.4") << request("10.0.0.1", "0.4") << "-1";
}

void TestEchoProber::nothingSent()
{
    QFETCH(ProbeRequest, texts);
    QFETCH(QString, result);
    Harness h;
    const auto outcome = h.run(texts);
    QVERIFY(outcome);
    QCOMPARE(outcome->error, QString());
    QCOMPARE(outcome->result, result);
    QVERIFY(h.transport.sent.isEmpty());
    QVERIFY(h.resolver.asked.isEmpty());
}

void TestEchoProber::resolution_data()
{
    QTest::addColumn<QStringList>("hosts");  // probed one after the other
    QTest::addColumn<QStringList>("asked");
    QTest::addColumn<QStringList>("sentTo");
    QTest::addColumn<QString>("lastResult");
    const QString name64 = QString(64, u'n');
    QTest::newRow("dotted, blanks around")
        << QStringList{"  10.0.0.1  "} << QStringList() << QStringList{"10.0.0.1"} << "3";
    QTest::newRow("short form") << QStringList{"127.1"} << QStringList() << QStringList{"127.0.0.1"}
                                << "3";
    QTest::newRow("name, blanks around")
        << QStringList{" router "} << QStringList{"router"} << QStringList{"10.1.2.3"} << "3";
    QTest::newRow("64 characters")
        << QStringList{name64} << QStringList{name64} << QStringList() << "-1";
    QTest::newRow("tab is part of the text")
        << QStringList{"\t10.0.0.1"} << QStringList{"\t10.0.0.1"} << QStringList() << "-1";
    QTest::newRow("IPv6, blanks around")
        << QStringList{" ::1 "} << QStringList() << QStringList{"::1"} << "3";
    QTest::newRow("IPv6 in brackets, with a zone")
        << QStringList{"[fe80::1%eth0]"} << QStringList() << QStringList{"fe80::1%eth0"} << "3";
    QTest::newRow("IPv4 written as IPv6")
        << QStringList{"::ffff:10.0.0.9"} << QStringList() << QStringList{"10.0.0.9"} << "3";
    QTest::newRow("IPv4 in brackets is a name")
        << QStringList{"[10.0.0.1]"} << QStringList{"[10.0.0.1]"} << QStringList() << "-1";
    // The destination of the previous probe is not reused for a name that fails.
    QTest::newRow("unknown after known")
        << QStringList{"router", "gone"} << QStringList{"router", "gone"} << QStringList{"10.1.2.3"}
        << "-1";
}

void TestEchoProber::resolution()
{
    QFETCH(QStringList, hosts);
    QFETCH(QStringList, asked);
    QFETCH(QStringList, sentTo);
    QFETCH(QString, lastResult);
    Harness h;
    h.transport.answers = replies({3, 3});
    std::optional<ProbeOutcome> outcome;
    for (const QString& host : hosts) outcome = h.run(request(host));
    QVERIFY(outcome);
    QCOMPARE(outcome->result, lastResult);
    QCOMPARE(h.resolver.asked, asked);
    QStringList sent;
    for (const EchoRequest& r : h.transport.sent) sent << r.address.toString();
    QCOMPARE(sent, sentTo);
}

void TestEchoProber::cancel_data()
{
    QTest::addColumn<ProbeRequest>("texts");
    QTest::addColumn<int>("echoesForgotten");
    QTest::addColumn<int>("lookupsForgotten");
    QTest::newRow("empty host") << request("") << 0 << 0;
    QTest::newRow("record that fails") << request("10.0.0.1", "abc") << 0 << 0;
    QTest::newRow("echo out") << request("10.0.0.1") << 1 << 0;
    QTest::newRow("name being looked up") << request("router") << 0 << 1;
    QTest::newRow("wait 0") << request("10.0.0.1", "0") << 0 << 0;
}

void TestEchoProber::cancel()
{
    QFETCH(ProbeRequest, texts);
    QFETCH(int, echoesForgotten);
    QFETCH(int, lookupsForgotten);
    int calls = 0;
    {
        Harness h;
        h.transport.answers << Answer{1, 20};
        const quint64 id = h.prober.start(texts, [&](const ProbeOutcome&) { ++calls; });
        h.prober.cancel(id);
        QTest::qWait(40);
        QCOMPARE(h.transport.forgotten, echoesForgotten);
        QCOMPARE(h.resolver.forgotten, lookupsForgotten);
        // Destroying the prober forgets what is still out, too.
        h.prober.start(texts, [&](const ProbeOutcome&) { ++calls; });
    }
    QTest::qWait(40);
    QCOMPARE(calls, 0);
}

void TestEchoProber::probesInFlightGetTheirOwnAnswers()
{
    Harness h;
    h.transport.answersFor["10.0.0.1"] = {{40, 80}, {50, 10}};
    h.transport.answersFor["10.0.0.2"] = {{5, 5}, {7, 5}};
    h.transport.answersFor["10.0.0.3"] = {{std::nullopt, 30}, {std::nullopt, 30}};
    QStringList order, results;
    for (const QString host : {"10.0.0.1", "10.0.0.2", "10.0.0.3"})
        h.prober.start(request(host, "1000", "255", "2"), [&, host](const ProbeOutcome& o) {
            order << host;
            results << host + '=' + o.result;
        });
    QTRY_COMPARE(results.size(), 3);
    QCOMPARE(order, (QStringList{"10.0.0.2", "10.0.0.3", "10.0.0.1"}));
    QCOMPARE(results, (QStringList{"10.0.0.2=6", "10.0.0.3=-1", "10.0.0.1=45"}));
}

void TestEchoProber::doneMayStartTheNextProbe()
{
    // A pass starts the next host's probe from the previous one's `done`.
    Harness h;
    h.transport.answers = replies({1, 2, 3});
    QStringList results;
    std::function<void(const ProbeOutcome&)> next = [&](const ProbeOutcome& o) {
        results << o.result;
        if (results.size() < 3) h.prober.start(request("10.0.0.1"), next);
    };
    h.prober.start(request("10.0.0.1"), next);
    QTRY_COMPARE(results, (QStringList{"1", "2", "3"}));
}

QTEST_GUILESS_MAIN(TestEchoProber)
#include "tst_echoprober.moc"
