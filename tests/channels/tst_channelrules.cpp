// The channels' rules without a network: Telegram's split, what each answer means, the words a
// server may put in a report, what `channel add` accepts and what reaches the database.

#include "channels/channelreports.h"
#include "channels/channelsecrets.h"
#include "channels/channelwire.h"
#include "secrets/secretstore.h"
#include "support/fakes.h"

#include <QTemporaryDir>
#include <QTest>

using namespace sentrok;
using Kind = ReplyVerdict::Kind;

Q_DECLARE_METATYPE(HttpAnswer)

namespace {

const QString kToken = QStringLiteral("123456:ABCdef_ghi-JKLmnoPQRstu");

ChannelSettings telegram(const QString& name = QStringLiteral("Дежурные"))
{
    QString error;
    auto input =
        parseChannelAdd({"telegram", "--chat", "-100", "--token-stdin", "--name", name}, &error);
    return *makeChannel(*input, kToken, &error);
}

}  // namespace

class TestChannelRules : public QObject {
    Q_OBJECT
private slots:
    void split_data();
    void split();
    void verdict_data();
    void verdict();
    void secretsMaskedBeforeTheCut();
    void channelAdd_data();
    void channelAdd();
    void secretsKeptApart();
    void oneBoxAtATime();
};

void TestChannelRules::split_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QStringList>("parts");
    const QString ten(10, u'a'), eleven(11, u'b');
    const QString pair = QString::fromUtf16(u"\U0001F600");  // two code units
    QTest::newRow("lines up to the limit stay together")
        << "abcd\nefghi" << QStringList{"abcd\nefghi"};
    QTest::newRow("one character more: cut between the lines")
        << "abcd\nefghij" << QStringList{"abcd", "efghij"};
    QTest::newRow("a line of the limit") << ten << QStringList{ten};
    QTest::newRow("a line over the limit is cut")
        << eleven + "\nc" << QStringList{QString(10, u'b'), "b\nc"};
    QTest::newRow("never inside a surrogate pair")
        << QString(9, u'a') + pair + "z" << QStringList{QString(9, u'a'), pair + "z"};
    QTest::newRow("a pair that ends at the limit stays")
        << QString(8, u'a') + pair + "z" << QStringList{QString(8, u'a') + pair, "z"};
    QTest::newRow("blank parts left out")
        << "abc\n" + QString(12, u' ') + "\n\nd" << QStringList{"abc", "  \n\nd"};
    QTest::newRow("nothing to send") << "\n \n" << QStringList{};
}

// Cut at 10 here; the real limit of 4,096 is met on the wire (TestChannelSender).
void TestChannelRules::split()
{
    QFETCH(QString, text);
    QFETCH(QStringList, parts);
    QCOMPARE(splitForTelegram(text, 10), parts);
}

void TestChannelRules::verdict_data()
{
    QTest::addColumn<HttpAnswer>("answer");
    QTest::addColumn<int>("kind");
    QTest::addColumn<int>("wait");  // -1: none said
    QTest::addColumn<QString>("words");
    const auto row = [](int status, const QByteArray& body = {},
                        const QByteArray& retryAfter = {}) -> QTestData& {
        return QTest::addRow("%d %s %s", status, body.left(40).constData(), retryAfter.constData())
               << HttpAnswer{status, body, retryAfter};
    };
    const QByteArray flood =
        R"({"ok":false,"description":"Too Many Requests: retry after 7","parameters":{"retry_after":7}})";
    row(199) << int(Kind::GiveUp) << -1 << "HTTP 199";
    row(200, R"({"ok":true})") << int(Kind::Delivered) << -1 << R"(HTTP 200: {"ok":true})";
    row(299) << int(Kind::Delivered) << -1 << "HTTP 299";
    row(300) << int(Kind::GiveUp) << -1 << "HTTP 300";  // redirects are not followed
    row(400, R"({"ok":false,"description":"Bad Request: chat not found"})")
        << int(Kind::GiveUp) << -1 << "HTTP 400: Bad Request: chat not found";
    row(428) << int(Kind::GiveUp) << -1 << "HTTP 428";
    row(429, flood, "99") << int(Kind::Wait) << 7
                          << "HTTP 429: Too Many Requests: retry after 7";  // Telegram's first
    row(429, {}, " 12 ") << int(Kind::Wait) << 12 << "HTTP 429";
    row(429, {}, "Mon, 07 Dec 2026 17:08:41 GMT") << int(Kind::Wait) << 90 << "HTTP 429";
    row(429, {}, "604800") << int(Kind::Wait) << 604800 << "HTTP 429";  // a week
    row(429, {}, "604801") << int(Kind::Wait) << -1 << "HTTP 429";      // past it: garbage
    row(429, R"({"parameters":{"retry_after":-1}})")
        << int(Kind::Wait) << -1 << R"(HTTP 429: {"parameters":{"retry_after":-1}})";
    row(430) << int(Kind::GiveUp) << -1 << "HTTP 430";
    row(499) << int(Kind::GiveUp) << -1 << "HTTP 499";
    row(500, "oops\r\n\x1b[2Jmore") << int(Kind::Retry) << -1 << "HTTP 500: oops \\x1b[2Jmore";
    row(599) << int(Kind::Retry) << -1 << "HTTP 599";
    row(600) << int(Kind::GiveUp) << -1 << "HTTP 600";
}

