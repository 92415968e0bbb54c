// The probe's rules with a scripted transport: normalising of the record's texts, the
// arithmetic of the mean, resolution, failures, and the asynchronous contract.

#include "probe/echoparams.h"
#include "probe/echoprober.h"
#include "scriptedecho.h"

#include <QHostAddress>
#include <QTest>

#include <limits>

using namespace sentrok;
using sentrok::test::ScriptedResolver;
using sentrok::test::ScriptedTransport;
using Answer = ScriptedTransport::Answer;

Q_DECLARE_METATYPE(QList<Answer>)

namespace {

const QLocale c = QLocale::c();
const QLocale ru(QLocale::Russian, QLocale::Russia);
const QLocale en(QLocale::English, QLocale::UnitedStates);

quint32 ip(const char* text) { return QHostAddress(QLatin1String(text)).toIPv4Address(); }

QList<Answer> replies(std::initializer_list<int> values)
{
    QList<Answer> out;
    for (int v : values) out << Answer{v < 0 ? std::nullopt : std::optional<qint32>(v), 0};
    return out;
}

ProbeRequest request(const QString& host, const QString& wait = QStringLiteral("1000"),
                     const QString& ttl = QStringLiteral("255"),
                     const QString& count = QStringLiteral("1"),
                     const QString& length = QStringLiteral("32"))
{
    return {host, wait, ttl, count, length};
}

// A prober over a scripted transport and resolver, and a way to run one probe to its end.
struct Harness {
    ScriptedTransport transport;
    ScriptedResolver resolver;
    EchoProber prober{transport, resolver};

    Harness(const QLocale& locale = c) { prober.setLocale(locale); }

    // The outcome, once `done` has been called; fails the test if it is called twice or from
    // inside start().
    std::optional<ProbeOutcome> run(const ProbeRequest& r, int timeoutMs = 5000)
    {
        auto calls = std::make_shared<int>(0);
        auto outcome = std::make_shared<std::optional<ProbeOutcome>>();
        auto starting = std::make_shared<bool>(true);
        auto early = std::make_shared<bool>(false);
        const quint64 id = prober.start(r, [=](const ProbeOutcome& o) {
            ++*calls;
            *outcome = o;
            if (*starting) *early = true;
        });
        *starting = false;
        if (!QTest::qWaitFor([&] { return *calls > 0; }, timeoutMs)) prober.cancel(id);
        QTest::qWait(5);  // room for a second, wrong call
        if (*early || *calls > 1) return std::nullopt;
        return *outcome;
    }
};

}  // namespace

class TestEchoProber : public QObject {
    Q_OBJECT
private slots:
    void arithmetic_data();
    void arithmetic();
    void parameters_data();
    void parameters();
    void failures_data();
    void failures();
    void emptyHost_data();
    void emptyHost();
    void expiredWait_data();
    void expiredWait();
    void resolution_data();
    void resolution();
    void unresolvedNameAfterAResolvedOne();
    void cancel_data();
    void cancel();
    void probesInFlightGetTheirOwnAnswers();
    void doneMayStartTheNextProbe();
    void destroyingTheProberForgetsItsEchoes();
    void filler();
};

void TestEchoProber::arithmetic_data()
{
    QTest::addColumn<QString>("count");
    QTest::addColumn<QList<Answer>>("answers");
    QTest::addColumn<QString>("result");
    QTest::newRow("one echo in 0 ms") << "1" << replies({0}) << "0";
    QTest::newRow("one echo in 17 ms") << "1" << replies({17}) << "17";
    QTest::newRow("one failure") << "1" << replies({-1}) << "-1";
    QTest::newRow("(10 - 1) div 2") << "2" << replies({10, -1}) << "4";
    QTest::newRow("-2 div 3 toward zero") << "3" << replies({0, -1, -1}) << "0";
    QTest::newRow("-2 div 2") << "2" << replies({-1, -1}) << "-1";
    QTest::newRow("-3 div 3") << "3" << replies({-1, -1, -1}) << "-1";
    QTest::newRow("(1 - 1) div 2") << "2" << replies({-1, 1}) << "0";
    QTest::newRow("31 div 3 truncates") << "3" << replies({10, 10, 11}) << "10";
    QTest::newRow("count 2.5 is 2 echoes") << "2.5" << replies({7, 9}) << "8";
    QTest::newRow("count 3.5 is 4 echoes") << "3.5" << replies({4, 4, 4, -1}) << "2";
    QTest::newRow("largest times") << "2" << replies({32767, 32767}) << "32767";
}

