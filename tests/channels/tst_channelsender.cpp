// Channels against servers of the test's own on 127.0.0.1, in a private network namespace: a
// Bot API that floods, fails, hangs and refuses, a webhook receiver, TLS with and without the
// pinned certificate, a proxy from the environment, and two channels side by side.

#include "alerts/certificatepin.h"
#include "alerts/mailalert.h"
#include "channels/channeldispatcher.h"
#include "channels/channelsender.h"
#include "fakehttp.h"
#include "support/fakes.h"
#include "support/netns.h"
#include "store/mailsettings.h"
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

Q_DECLARE_METATYPE(FakeHttp::Reply)

namespace {

const QString kToken = QStringLiteral("424242:SECRETsecretSECRETsecret_x");
const QDateTime kTime(QDate(2026, 12, 7), QTime(20, 7, 11));
constexpr ChannelTiming kFast{.requestTimeout = 3s, .firstBackoff = 50ms, .maxBackoff = 200ms, .retryWindow = 20s};

// Everything a sender said, and every Qt message meanwhile: none may hold a secret.
QStringList g_output;
QtMessageHandler g_shown = nullptr;
void keepMessage(QtMsgType type, const QMessageLogContext& context, const QString& text)
{
    g_output << text;
    g_shown(type, context, text);
}

ChannelSettings channelAt(ChannelKind kind, const QString& name, const QString& secret)
{
    ChannelSettings c;
    c.record.id = kind == ChannelKind::Telegram ? 1 : 2;
    c.record.kind = kind;
    c.record.name = name;
    c.secret = secret;
    return c;
}

ChannelSettings telegramAt(const QString& api, const QString& pin = {})
{
    ChannelSettings c = channelAt(ChannelKind::Telegram, "Дежурные", kToken);
    c.record.target = "-100";
    c.record.apiUrl = api;
    c.record.pin = pin;
    return c;
}

ChannelMessage message(const QString& lines)
{
    return channelMessage(lines, kTime, QStringLiteral("monitor"), {}, {});
}

struct Watch {
    QStringList delivered, failed;
    explicit Watch(ChannelSender& s)
    {
        QObject::connect(&s, &ChannelSender::delivered, &s, [this](const QString& w) { delivered << w; g_output << w; });
        QObject::connect(&s, &ChannelSender::failed, &s, [this](const QString& t) { failed << t; g_output << t; });
    }
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
    openssl.start("openssl", {"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
                              "-keyout", key, "-out", cert, "-days", "2", "-subj", "/CN=127.0.0.1",
                              "-addext", "subjectAltName=IP:127.0.0.1"});
    QVERIFY2(openssl.waitForFinished(30000) && openssl.exitCode() == 0, "openssl could not make the test certificate");
    m_tls = QSslConfiguration::defaultConfiguration();
    m_tls.setLocalCertificate(QSslCertificate::fromPath(cert).value(0));
    QFile k(key);
    QVERIFY(k.open(QIODevice::ReadOnly));
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
    QTest::addColumn<QList<FakeHttp::Reply>>("script");
    QTest::addColumn<int>("windowMs");
    QTest::addColumn<int>("requests");
    QTest::addColumn<QString>("failure");  // empty: delivered
    QTest::addColumn<int>("gapMs");        // at least this between the first two requests
    const QByteArray flood = R"({"ok":false,"error_code":429,"description":"Too Many Requests: retry after %1","parameters":{"retry_after":%1}})";
    const FakeHttp::Reply err500(500, "{}");
    QTest::newRow("200") << QList<FakeHttp::Reply>{} << 20000 << 1 << "" << 0;
    QTest::newRow("429 with retry_after, then 200") << QList<FakeHttp::Reply>{{429, QByteArray(flood).replace("%1", "1")}}
                                                    << 20000 << 2 << "" << 950;
    QTest::newRow("429 with Retry-After, then 200") << QList<FakeHttp::Reply>{{429, "", "Retry-After: 1\r\n"}} << 20000 << 2 << "" << 950;
    QTest::newRow("429 that asks for no wait") << QList<FakeHttp::Reply>{{429, "", "Retry-After: 0\r\n"}} << 20000 << 2 << "" << 45;
    QTest::newRow("503, then 200") << QList<FakeHttp::Reply>{{503, "busy"}} << 20000 << 2 << "" << 45;
    QTest::newRow("no answer, then 200") << QList<FakeHttp::Reply>{FakeHttp::Reply::hanging()} << 20000 << 2 << "" << 2900;
    QTest::newRow("400") << QList<FakeHttp::Reply>{{400, R"({"ok":false,"error_code":400,"description":"Bad Request: chat not found"})"}}
                         << 20000 << 1 << "HTTP 400: Bad Request: chat not found" << 0;
    QTest::newRow("redirect, not followed") << QList<FakeHttp::Reply>{{302, "", "Location: http://127.0.0.1:1/x\r\n"}}
                                            << 20000 << 1 << "HTTP 302" << 0;
    QTest::newRow("5xx until the window ends") << QList<FakeHttp::Reply>(200, err500) << 600 << -1
                                               << "HTTP 500: {}; повторные попытки в течение 0.6 с не помогли" << 45;
    QTest::newRow("429 asking longer than the window") << QList<FakeHttp::Reply>{{429, QByteArray(flood).replace("%1", "3600")}}
                                                       << 20000 << 1 << "Too Many Requests: retry after 3600" << 0;
}

void TestChannelSender::botApi()
{
    QFETCH(QList<FakeHttp::Reply>, script);
    QFETCH(int, windowMs);
    QFETCH(int, requests);
    QFETCH(QString, failure);
    QFETCH(int, gapMs);
    FakeHttp server(script);
    ChannelTiming timing = kFast;
    timing.retryWindow = std::chrono::milliseconds(windowMs);
    ChannelSender sender(telegramAt(server.url()), timing);
    Watch watch(sender);
    sender.send(message("NO CONNECT\r\nСклад «Север» [192.0.2.7]\r\n\r\nCONNECT\r\n"));
    QVERIFY(server.seen.isEmpty());  // the caller only queued it
    QTRY_VERIFY_WITH_TIMEOUT(watch.done(), 15000);
    QTest::qWait(300);  // nothing more goes out once a message is decided
    QCOMPARE(watch.failed.size(), failure.isEmpty() ? 0 : 1);
    QCOMPARE(watch.delivered.size(), failure.isEmpty() ? 1 : 0);
    if (!failure.isEmpty()) {
        QVERIFY2(watch.failed[0].contains(failure), qPrintable(watch.failed[0]));
        QVERIFY(watch.failed[0].contains("«Дежурные»") && watch.failed[0].contains(server.url("/bot***/sendMessage")));
    }
    if (requests > 0) QCOMPARE(server.seen.size(), requests);
    else QVERIFY(server.seen.size() >= 3);
    if (gapMs) QVERIFY2(server.seen[1].ms - server.seen[0].ms >= gapMs, qPrintable(QString::number(server.seen[1].ms - server.seen[0].ms)));
    for (const FakeHttp::Seen& s : std::as_const(server.seen)) {
        QCOMPARE(s.method, QByteArray("POST"));
        QCOMPARE(s.target, "/bot" + kToken.toLatin1() + "/sendMessage");
        QCOMPARE(json(s.body), (QJsonObject{{"chat_id", "-100"}, {"text", message("NO CONNECT\r\nСклад «Север» [192.0.2.7]\r\n\r\nCONNECT\r\n").text},
                                            {"disable_web_page_preview", true}}));
    }
}

// Over 4,096 characters: several messages, cut between lines, each within the limit, in order.
void TestChannelSender::longMessageInOrder()
{
    FakeHttp server;
    ChannelSender sender(telegramAt(server.url()), kFast);
    Watch watch(sender);
    QString lines = "NO CONNECT\r\n";
    for (int i = 0; i < 400; ++i) lines += QStringLiteral("  Коммутатор этажа %1 [192.0.2.%2]\r\n").arg(i).arg(i % 250);
    const ChannelMessage m = message(lines);
    sender.send(m);
    QTRY_VERIFY_WITH_TIMEOUT(sender.waiting() == 0, 15000);
    QVERIFY(watch.failed.isEmpty());
    QCOMPARE(server.seen.size(), watch.delivered.size());
    QStringList texts;
    for (const FakeHttp::Seen& s : std::as_const(server.seen)) texts << json(s.body)["text"].toString();
    QCOMPARE(texts.size(), 4);
    // Each as full as whole lines allow: the next line would not have fitted.
    for (qsizetype i = 0; i < texts.size(); ++i)
        QVERIFY(texts[i].size() <= 4096 && (i == texts.size() - 1 || texts[i].size() + 1 + texts[i + 1].section('\n', 0, 0).size() > 4096));
    QCOMPARE(texts.join('\n'), m.text);
}

// A channel that is down for long keeps at most 50 messages: the one under way stays, the next
// oldest goes, and the rest still arrive in order once the server answers.
void TestChannelSender::fullQueueDropsTheOldestWaiting()
{
    FakeHttp server({FakeHttp::Reply::hanging()});
    ChannelTiming timing = kFast;
    timing.requestTimeout = 60s;
    ChannelSender sender(telegramAt(server.url()), timing);
    Watch watch(sender);
    for (int i = 1; i <= ChannelSender::kMaxQueuedMessages; ++i) sender.send(message(QString::number(i)));
    QTRY_COMPARE(server.seen.size(), 1);
    QCOMPARE(watch.failed.size(), 0);
    QCOMPARE(sender.waiting(), ChannelSender::kMaxQueuedMessages);
    sender.send(message("51"));
    QCOMPARE(watch.failed.size(), 1);
    QVERIFY(watch.failed[0].contains("старейших не отправлено: 1"));
    QCOMPARE(sender.waiting(), ChannelSender::kMaxQueuedMessages);
    server.release();
    QTRY_COMPARE_WITH_TIMEOUT(watch.delivered.size(), 50, 30000);
    QStringList order;
    for (const FakeHttp::Seen& s : std::as_const(server.seen)) order << json(s.body)["text"].toString().section('\n', 1);
    QStringList expected{"1"};
    for (int i = 3; i <= 51; ++i) expected << QString::number(i);
    QCOMPARE(order, expected);
}

void TestChannelSender::webhook()
{
    FakeHttp server({{200, "ok"}, {404, "no hook at /hooks/SECRETpath?key=SECRETquery"}});
    const ChannelSettings hook = channelAt(ChannelKind::Webhook, "Mattermost", server.url("/hooks/SECRETpath?key=SECRETquery"));
    ChannelSender sender(hook, kFast);
    Watch watch(sender);
    const QDateTime time(QDate(2026, 12, 7), QTime(20, 7, 11), Qt::OffsetFromUTC, 5 * 3600 + 1800);
    sender.send(channelMessage("NO CONNECT\r\n  Склад [192.0.2.7]\r\n\r\nCONNECT\r\n", time, "Пост-1",
                               {{12, "192.0.2.7", "Склад", 3}}, {}));
    sender.send(message("x"));
    QTRY_COMPARE_WITH_TIMEOUT(watch.failed.size(), 1, 15000);
    QCOMPARE(watch.delivered, QStringList{"HTTP 200: ok"});
    QCOMPARE(server.seen[0].target, "/hooks/SECRETpath?key=SECRETquery");
    QVERIFY(server.seen[0].headers.toLower().contains("content-type: application/json"));
    const QJsonObject o = json(server.seen[0].body);
    QCOMPARE(o["time"].toString(), "2026-12-07T20:07:11+05:30");
    QCOMPARE(o["monitor"].toString(), "Пост-1");
    QVERIFY(o["text"].toString().endsWith("NO CONNECT\n  Склад [192.0.2.7]\n\nCONNECT\n"));
    const QJsonObject host = o["down"].toArray().at(0).toObject();
    QVERIFY(host["id"].isDouble() && host["ancestor"].isDouble() && host["address"].isString());
    QCOMPARE(host["description"].toString(), "Склад");
    QCOMPARE(watch.failed[0], QStringLiteral("Сообщение в канал webhook «Mattermost» (%1) не доставлено: HTTP 404: no hook at ***")
                                  .arg(server.url("/***")));
}

void TestChannelSender::certificates_data()
{
    QTest::addColumn<bool>("trusted");  // the certificate passes the system's check
    QTest::addColumn<QString>("pin");   // "ours": the server's own
    QTest::addColumn<QString>("failure");
    QTest::newRow("self-signed, pinned") << false << "ours" << "";
    QTest::newRow("self-signed, not pinned") << false << "" << "не прошёл проверку";
    QTest::newRow("self-signed, pinned to another") << false << QString(64, u'b') << "не совпадает";
    QTest::newRow("trusted, not pinned") << true << "" << "";
    QTest::newRow("trusted, pinned to another") << true << QString(64, u'b') << "не совпадает";
}

// A certificate that is refused is refused before the request (and its token) goes out.
void TestChannelSender::certificates()
{
    QFETCH(bool, trusted);
    QFETCH(QString, pin);
    QFETCH(QString, failure);
    const QSslConfiguration saved = QSslConfiguration::defaultConfiguration();
    if (trusted) {
        QSslConfiguration c = saved;
        c.addCaCertificate(m_tls.localCertificate());
        QSslConfiguration::setDefaultConfiguration(c);
    }
    FakeHttp server({}, m_tls);
    ChannelSender sender(telegramAt(server.url(), pin == "ours" ? m_pin : pin), kFast);
    Watch watch(sender);
    sender.send(message("x"));
    QTRY_VERIFY_WITH_TIMEOUT(watch.done(), 15000);
    QSslConfiguration::setDefaultConfiguration(saved);
    QVERIFY(server.connections >= 1);
    QCOMPARE(server.seen.size(), failure.isEmpty() ? 1 : 0);
    QCOMPARE(watch.failed.isEmpty(), failure.isEmpty());
    if (!failure.isEmpty()) {
        QVERIFY2(watch.failed[0].contains(failure), qPrintable(watch.failed[0]));
        QVERIFY(watch.failed[0].contains(pinForDisplay(m_pin)));
    }
}

void TestChannelSender::proxyFromTheEnvironment_data()
{
    QTest::addColumn<QByteArray>("noProxy");
    QTest::addColumn<bool>("viaProxy");
    QTest::newRow("through the proxy") << QByteArray() << true;
    QTest::newRow("no_proxy names the server") << QByteArray("127.0.0.2") << false;
}

// Nothing listens at the Bot API's address: only a proxy can deliver.
void TestChannelSender::proxyFromTheEnvironment()
{
    QFETCH(QByteArray, noProxy);
    QFETCH(bool, viaProxy);
    FakeHttp proxy;
    qputenv("http_proxy", proxy.url().toLatin1());
    qputenv("no_proxy", noProxy);
    ChannelTiming timing = kFast;
    timing.retryWindow = 0ms;
    ChannelSender sender(telegramAt("http://127.0.0.2:9"), timing);
    Watch watch(sender);
    sender.send(message("x"));
    QTRY_VERIFY_WITH_TIMEOUT(watch.done(), 15000);
    qunsetenv("http_proxy");
    qunsetenv("no_proxy");
    QCOMPARE(watch.delivered.size(), viaProxy ? 1 : 0);
    QCOMPARE(proxy.seen.size(), viaProxy ? 1 : 0);
    if (viaProxy) QCOMPARE(proxy.seen[0].target, "http://127.0.0.2:9/bot" + kToken.toLatin1() + "/sendMessage");
    else QVERIFY2(watch.failed[0].contains("сервер отказал в соединении"), qPrintable(watch.failed[0]));
}

// The lines, the grouping and the date line are the alert mail's own.
void TestChannelSender::textIsTheMailsBody()
{
    test::TestFolder folder;
    test::FakeMessageBoxes boxes;
    test::FakeClock clock(kTime);
    MailAlert mail(folder.db(), boxes, clock, 9);
    mail.setShowErrors(false);
    const QString alert = "NO CONNECT\r\nРоутер [192.0.2.1]\r\n  Склад [192.0.2.2]\r\nШлюз (всё ещё нет связи)\r\n"
                          "  Касса [192.0.2.9]\r\n\r\nCONNECT\r\nПринтер [192.0.2.3]\r\n";
    RecipientRow row;
    row.smtp = "127.0.0.1";
    row.from = "a@example.org";
    row.email = "b@example.org";
    mail.sendWith(row, alert);
    QCOMPARE(message(alert).text.split('\n'), mail.body().split("\r\n"));
}

// One channel hangs: the other still gets its message, the hand-over returns at once, and the
// failure comes back on the caller's thread with the channel it belongs to.
void TestChannelSender::hangingChannelDelaysNoOther()
{
    FakeHttp hanging({FakeHttp::Reply::hanging(), {400, "{}"}}), fine;
    ChannelTiming timing = kFast;
    timing.requestTimeout = 60s;
    timing.retryWindow = 0ms;
    ChannelDispatcher dispatcher(timing);
    ChannelSettings slow = telegramAt(hanging.url()), quick = telegramAt(fine.url());
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
    QVERIFY(failed.isEmpty());  // still waiting for the hanging server
    // Given again unchanged, the hanging channel keeps the request it has under way.
    dispatcher.setChannels({slow, quick});
    QTest::qWait(100);
    hanging.release();
    QTRY_COMPARE_WITH_TIMEOUT(delivered, (QList<qint64>{2, 1}), 15000);
    dispatcher.send(message("second"));
    QTRY_COMPARE_WITH_TIMEOUT(failed, QList<qint64>{1}, 15000);
    QCOMPARE(delivered, (QList<qint64>{2, 1, 2}));
}

QTEST_GUILESS_MAIN(TestChannelSender)
#include "tst_channelsender.moc"