void TestChannelRules::verdict()
{
    QFETCH(HttpAnswer, answer);
    QFETCH(int, kind);
    QFETCH(int, wait);
    QFETCH(QString, words);
    const ReplyVerdict v =
        judgeReply(answer, QDateTime(QDate(2026, 12, 7), QTime(17, 7, 11), Qt::UTC), {});
    QCOMPARE(int(v.kind), kind);
    QCOMPARE(v.wait ? int(v.wait->count()) : -1, wait);
    QCOMPARE(v.words, words);
}

// A server that repeats the request's address in its answer: the secret goes however it came
// back, even where the cut to a readable length would have left half of it.
void TestChannelRules::secretsMaskedBeforeTheCut()
{
    const QString secret = QStringLiteral("hooks/s3cr3t:x");
    const QString cut = serverWords(QByteArray(290, 'x') + " /hooks/s3cr3t:x", {secret});
    QVERIFY2(!cut.contains("hooks/s3"), qPrintable(cut));
    QCOMPARE(serverWords("a hooks%2Fs3cr3t%3Ax b hooks\\/s3cr3t:x c", {secret}), "a *** b *** c");
}

void TestChannelRules::channelAdd_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("line");     // standard input
    QTest::addColumn<QString>("refusal");  // empty: taken
    QTest::addColumn<QString>("target");
    QTest::addColumn<QString>("secret");
    const QStringList tg{"telegram", "--chat", "-1001234567890", "--token-stdin"};
    const QString hook = "https://chat.example.org:8443/hooks/xyz?k=1";
    QTest::newRow("telegram") << tg << " " + kToken + "\n"
                              << ""
                              << "-1001234567890" << kToken;
    QTest::newRow("telegram, channel name")
        << QStringList{"telegram", "--token-stdin", "--chat", "@alerts"} << kToken << ""
        << "@alerts" << kToken;
    QTest::newRow("token of 20 after the colon") << tg << "1:" + QString(20, u'a') << ""
                                                 << "-1001234567890"
                                                 << "1:" + QString(20, u'a');
    QTest::newRow("token of 19") << tg << "1:" + QString(19, u'a') << "Токен бота неверен"
                                 << ""
                                 << "";
    QTest::newRow("token that would change the path") << tg << kToken + "/../x"
                                                      << "Токен бота неверен"
                                                      << ""
                                                      << "";
    QTest::newRow("no --token-stdin") << tg.first(3) << kToken << "--token-stdin"
                                      << ""
                                      << "";
    QTest::newRow("no chat") << QStringList{"telegram", "--token-stdin"} << kToken << "--chat"
                             << ""
                             << "";
    QTest::newRow("chat not a chat")
        << QStringList{"telegram", "--chat", "12a", "--token-stdin"} << kToken << "Чат Telegram"
        << ""
        << "";
    QTest::newRow("chat twice") << tg + QStringList{"--chat", "1"} << kToken
                                << "--chat задан дважды"
                                << ""
                                << "";
    QTest::newRow("option without its value")
        << tg + QStringList{"--name"} << kToken << "После --name нужно значение"
        << ""
        << "";
    QTest::newRow("api-url with a user")
        << tg + QStringList{"--api-url", "https://u:p@bot.example.org"} << kToken << "имени, пароля"
        << ""
        << "";
    QTest::newRow("api-url not http") << tg + QStringList{"--api-url", "ftp://bot.example.org"}
                                      << kToken << "http:// или https://"
                                      << ""
                                      << "";
    QTest::newRow("webhook") << QStringList{"webhook", hook} << ""
                             << ""
                             << "https://chat.example.org:8443/***" << hook;
    QTest::newRow("webhook from standard input")
        << QStringList{"webhook", "--url-stdin"} << hook + "\n"
        << ""
        << "https://chat.example.org:8443/***" << hook;
    QTest::newRow("webhook with a user") << QStringList{"webhook", "http://me:pw@[::1]:81/"} << ""
                                         << ""
                                         << "http://***@[::1]:81"
                                         << "http://me:pw@[::1]:81/";
    QTest::newRow("webhook URL and --url-stdin")
        << QStringList{"webhook", hook, "--url-stdin"} << hook << "URL или --url-stdin"
        << ""
        << "";
    QTest::newRow("webhook without URL") << QStringList{"webhook"} << ""
                                         << "URL или --url-stdin"
                                         << ""
                                         << "";
    QTest::newRow("a second URL is not repeated")
        << QStringList{"webhook", hook, "https://x/secret"} << ""
        << "\"***\""
        << ""
        << "";
    QTest::newRow("webhook not http") << QStringList{"webhook", "file:///etc/passwd"} << ""
                                      << "http:// или https://"
                                      << ""
                                      << "";
    QTest::newRow("webhook without host") << QStringList{"webhook", "https:///x"} << ""
                                          << "http:// или https://"
                                          << ""
                                          << "";
    QTest::newRow("URL of 2000") << QStringList{"webhook",
                                                "https://a.example/" + QString(1982, u'x')}
                                 << ""
                                 << ""
                                 << "https://a.example/***"
                                 << "https://a.example/" + QString(1982, u'x');
    QTest::newRow("URL of 2001") << QStringList{"webhook",
                                                "https://a.example/" + QString(1983, u'x')}
                                 << ""
                                 << "длиннее 2000"
                                 << ""
                                 << "";
    QTest::newRow("pin with colons")
        << QStringList{"webhook", hook, "--pin", QStringList(32, "AB").join(':')} << ""
        << ""
        << "https://chat.example.org:8443/***" << hook;
    QTest::newRow("pin for http") << QStringList{"webhook", "http://a.example/x", "--pin",
                                                 QString(64, u'a')}
                                  << ""
                                  << "только для адреса https"
                                  << ""
                                  << "";
    QTest::newRow("pin not SHA-256")
        << QStringList{"webhook", hook, "--pin", QString(63, u'a')} << ""
        << "64 шестнадцатеричных"
        << ""
        << "";
    QTest::newRow("name of 100") << QStringList{"webhook", hook, "--name", QString(100, u'я')} << ""
                                 << ""
                                 << "https://chat.example.org:8443/***" << hook;
    QTest::newRow("name of 101") << QStringList{"webhook", hook, "--name", QString(101, u'я')} << ""
                                 << "не длиннее 100"
                                 << ""
                                 << "";
    QTest::newRow("name with a line break") << QStringList{"webhook", hook, "--name", "a\nb"} << ""
                                            << "управляющих"
                                            << ""
                                            << "";
    QTest::newRow("unknown kind") << QStringList{"mail"} << ""
                                  << "Неизвестный вид канала"
                                  << ""
                                  << "";
}