void TestEchoProber::arithmetic()
{
    QFETCH(QString, count);
    QFETCH(QList<Answer>, answers);
    QFETCH(QString, result);
    Harness h;
    h.transport.answers = answers;
    const auto outcome = h.run(request(QStringLiteral("10.0.0.1"), QStringLiteral("1000"),
                                       QStringLiteral("255"), count));
    QVERIFY(outcome);
    QCOMPARE(outcome->error, QString());
    QCOMPARE(outcome->result, result);
    QCOMPARE(h.transport.sent.size(), answers.size());
}

void TestEchoProber::parameters_data()
{
    QTest::addColumn<QString>("wait");
    QTest::addColumn<QString>("ttl");
    QTest::addColumn<QString>("count");
    QTest::addColumn<QString>("length");
    QTest::addColumn<QLocale>("locale");
    QTest::addColumn<int>("timeoutMs");
    QTest::addColumn<int>("wireTtl");
    QTest::addColumn<int>("echoes");
    QTest::addColumn<int>("payload");
    // wait ttl count length | time-out TTL echoes payload
    QTest::newRow("defaults") << "1000" << "255" << "1" << "32" << c << 1000 << 255 << 1 << 32;
    QTest::newRow("length not numeric") << "1000" << "64" << "1" << "abc" << c << 1000 << 64 << 1 << 32;
    QTest::newRow("length empty") << "1000" << "64" << "1" << "" << c << 1000 << 64 << 1 << 32;
    QTest::newRow("length 20") << "1000" << "64" << "1" << "20" << c << 1000 << 64 << 1 << 32;
    QTest::newRow("length 31.9 leads below 32") << "1000" << "64" << "1" << "31.9" << c << 1000 << 64 << 1 << 32;
    QTest::newRow("length 100") << "1000" << "64" << "1" << "100" << c << 1000 << 64 << 1 << 100;
    QTest::newRow("length 125") << "1000" << "64" << "1" << "125" << c << 1000 << 64 << 1 << 125;
    QTest::newRow("length 126") << "1000" << "64" << "1" << "126" << c << 1000 << 64 << 1 << 126;
    QTest::newRow("length 127 is the whole filler") << "1000" << "64" << "1" << "127" << c << 1000 << 64 << 1 << 126;
    QTest::newRow("length 128") << "1000" << "64" << "1" << "128" << c << 1000 << 64 << 1 << 126;
    QTest::newRow("length 500") << "1000" << "64" << "1" << "500" << c << 1000 << 64 << 1 << 126;
    QTest::newRow("length 32.5 to even") << "1000" << "64" << "1" << "32.5" << c << 1000 << 64 << 1 << 32;
    QTest::newRow("length 33.5 to even") << "1000" << "64" << "1" << "33.5" << c << 1000 << 64 << 1 << 34;
    QTest::newRow("length blanks around") << "1000" << "64" << "1" << " 40 " << c << 1000 << 64 << 1 << 40;
    QTest::newRow("length 1,000 leads with 1") << "1000" << "64" << "1" << "1,000" << en << 1000 << 64 << 1 << 32;
    QTest::newRow("length 41,5 read in ru") << "1000" << "64" << "1" << "41,5" << ru << 1000 << 64 << 1 << 42;
    QTest::newRow("ttl 1") << "1000" << "1" << "1" << "32" << c << 1000 << 2 << 1 << 32;
    QTest::newRow("ttl 0") << "1000" << "0" << "1" << "32" << c << 1000 << 2 << 1 << 32;
    QTest::newRow("ttl -5") << "1000" << "-5" << "1" << "32" << c << 1000 << 2 << 1 << 32;
    QTest::newRow("ttl 2") << "1000" << "2" << "1" << "32" << c << 1000 << 2 << 1 << 32;
    QTest::newRow("ttl 64") << "1000" << "64" << "1" << "32" << c << 1000 << 64 << 1 << 32;
    QTest::newRow("ttl 300") << "1000" << "300" << "1" << "32" << c << 1000 << 255 << 1 << 32;
    QTest::newRow("ttl 255.4 leads above 255") << "1000" << "255.4" << "1" << "32" << c << 1000 << 255 << 1 << 32;
    QTest::newRow("ttl empty") << "1000" << "" << "1" << "32" << c << 1000 << 255 << 1 << 32;
    QTest::newRow("ttl not numeric") << "1000" << "abc" << "1" << "32" << c << 1000 << 255 << 1 << 32;
    QTest::newRow("ttl 12abc not numeric") << "1000" << "12abc" << "1" << "32" << c << 1000 << 255 << 1 << 32;
    QTest::newRow("ttl 2.5 to even") << "1000" << "2.5" << "1" << "32" << c << 1000 << 2 << 1 << 32;
    QTest::newRow("ttl 3,5 read in ru") << "1000" << "3,5" << "1" << "32" << ru << 1000 << 4 << 1 << 32;
    QTest::newRow("ttl 1,9 in ru leads with 1") << "1000" << "1,9" << "1" << "32" << ru << 1000 << 2 << 1 << 32;
    QTest::newRow("count 0") << "1000" << "64" << "0" << "32" << c << 1000 << 64 << 1 << 32;
    QTest::newRow("count empty") << "1000" << "64" << "" << "32" << c << 1000 << 64 << 1 << 32;
    QTest::newRow("count not numeric") << "1000" << "64" << "x" << "32" << c << 1000 << 64 << 1 << 32;
    QTest::newRow("count -3") << "1000" << "64" << "-3" << "32" << c << 1000 << 64 << 1 << 32;
    QTest::newRow("count 0.9 leads below 1") << "1000" << "64" << "0.9" << "32" << c << 1000 << 64 << 1 << 32;
    QTest::newRow("count 3") << "1000" << "64" << "3" << "32" << c << 1000 << 64 << 3 << 32;
    QTest::newRow("count 1.5 to even") << "1000" << "64" << "1.5" << "32" << c << 1000 << 64 << 2 << 32;
    QTest::newRow("count 2,5 read in ru") << "1000" << "64" << "2,5" << "32" << ru << 1000 << 64 << 2 << 32;
    QTest::newRow("wait blanks around") << " 250 " << "64" << "1" << "32" << c << 250 << 64 << 1 << 32;
    QTest::newRow("wait 2.5 to even") << "2.5" << "64" << "1" << "32" << c << 2 << 64 << 1 << 32;
    QTest::newRow("wait 1e3") << "1e3" << "64" << "1" << "32" << c << 1000 << 64 << 1 << 32;
    QTest::newRow("wait 32767") << "32767" << "64" << "1" << "32" << c << 32767 << 64 << 1 << 32;
    QTest::newRow("wait 1,5 read in ru") << "1,5" << "64" << "1" << "32" << ru << 2 << 64 << 1 << 32;
    QTest::newRow("wait with a point in ru") << "300.4" << "64" << "1" << "32" << ru << 300 << 64 << 1 << 32;
}

