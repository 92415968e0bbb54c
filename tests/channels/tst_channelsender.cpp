// Channels against servers of the test's own on 127.0.0.1, in a private network namespace: a
// Bot API that floods, fails, hangs and refuses, a webhook receiver, TLS with and without the
// pinned certificate, a proxy from the environment, and two channels side by side.

#include "alerts/certificatepin.h"
#include "alerts/mailalert.h"
#include "channels/channeldispatcher.h"
#include "common/datetext.h"
#include "fakehttp.h"
#include "store/mailsettings.h"
#include "support/fakes.h"
#include "support/netns.h"
#include "support/testdb.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSslKey>
#include <QTemporaryDir>
#include <QTest>

using namespace sentrok;
using namespace std::chrono_literals;
using test::FakeHttp;
using Replies = QList<FakeHttp::Reply>;

Q_DECLARE_METATYPE(FakeHttp::Reply)

namespace {

const QString kToken = QStringLiteral("424242:SECRETsecretSECRETsecret_x");
const QDateTime kTime(QDate(2026, 12, 7), QTime(20, 7, 11));
constexpr ChannelTiming kFast{
    .requestTimeout = 3s, .firstBackoff = 50ms, .maxBackoff = 200ms, .retryWindow = 20s};

// Every Qt message and every word a sender said: none may hold a secret.
QStringList g_output;
QtMessageHandler g_shown = nullptr;
void keepMessage(QtMsgType type, const QMessageLogContext& context, const QString& text)
{
    g_output << text;
    g_shown(type, context, text);
}

ChannelSettings channelAt(ChannelKind kind, const QString& url, const QString& pin = {})
{
    ChannelSettings c;
    c.record.id = kind == ChannelKind::Telegram ? 1 : 2;
    c.record.kind = kind;
    c.record.name = kind == ChannelKind::Telegram ? "Дежурные" : "Mattermost";
    c.record.target = "-100";
    c.record.apiUrl = url;
    c.record.pin = pin;
    c.secret = kind == ChannelKind::Telegram ? kToken : url;
    return c;
}

ChannelMessage message(const QString& lines)
{
    return channelMessage(lines, kTime, "monitor", {}, {});
}

// A sender and what it said.
struct Run {
    ChannelSender sender;
    QStringList delivered, failed;
    explicit Run(const ChannelSettings& c, ChannelTiming timing = kFast) : sender(c, timing)
    {
        QObject::connect(&sender, &ChannelSender::delivered,
                         [this](const QString& w) { delivered << w; });
        QObject::connect(&sender, &ChannelSender::failed,
                         [this](const QString& t) { failed << t; });
    }
    ~Run() { g_output << delivered << failed; }
    bool done() const { return !delivered.isEmpty() || !failed.isEmpty(); }
};

QJsonObject json(const QByteArray& body) { return QJsonDocument::fromJson(body).object(); }

}  // namespace

class TestChannelSender : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void init() { g_output.clear(); }
    void cleanup();
    void botApi_data();
    void botApi();
    void longMessageInOrder();
    void fullQueueDropsTheOldestWaiting();
    void webhook();
    void certificates_data();
    void certificates();
    void proxyFromTheEnvironment_data();
    void proxyFromTheEnvironment();
    void textIsTheMailsBody();
    void hangingChannelDelaysNoOther();
    void testMessageTellsTheServersWords();

private:
    QTemporaryDir m_dir;
    QSslConfiguration m_tls;
    QString m_pin;
};

void TestChannelSender::initTestCase()
{
    if (const QString why = test::netnsUnavailable(); !why.isEmpty()) QSKIP(qPrintable(why));
    QLocale::setDefault(QLocale(QLocale::Russian, QLocale::Russia));
    g_shown = qInstallMessageHandler(keepMessage);
    const QString cert = m_dir.filePath("cert.pem"), key = m_dir.filePath("key.pem");
    QProcess openssl;
    openssl.start("openssl",
                  {"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                   "-nodes", "-keyout", key, "-out", cert, "-days", "2", "-subj", "/CN=127.0.0.1",
                   "-addext", "subjectAltName=IP:127.0.0.1"});
    QVERIFY2(openssl.waitForFinished(30000) && openssl.exitCode() == 0,
             "openssl could not make the test certificate");
    QFile k(key);
    QVERIFY(k.open(QIODevice::ReadOnly));
    m_tls = QSslConfiguration::defaultConfiguration();
    m_tls.setLocalCertificate(QSslCertificate::fromPath(cert).value(0));
    m_tls.setPrivateKey(QSslKey(k.readAll(), QSsl::Ec));
    QVERIFY(!m_tls.privateKey().isNull() && !m_tls.localCertificate().isNull());
    m_pin = certificatePin(m_tls.localCertificate());
}