void TestChannelRules::channelAdd()
{
    QFETCH(QStringList, args);
    QFETCH(QString, line);
    QFETCH(QString, refusal);
    QFETCH(QString, target);
    QFETCH(QString, secret);
    QString error;
    const std::optional<ChannelAddInput> input = parseChannelAdd(args, &error);
    std::optional<ChannelSettings> made;
    if (input) made = makeChannel(*input, line, &error);
    if (!refusal.isEmpty()) {
        QVERIFY(!made);
        QVERIFY2(error.contains(refusal), qPrintable(error));
        QVERIFY2(!error.contains(kToken) && !error.contains("xyz") && !error.contains("/secret"),
                 qPrintable(error));
        return;
    }
    QVERIFY2(made, qPrintable(error));
    QCOMPARE(made->record.target, target);
    QCOMPARE(made->secret, secret);
    QCOMPARE(made->record.apiUrl,
             made->record.kind == ChannelKind::Telegram ? kTelegramApi : QString());
    QVERIFY(!made->record.pin.contains(':'));
    // Nothing of what the database gets holds the secret's path or token.
    const ChannelRecord& r = made->record;
    const QString stored = QStringList{r.name, r.target, r.apiUrl, r.pin, r.secretRef}.join(' ');
    QVERIFY2(!stored.contains(kToken) && !stored.contains("xyz") && !stored.contains("pw"),
             qPrintable(stored));
}