void TestEchoProber::parameters()
{
    QFETCH(QString, wait);
    QFETCH(QString, ttl);
    QFETCH(QString, count);
    QFETCH(QString, length);
    QFETCH(QLocale, locale);
    QFETCH(int, timeoutMs);
    QFETCH(int, wireTtl);
    QFETCH(int, echoes);
    QFETCH(int, payload);
    Harness h(locale);
    for (int i = 0; i < echoes; ++i) h.transport.answers << Answer{5, 0};
    const auto outcome = h.run(request(QStringLiteral("10.0.0.7"), wait, ttl, count, length));
    QVERIFY(outcome);
    QCOMPARE(outcome->error, QString());
    QCOMPARE(outcome->result, QStringLiteral("5"));
    QCOMPARE(h.transport.sent.size(), echoes);
    for (const EchoRequest& r : h.transport.sent) {
        QCOMPARE(r.address, ip("10.0.0.7"));
        QCOMPARE(int(r.ttl), wireTtl);
        QCOMPARE(r.timeoutMs, timeoutMs);
        QCOMPARE(r.payload.size(), payload);
        QCOMPARE(r.payload, echoFiller().left(payload));
    }
}

void TestEchoProber::failures_data()
{
    QTest::addColumn<ProbeRequest>("request");
    QTest::addColumn<QLocale>("locale");
    QTest::addColumn<QList<Answer>>("answers");
    QTest::addColumn<QString>("error");
    QTest::addColumn<int>("sent");
    const QString h = QStringLiteral("10.0.0.1");
    const QString longName = QString(65, u'a');
    QTest::newRow("wait not numeric") << request(h, "abc") << c << QList<Answer>()
                                      << "время ожидания \"abc\" не число" << 0;
    QTest::newRow("wait empty") << request(h, "") << c << QList<Answer>()
                                << "время ожидания \"\" не число" << 0;
    QTest::newRow("wait 40000") << request(h, "40000") << c << QList<Answer>()
                                << "время ожидания \"40000\" вне диапазона" << 0;
    QTest::newRow("wait -32769") << request(h, "-32769") << c << QList<Answer>()
                                 << "время ожидания \"-32769\" вне диапазона" << 0;
    QTest::newRow("wait 32767.5 rounds out") << request(h, "32767.5") << c << QList<Answer>()
                                             << "время ожидания \"32767.5\" вне диапазона" << 0;
    QTest::newRow("count 40000") << request(h, "1000", "255", "40000") << c << QList<Answer>()
                                 << "число запросов \"40000\" больше 32767" << 0;
    QTest::newRow("count 32768") << request(h, "1000", "255", "32768") << c << QList<Answer>()
                                 << "число запросов \"32768\" больше 32767" << 0;
    QTest::newRow("count is read before wait") << request(h, "abc", "255", "40000") << c
                                               << QList<Answer>() << "число запросов" << 0;
    QTest::newRow("count 1e-5 leads with 1, reads 0") << request(h, "1000", "255", "1e-5") << c
                                                      << QList<Answer>() << "до нуля" << 0;
    QTest::newRow("ttl 2,000 leads with 2, reads 2000") << request(h, "1000", "2,000") << en
                                                        << QList<Answer>() << "TTL" << 0;
    QTest::newRow("host over 64 characters") << request(longName) << c << QList<Answer>()
                                             << "длиннее 64 символов" << 0;
    QTest::newRow("host over 64 once trimmed") << request(" " + longName + " ") << c
                                               << QList<Answer>() << "длиннее 64 символов" << 0;
    QTest::newRow("sum beyond 32 bits") << request(h, "1000", "255", "2") << c
                                        << QList<Answer>{{std::numeric_limits<qint32>::max(), 0}, {1, 0}}
                                        << "32-битное" << 2;
}