void TestChannelSender::cleanup()
{
    for (const QString& line : std::as_const(g_output))
        QVERIFY2(!line.contains(kToken) && !line.contains("SECRET"), qPrintable(line));
}

void TestChannelSender::botApi_data()
{
    QTest::addColumn<Replies>("script");
    QTest::addColumn<int>("windowMs");
    QTest::addColumn<int>("requests");     // -1: a few
    QTest::addColumn<QString>("failure");  // empty: delivered
    QTest::addColumn<int>("gapMs");        // at least this between the first two requests
    const QByteArray flood =
        R"({"ok":false,"description":"Too Many Requests: retry after %1","parameters":{"retry_after":%1}})";
    QTest::newRow("200") << Replies{} << 20000 << 1 << "" << 0;
    QTest::newRow("429 with retry_after, then 200")
        << Replies{{429, QByteArray(flood).replace("%1", "1")}} << 20000 << 2 << "" << 950;
    QTest::newRow("429 with Retry-After, then 200")
        << Replies{{429, "", "Retry-After: 1\r\n"}} << 20000 << 2 << "" << 950;
    QTest::newRow("429 asking for no wait gets the back-off")
        << Replies{{429, "", "Retry-After: 0\r\n"}} << 20000 << 2 << "" << 45;
    QTest::newRow("503, then 200") << Replies{{503, "busy"}} << 20000 << 2 << "" << 45;
    QTest::newRow("no answer, then 200")
        << Replies{FakeHttp::Reply::hanging()} << 20000 << 2 << "" << 2900;
    QTest::newRow("400")
        << Replies{{400,
                    R"({"ok":false,"error_code":400,"description":"Bad Request: chat not found"})"}}
        << 20000 << 1 << "HTTP 400: Bad Request: chat not found" << 0;
    QTest::newRow("redirect, not followed")
        << Replies{{302, "", "Location: http://127.0.0.1:1/x\r\n"}} << 20000 << 1 << "HTTP 302"
        << 0;
    QTest::newRow("5xx six times, then 200")
        << (Replies(6, FakeHttp::Reply(502)) << FakeHttp::Reply()) << 20000 << 7 << "" << 45;
    QTest::newRow("5xx until the window ends")
        << Replies(200, FakeHttp::Reply(500, "{}")) << 600 << -1
        << "HTTP 500: {}; повторные попытки в течение 0.6 с не помогли" << 45;
    QTest::newRow("429 asking longer than the window")
        << Replies{{429, QByteArray(flood).replace("%1", "3600")}} << 20000 << 1
        << "Too Many Requests: retry after 3600" << 0;
}

void TestChannelSender::botApi()
{
    QFETCH(Replies, script);
    QFETCH(int, windowMs);
    QFETCH(int, requests);
    QFETCH(QString, failure);
    QFETCH(int, gapMs);
    FakeHttp server(script);
    ChannelTiming timing = kFast;
    timing.retryWindow = std::chrono::milliseconds(windowMs);
    Run run(channelAt(ChannelKind::Telegram, server.url()), timing);
    const ChannelMessage m = message("NO CONNECT\r\nСклад «Север» [192.0.2.7]\r\n\r\nCONNECT\r\n");
    run.sender.send(m);
    QVERIFY(server.seen.isEmpty());  // the caller only queued it
    QTRY_VERIFY_WITH_TIMEOUT(run.done(), 15000);
    QTest::qWait(300);  // nothing more goes out once a message is decided
    QCOMPARE(run.delivered.size(), failure.isEmpty() ? 1 : 0);
    QCOMPARE(run.failed.size(), failure.isEmpty() ? 0 : 1);
    if (!failure.isEmpty())
        QVERIFY2(run.failed[0].startsWith(
                     QStringLiteral(
                         "Сообщение в канал Telegram «Дежурные» (чат -100, %1) не доставлено: ")
                         .arg(server.url("/bot***/sendMessage"))) &&
                     run.failed[0].contains(failure),
                 qPrintable(run.failed[0]));
    QVERIFY(requests < 0 ? server.seen.size() >= 3 : server.seen.size() == requests);
    const auto gap = [&](int i) {
        return (server.seen[i + 1].steadyNs - server.seen[i].steadyNs) / 1'000'000;
    };
    if (gapMs) QVERIFY(gap(0) >= gapMs);
    if (requests == 7) {
        // The back-off doubles up to its ceiling of 200 ms: without one the waits would add up
        // to 3.15 s.
        QVERIFY(gap(1) >= 95 && gap(2) >= 195 && gap(3) >= 195);
        QVERIFY((server.seen[6].steadyNs - server.seen[0].steadyNs) / 1'000'000 < 2500);
    }
    for (const FakeHttp::Seen& s : std::as_const(server.seen)) {
        QCOMPARE(s.method + ' ' + s.target, "POST /bot" + kToken.toLatin1() + "/sendMessage");
        QCOMPARE(json(s.body),
                 (QJsonObject{
                     {"chat_id", "-100"}, {"text", m.text}, {"disable_web_page_preview", true}}));
    }
}