// The token goes where the mail password goes, under a key of the channel's own; one channel
// whose secret is missing is named, the others still load; a forgotten one loads no more.
void TestChannelRules::secretsKeptApart()
{
    QTemporaryDir dir;
    SecretStore store(SecretStore::Place::File, dir.path());
    const ChannelSettings a = telegram("a"), b = telegram("b");
    ChannelRecord off = telegram("off").record;
    off.enabled = false;
    QVERIFY(a.record.secretRef != b.record.secretRef);
    const auto load = [&](const QList<ChannelRecord>& records, QStringList* problems = nullptr) {
        std::optional<QList<ChannelSettings>> out;
        loadChannelSecrets(store, records, [&](QList<ChannelSettings> c, QStringList p) {
            out = c;
            if (problems) *problems = p;
        });
        return QTest::qWaitFor([&] { return out.has_value(); }) ? *out : QList<ChannelSettings>{b};
    };
    int written = 0;
    writeChannelSecret(store, a, [&](const QString& e, const QString&) { written += e.isEmpty(); });
    QTRY_COMPARE(written, 1);
    QStringList problems;
    QCOMPARE(load({off, b.record, a.record}, &problems), QList<ChannelSettings>{a});
    QCOMPARE(problems.size(), 1);
    QVERIFY(problems[0].contains("«b»") && problems[0].contains("не сохранён"));
    forgetChannelSecret(store, a.record.secretRef,
                        [&](const QString& e, const QString&) { written += e.isEmpty(); });
    QTRY_COMPARE(written, 2);
    QCOMPARE(load({a.record}), QList<ChannelSettings>{});
}

void TestChannelRules::oneBoxAtATime()
{
    test::FakeMessageBoxes boxes;
    ChannelReports reports(&boxes);
    QStringList panel;
    connect(&reports, &ChannelReports::panelChanged, this, [&](const QString& t) { panel << t; });
    reports.failed(1, "first");
    reports.failed(2, "second");
    reports.failed(1, "third");
    QCOMPARE(boxes.notices.size(), 1);
    QCOMPARE(boxes.notices[0]->message.text, "first\r\n\r\n(и ещё 2 ошибки отправки в каналы)");
    boxes.notices[0]->open = false;
    reports.failed(2, "fourth");
    QCOMPARE(boxes.notices.size(), 2);
    QCOMPARE(panel.last(), "Каналов оповещения с ошибками: 2. fourth");
    reports.delivered(2);
    QCOMPARE(panel.last(), "third");
    reports.delivered(1);
    QCOMPARE(panel.last(), QString());
    QCOMPARE(moreChannelErrorsText(1), "(и ещё 1 ошибка отправки в каналы)");
    QCOMPARE(moreChannelErrorsText(11), "(и ещё 11 ошибок отправки в каналы)");
    QCOMPARE(moreChannelErrorsText(22), "(и ещё 22 ошибки отправки в каналы)");
}

QTEST_GUILESS_MAIN(TestChannelRules)
#include "tst_channelrules.moc"