void TestEchoProber::failures()
{
    QFETCH(ProbeRequest, request);
    QFETCH(QLocale, locale);
    QFETCH(QList<Answer>, answers);
    QFETCH(QString, error);
    QFETCH(int, sent);
    Harness h(locale);
    h.transport.answers = answers;
    const auto outcome = h.run(request);
    QVERIFY(outcome);
    QVERIFY(outcome->failed());
    QVERIFY2(outcome->error.contains(error), qPrintable(outcome->error));
    QCOMPARE(outcome->result, QString());
    QCOMPARE(h.transport.sent.size(), sent);
    QVERIFY(h.resolver.asked.isEmpty());
}

void TestEchoProber::emptyHost_data()
{
    QTest::addColumn<QString>("host");
    QTest::newRow("empty") << "";
    QTest::newRow("one blank") << " ";
    QTest::newRow("blanks") << "    ";
}

void TestEchoProber::emptyHost()
{
    QFETCH(QString, host);
    Harness h;
    // Nothing is read for an empty host, so texts that could not be converted do not matter.
    const auto outcome = h.run(request(host, "abc", "x", "40000", "y"));
    QVERIFY(outcome);
    QCOMPARE(outcome->result, QString());
    QCOMPARE(outcome->error, QString());
    QVERIFY(h.transport.sent.isEmpty());
    QVERIFY(h.resolver.asked.isEmpty());
}