// Over 4,096 characters: several messages, cut between lines, each as full as whole lines allow;
// a part refused takes the rest of its message with it.
void TestChannelSender::longMessageInOrder()
{
    FakeHttp server(Replies(4) << FakeHttp::Reply(400, "{}"));
    Run run(channelAt(ChannelKind::Telegram, server.url()));
    QString lines = "NO CONNECT\r\n";
    for (int i = 0; i < 400; ++i)
        lines += QStringLiteral("  Коммутатор этажа %1 [192.0.2.%2]\r\n").arg(i).arg(i % 250);
    const ChannelMessage m = message(lines);
    run.sender.send(m);
    run.sender.send(m);
    QTRY_VERIFY_WITH_TIMEOUT(run.sender.waiting() == 0, 15000);
    QTest::qWait(300);
    QCOMPARE(run.delivered.size(), 4);
    QCOMPARE(run.failed.size(), 1);
    QCOMPARE(server.seen.size(), 5);
    QStringList texts;
    for (const FakeHttp::Seen& s : server.seen.first(4)) texts << json(s.body)["text"].toString();
    for (qsizetype i = 0; i + 1 < texts.size(); ++i)
        QVERIFY(texts[i].size() <= 4096 &&
                texts[i].size() + 1 + texts[i + 1].section('\n', 0, 0).size() > 4096);
    QCOMPARE(texts.join('\n'), m.text);
}

// A channel that is down for long keeps at most 50 messages: the one under way (here in two
// parts) stays, the next oldest goes, and the rest still arrive in order once the server answers.
void TestChannelSender::fullQueueDropsTheOldestWaiting()
{
    FakeHttp server({FakeHttp::Reply::hanging()});
    ChannelTiming timing = kFast;
    timing.requestTimeout = 60s;
    Run run(channelAt(ChannelKind::Telegram, server.url()), timing);
    QStringList expected{QString(3000, u'a'), QString(3000, u'b')};
    run.sender.send(message(expected.join("\r\n")));
    for (int i = 2; i <= ChannelSender::kMaxQueuedMessages; ++i)
        run.sender.send(message(QString::number(i)));
    QTRY_COMPARE(server.seen.size(), 1);
    QCOMPARE(run.failed.size(), 0);
    run.sender.send(message("51"));
    QCOMPARE(run.failed.size(), 1);
    QVERIFY(run.failed[0].endsWith("в очереди больше 50 сообщений, старейших не отправлено: 1"));
    QCOMPARE(run.sender.waiting(), ChannelSender::kMaxQueuedMessages + 1);
    server.release();
    QTRY_COMPARE_WITH_TIMEOUT(run.delivered.size(), 51, 30000);
    QStringList order;
    for (const FakeHttp::Seen& s : std::as_const(server.seen))
        order << json(s.body)["text"].toString().section('\n', -1);
    for (int i = 3; i <= 51; ++i) expected << QString::number(i);
    QCOMPARE(order, expected);
}