void TestEchoProber::expiredWait_data()
{
    QTest::addColumn<QString>("wait");
    QTest::addColumn<QString>("count");
    QTest::newRow("0") << "0" << "1";
    QTest::newRow("00") << "00" << "1";
    QTest::newRow("0.4 rounds to 0") << "0.4" << "1";
    QTest::newRow("negative") << "-5" << "1";
    QTest::newRow("negative, three echoes") << "-32768" << "3";
}

void TestEchoProber::expiredWait()
{
    QFETCH(QString, wait);
    QFETCH(QString, count);
    Harness h;
    const auto outcome = h.run(request(QStringLiteral("10.0.0.1"), wait, "255", count));
    QVERIFY(outcome);
    QCOMPARE(outcome->error, QString());
    QCOMPARE(outcome->result, QStringLiteral("-1"));
    QVERIFY(h.transport.sent.isEmpty());
}

void TestEchoProber::resolution_data()
{
    QTest::addColumn<QString>("host");
    QTest::addColumn<QStringList>("asked");
    QTest::addColumn<QString>("destination");  // empty: nothing sent
    QTest::addColumn<QString>("result");
    const QString name64 = QString(60, u'n') + ".lan";
    QTest::newRow("dotted, blanks around") << "  10.0.0.1  " << QStringList() << "10.0.0.1" << "3";
    QTest::newRow("short form") << "127.1" << QStringList() << "127.0.0.1" << "3";
    QTest::newRow("name") << "router" << QStringList{"router"} << "10.1.2.3" << "3";
    QTest::newRow("name, blanks around") << "  router " << QStringList{"router"} << "10.1.2.3" << "3";
    QTest::newRow("64 characters") << name64 << QStringList{name64} << "10.9.9.9" << "3";
    QTest::newRow("tab is part of the text") << "\t10.0.0.1" << QStringList{"\t10.0.0.1"} << "" << "-1";
    QTest::newRow("unknown name") << "nowhere" << QStringList{"nowhere"} << "" << "-1";
    QTest::newRow("IPv6 text is looked up as a name") << "::1" << QStringList{"::1"} << "" << "-1";
}

void TestEchoProber::resolution()
{
    QFETCH(QString, host);
    QFETCH(QStringList, asked);
    QFETCH(QString, destination);
    QFETCH(QString, result);
    Harness h;
    h.resolver.names.insert(QStringLiteral("router"), ip("10.1.2.3"));
    h.resolver.names.insert(QString(60, u'n') + ".lan", ip("10.9.9.9"));
    h.transport.answers << Answer{3, 0};
    const auto outcome = h.run(request(host));
    QVERIFY(outcome);
    QCOMPARE(outcome->error, QString());
    QCOMPARE(outcome->result, result);
    QCOMPARE(h.resolver.asked, asked);
    if (destination.isEmpty()) {
        QVERIFY(h.transport.sent.isEmpty());
    } else {
        QCOMPARE(h.transport.sent.size(), 1);
        QCOMPARE(h.transport.sent[0].address, QHostAddress(destination).toIPv4Address());
    }
}

void TestEchoProber::unresolvedNameAfterAResolvedOne()
{
    // The destination of the previous probe must not be reused for a name that fails.
    Harness h;
    h.resolver.names.insert(QStringLiteral("router"), ip("10.1.2.3"));
    h.transport.answers << Answer{4, 0} << Answer{4, 0};
    QCOMPARE(h.run(request("router"))->result, QStringLiteral("4"));
    const auto second = h.run(request("gone"));
    QVERIFY(second);
    QCOMPARE(second->result, QStringLiteral("-1"));
    QCOMPARE(h.transport.sent.size(), 1);
}