// The receiver's view: the secret path and query reach it as given, the JSON has every field with
// its type, the time its offset, the Cyrillic intact; a refusal repeating the URL shows none of it.
void TestChannelSender::webhook()
{
    FakeHttp server({{200, "ok"}, {404, "no hook at /hooks/SECRETpath?key=SECRETquery"}});
    Run run(channelAt(ChannelKind::Webhook, server.url("/hooks/SECRETpath?key=SECRETquery")));
    const QDateTime time(QDate(2026, 12, 7), QTime(20, 7, 11), Qt::OffsetFromUTC,
                         -(3 * 3600 + 1800));
    run.sender.send(channelMessage(
        "NO CONNECT\r\nРоутер [192.0.2.1]\r\n  Склад [192.0.2.7]\r\n\r\nCONNECT\r\n", time,
        "Пост-1", {{3, "192.0.2.1", "Роутер", 0}, {12, "192.0.2.7", "Склад", 3}}, {}));
    run.sender.send(message("x"));
    QTRY_COMPARE_WITH_TIMEOUT(run.failed.size(), 1, 15000);
    QCOMPARE(run.delivered, QStringList{"HTTP 200: ok"});
    QCOMPARE(server.seen[0].target, "/hooks/SECRETpath?key=SECRETquery");
    QVERIFY(server.seen[0].head.toLower().contains("\r\ncontent-type: application/json"));
    const QJsonObject o = json(server.seen[0].body);
    QCOMPARE(QStringList(o.keys()), (QStringList{"down", "monitor", "text", "time", "up"}));
    QCOMPARE(o["text"].toString(),
             generalDateText(time) +
                 ":  \nNO CONNECT\nРоутер [192.0.2.1]\n  Склад [192.0.2.7]\n\nCONNECT\n");
    QCOMPARE(o["time"].toString(), "2026-12-07T20:07:11-03:30");
    QCOMPARE(isoTimeWithOffset(time.toUTC()), "2026-12-07T23:37:11+00:00");
    QCOMPARE(o["monitor"].toString(), "Пост-1");
    QVERIFY(o["up"].isArray() && o["up"].toArray().isEmpty());
    QCOMPARE(o["down"].toArray(), (QJsonArray{QJsonObject{{"id", 3},
                                                          {"address", "192.0.2.1"},
                                                          {"description", "Роутер"},
                                                          {"ancestor", QJsonValue::Null}},
                                              QJsonObject{{"id", 12},
                                                          {"address", "192.0.2.7"},
                                                          {"description", "Склад"},
                                                          {"ancestor", 3}}}));
    QCOMPARE(
        run.failed[0],
        QStringLiteral(
            "Сообщение в канал webhook «Mattermost» (%1) не доставлено: HTTP 404: no hook at ***")
            .arg(server.url("/***")));
}

void TestChannelSender::certificates_data()
{
    QTest::addColumn<bool>("trusted");  // the certificate passes the system's check
    QTest::addColumn<QString>("pin");   // "ours": the server's own
    QTest::addColumn<QString>("failure");
    QTest::newRow("self-signed, pinned") << false << "ours"
                                         << "";
    QTest::newRow("self-signed, not pinned") << false << ""
                                             << "не прошёл проверку";
    QTest::newRow("self-signed, pinned to another") << false << QString(64, u'b') << "не совпадает";
    QTest::newRow("trusted, not pinned") << true << ""
                                         << "";
    QTest::newRow("trusted, pinned to another") << true << QString(64, u'b') << "не совпадает";
}

// A certificate that is refused is refused before the request (and its token) goes out.
void TestChannelSender::certificates()
{
    QFETCH(bool, trusted);
    QFETCH(QString, pin);
    QFETCH(QString, failure);
    const QSslConfiguration saved = QSslConfiguration::defaultConfiguration();
    QSslConfiguration trusting = saved;
    trusting.addCaCertificate(m_tls.localCertificate());
    if (trusted) QSslConfiguration::setDefaultConfiguration(trusting);
    FakeHttp server({}, m_tls);
    Run run(channelAt(ChannelKind::Telegram, server.url(), pin == "ours" ? m_pin : pin));
    run.sender.send(message("x"));
    QTRY_VERIFY_WITH_TIMEOUT(run.done(), 15000);
    QSslConfiguration::setDefaultConfiguration(saved);
    QVERIFY(server.connections >= 1);
    QCOMPARE(server.seen.size(), failure.isEmpty() ? 1 : 0);
    QCOMPARE(run.failed.size(), failure.isEmpty() ? 0 : 1);
    if (!failure.isEmpty())
        QVERIFY2(run.failed[0].contains(failure) && run.failed[0].contains(pinForDisplay(m_pin)),
                 qPrintable(run.failed[0]));
}

void TestChannelSender::proxyFromTheEnvironment_data()
{
    QTest::addColumn<QByteArray>("noProxy");
    QTest::newRow("through the proxy") << QByteArray();
    QTest::newRow("no_proxy names the server") << QByteArray("127.0.0.2");
}