void TestEchoProber::cancel_data()
{
    QTest::addColumn<ProbeRequest>("request");
    QTest::addColumn<bool>("echoCancelled");
    QTest::addColumn<bool>("lookupCancelled");
    QTest::newRow("empty host") << request("") << false << false;
    QTest::newRow("record that fails") << request("10.0.0.1", "abc") << false << false;
    QTest::newRow("echo out") << request("10.0.0.1") << true << false;
    QTest::newRow("name being looked up") << request("router") << false << true;
    QTest::newRow("expired wait") << request("10.0.0.1", "0") << false << false;
}

void TestEchoProber::cancel()
{
    QFETCH(ProbeRequest, request);
    QFETCH(bool, echoCancelled);
    QFETCH(bool, lookupCancelled);
    Harness h;
    h.resolver.names.insert(QStringLiteral("router"), ip("10.1.2.3"));
    h.transport.answers << Answer{1, 20};
    int calls = 0;
    const quint64 id = h.prober.start(request, [&](const ProbeOutcome&) { ++calls; });
    h.prober.cancel(id);
    QTest::qWait(60);
    QCOMPARE(calls, 0);
    QCOMPARE(h.transport.cancelled.size(), echoCancelled ? 1 : 0);
    QCOMPARE(h.resolver.cancelled.size(), lookupCancelled ? 1 : 0);
    h.prober.cancel(id);  // a second cancel of the same probe is harmless
}

void TestEchoProber::probesInFlightGetTheirOwnAnswers()
{
    Harness h;
    h.transport.answersFor[ip("10.0.0.1")] = {{40, 80}, {50, 10}};
    h.transport.answersFor[ip("10.0.0.2")] = {{5, 5}, {7, 5}};
    h.transport.answersFor[ip("10.0.0.3")] = {{std::nullopt, 30}, {std::nullopt, 30}};
    QStringList order;
    QHash<QString, QString> results;
    for (const char* host : {"10.0.0.1", "10.0.0.2", "10.0.0.3"}) {
        const QString hostText = QLatin1String(host);
        h.prober.start(request(hostText, "1000", "255", "2"), [&, hostText](const ProbeOutcome& o) {
            order << hostText;
            results.insert(hostText, o.result);
        });
    }
    QTRY_COMPARE(results.size(), 3);
    QCOMPARE(results.value("10.0.0.1"), QStringLiteral("45"));
    QCOMPARE(results.value("10.0.0.2"), QStringLiteral("6"));
    QCOMPARE(results.value("10.0.0.3"), QStringLiteral("-1"));
    QCOMPARE(order, (QStringList{"10.0.0.2", "10.0.0.3", "10.0.0.1"}));
}

void TestEchoProber::doneMayStartTheNextProbe()
{
    // A pass starts the next host's probe from the previous one's `done`.
    Harness h;
    h.transport.answers << Answer{1, 0} << Answer{2, 0} << Answer{3, 0};
    QStringList results;
    std::function<void(const ProbeOutcome&)> next = [&](const ProbeOutcome& o) {
        results << o.result;
        if (results.size() < 3) h.prober.start(request("10.0.0.1"), next);
    };
    h.prober.start(request("10.0.0.1"), next);
    QTRY_COMPARE(results.size(), 3);
    QCOMPARE(results, (QStringList{"1", "2", "3"}));
}

void TestEchoProber::destroyingTheProberForgetsItsEchoes()
{
    ScriptedTransport transport;
    ScriptedResolver resolver;
    transport.answers << Answer{1, 20};
    int calls = 0;
    {
        EchoProber prober(transport, resolver);
        prober.start(request("10.0.0.1"), [&](const ProbeOutcome&) { ++calls; });
        prober.start(request("router"), [&](const ProbeOutcome&) { ++calls; });
    }
    QTest::qWait(50);
    QCOMPARE(calls, 0);
    QCOMPARE(transport.cancelled.size(), 1);
    QCOMPARE(resolver.cancelled.size(), 1);
}

void TestEchoProber::filler()
{
    const QByteArray& f = echoFiller();
    QCOMPARE(f.size(), 126);
    QCOMPARE(f, f.left(21).repeated(6));
    for (char ch : f) QVERIFY(ch >= 0x21 && ch <= 0x7e);
}

QTEST_GUILESS_MAIN(TestEchoProber)
#include "tst_echoprober.moc"