// Nothing listens at the Bot API's address: only the proxy can take the message.
void TestChannelSender::proxyFromTheEnvironment()
{
    QFETCH(QByteArray, noProxy);
    FakeHttp proxy;
    qputenv("http_proxy", proxy.url().toLatin1());
    qputenv("no_proxy", noProxy);
    ChannelTiming timing = kFast;
    timing.retryWindow = 0ms;
    Run run(channelAt(ChannelKind::Telegram, "http://127.0.0.2:9"), timing);
    run.sender.send(message("x"));
    QTRY_VERIFY_WITH_TIMEOUT(run.done(), 15000);
    qunsetenv("http_proxy");
    qunsetenv("no_proxy");
    if (noProxy.isEmpty()) {
        QCOMPARE(run.delivered.size(), 1);
        QCOMPARE(proxy.seen.value(0).target,
                 "http://127.0.0.2:9/bot" + kToken.toLatin1() + "/sendMessage");
    } else {
        QVERIFY(proxy.seen.isEmpty());
        QVERIFY2(run.failed.value(0).contains("сервер отказал в соединении"),
                 qPrintable(run.failed.value(0)));
    }
}

// The lines, the grouping and the date line are the alert mail's own.
void TestChannelSender::textIsTheMailsBody()
{
    test::TestFolder folder;
    test::FakeMessageBoxes boxes;
    test::FakeClock clock(kTime);
    MailAlert mail(folder.db(), boxes, clock, 9);
    mail.setShowErrors(false);
    const QString alert =
        "NO CONNECT\r\nРоутер [192.0.2.1]\r\n  Склад [192.0.2.2]\r\nШлюз (всё ещё нет связи)\r\n"
        "  Касса [192.0.2.9]\r\n\r\nCONNECT\r\nПринтер [192.0.2.3]\r\n";
    RecipientRow row;
    row.smtp = "127.0.0.1";
    row.from = "a@example.org";
    row.email = "b@example.org";
    mail.sendWith(row, alert);
    QCOMPARE(message(alert).text.split('\n'), mail.body().split("\r\n"));
}

// One channel hangs: the other still gets its message, and the failure comes back on the
// caller's thread with the channel it belongs to.
void TestChannelSender::hangingChannelDelaysNoOther()
{
    FakeHttp hanging({FakeHttp::Reply::hanging(), {400, "{}"}}), fine;
    ChannelTiming timing = kFast;
    timing.requestTimeout = 60s;
    ChannelDispatcher dispatcher(timing);
    ChannelSettings slow = channelAt(ChannelKind::Telegram, hanging.url()),
                    quick = channelAt(ChannelKind::Telegram, fine.url());
    quick.record.id = 2;
    dispatcher.setChannels({slow, quick});
    QList<qint64> delivered, failed;
    connect(&dispatcher, &ChannelDispatcher::delivered, this, [&](qint64 id) {
        QCOMPARE(QThread::currentThread(), thread());
        delivered << id;
    });
    connect(&dispatcher, &ChannelDispatcher::failed, this, [&](qint64 id) { failed << id; });
    dispatcher.send(message("first"));
    QTRY_COMPARE_WITH_TIMEOUT(delivered, QList<qint64>{2}, 15000);
    QCOMPARE(hanging.seen.size(), 1);
    // Given again unchanged, the hanging channel keeps the request it has under way.
    dispatcher.setChannels({slow, quick});
    QTest::qWait(100);
    hanging.release();
    QTRY_COMPARE_WITH_TIMEOUT(delivered, (QList<qint64>{2, 1}), 15000);
    dispatcher.send(message("second"));
    QTRY_COMPARE_WITH_TIMEOUT(failed, QList<qint64>{1}, 15000);
    QTRY_COMPARE(delivered, (QList<qint64>{2, 1, 2}));
}

// The channel's test: one try, and whatever the server said handed back.
void TestChannelSender::testMessageTellsTheServersWords()
{
    FakeHttp server({{429, "", "Retry-After: 1\r\n"}});
    QList<ChannelTestOutcome> got;
    for (int i = 0; i < 2; ++i) {
        testChannel(channelAt(ChannelKind::Telegram, server.url()), "Пост-1", this,
                    [&](const ChannelTestOutcome& o) { got << o; });
        QTRY_COMPARE(got.size(), i + 1);
    }
    g_output << got[0].words << got[1].words;
    QVERIFY2(!got[0].delivered &&
                 got[0].words.endsWith("HTTP 429; повторные попытки в течение 0 с не помогли"),
             qPrintable(got[0].words));
    QVERIFY(got[1].delivered);
    QCOMPARE(got[1].words, R"(HTTP 200: {"ok":true})");
    QCOMPARE(server.seen.size(), 2);
    QCOMPARE(json(server.seen[1].body)["text"].toString().section(":  \n", 1), kChannelTestText);
}

QTEST_GUILESS_MAIN(TestChannelSender)
#include "tst_channelsender.moc"
