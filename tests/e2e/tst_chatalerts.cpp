// Chat alerts from the real programs, in the test network namespace: channels added, listed,
// tried and removed with sentrok-db, their secrets nowhere but the secret file; and a real
// sentrok-monitor sending one message per channel for a pass that changed something, while the
// monitor that waits for the lease sends none.

#include "channels/fakehttp.h"
#include "support/monitorprocess.h"
#include "support/netns.h"
#include "support/testdb.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTest>

using namespace sentrok;
using namespace sentrok::test;

namespace {

const QString kToken = QStringLiteral("123456789:AAHsecretTokenPart_0123456789-xyz");
const QString kHookPath = QStringLiteral("/hooks/s3cr3tHookPathQ7");

struct Run {
    int code = -1;
    QString out, err;
};

// sentrok-db with the given arguments and standard input. The test's own receivers answer it,
// so the event loop runs while it does.
Run db(const QStringList& args, const QString& input = {})
{
    QProcess p;
    p.start(qEnvironmentVariable("SENTROK_BIN_DIR") + "/sentrok-db", args);
    if (!p.waitForStarted(10'000)) return {};
    p.write(input.toUtf8() + "\n");
    p.closeWriteChannel();
    QElapsedTimer t;
    t.start();
    while (p.state() != QProcess::NotRunning && t.elapsed() < 60'000) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        p.waitForFinished(10);
    }
    return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1,
            QString::fromUtf8(p.readAllStandardOutput()),
            QString::fromUtf8(p.readAllStandardError())};
}

QStringList channelArgs(const QString& sub, const QString& database, const QStringList& rest = {})
{
    return QStringList{"channel", sub, database} + rest;
}

// Adds the Telegram channel (api at `api`) and the webhook (at `hook`); their ids.
QPair<QString, QString> addBoth(const QString& database, const FakeHttp& api, const FakeHttp& hook,
                                QStringList* said)
{
    const Run t = db(channelArgs("add", database,
                                 {"telegram", "--chat", "-100123", "--api-url", api.url(), "--name",
                                  "Дежурные", "--token-stdin"}),
                     kToken);
    const Run w = db(channelArgs("add", database, {"webhook", "--url-stdin"}), hook.url(kHookPath));
    *said << t.out << t.err << w.out << w.err;
    const auto id = [](const Run& r) { return r.out.section(' ', 2, 2).section(':', 0, 0); };
    return {t.code == 0 ? id(t) : QString(), w.code == 0 ? id(w) : QString()};
}

QJsonObject json(const QByteArray& body) { return QJsonDocument::fromJson(body).object(); }

}  // namespace

class TestChatAlerts : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void refusals_data();
    void refusals();
    void commandsKeepSecretsOut();
    void monitorSendsOneMessagePerChannel();

private:
    QTemporaryDir m_secrets;
};

void TestChatAlerts::initTestCase()
{
    if (const QString why = netnsUnavailable(); !why.isEmpty()) QSKIP(qPrintable(why));
    QVERIFY2(QFileInfo::exists(qEnvironmentVariable("SENTROK_BIN_DIR") + "/sentrok-monitor"),
             "SENTROK_BIN_DIR must name the folder holding sentrok-monitor");
    // The programs started here keep their secrets in a file of the test's own, as the service.
    qputenv("SENTROK_SECRETS_FILE", m_secrets.filePath("secrets.json").toUtf8());
    qunsetenv("CREDENTIALS_DIRECTORY");
}

void TestChatAlerts::refusals_data()
{
    QTest::addColumn<QStringList>("args");  // after PATH
    QTest::addColumn<QString>("sub");
    QTest::addColumn<QString>("input");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("words");
    QTest::newRow("unknown kind") << QStringList{"matrix"} << "add"
                                  << "" << 2 << "matrix";
    QTest::newRow("token as no input") << QStringList{"telegram", "--chat", "-100123"} << "add"
                                       << "" << 2 << "--token-stdin";
    QTest::newRow("token malformed")
        << QStringList{"telegram", "--chat", "-100123", "--token-stdin"} << "add"
        << "12:short" << 1 << "Токен бота неверен";
    QTest::newRow("ftp webhook") << QStringList{"webhook", "--url-stdin"} << "add"
                                 << "ftp://127.0.0.1/hook" << 1 << "http:// или https://";
    QTest::newRow("file webhook") << QStringList{"webhook", "file:///etc/passwd"} << "add"
                                  << "" << 1 << "http:// или https://";
    QTest::newRow("id not a number") << QStringList{"abc"} << "remove"
                                     << "" << 2 << "целым";
    QTest::newRow("id zero") << QStringList{"0"} << "test"
                             << "" << 2 << "больше нуля";
    QTest::newRow("no such channel") << QStringList{"1"} << "remove"
                                     << "" << 1 << "there is no channel 1";
    QTest::newRow("no such channel to test") << QStringList{"1"} << "test"
                                             << "" << 1 << "there is no channel 1";
    QTest::newRow("unknown command") << QStringList{"1"} << "frob"
                                     << "" << 2 << "usage:";
    QTest::newRow("two ids") << QStringList{"1", "2"} << "remove"
                             << "" << 2 << "usage:";
    QTest::newRow("list takes nothing more") << QStringList{"1"} << "list"
                                             << "" << 2 << "usage:";
}

void TestChatAlerts::refusals()
{
    QFETCH(QStringList, args);
    QFETCH(QString, sub);
    QFETCH(QString, input);
    QFETCH(int, code);
    QFETCH(QString, words);
    TestFolder f;
    const Run r = db(channelArgs(sub, f.dbFile(), args), input);
    QCOMPARE(r.code, code);
    QVERIFY2(r.err.contains(words), qPrintable(r.err));
    QVERIFY(r.out.isEmpty());
    QCOMPARE(f.scalar("select count(*) from channels"), QStringLiteral("0"));
    // What was refused may have been a secret: it is never repeated.
    if (!input.isEmpty()) QVERIFY2(!r.err.contains(input), qPrintable(r.err));
}

void TestChatAlerts::commandsKeepSecretsOut()
{
    TestFolder f;
    FakeHttp api({FakeHttp::Reply(200, R"({"ok":true,"result":{"message_id":7}})")});
    FakeHttp hook({FakeHttp::Reply(200, "ok from the hook")});
    QStringList said;
    const auto [telegramId, hookId] = addBoth(f.dbFile(), api, hook, &said);
    QVERIFY2(!telegramId.isEmpty() && !hookId.isEmpty(), qPrintable(said.join('\n')));

    const Run list = db(channelArgs("list", f.dbFile()));
    QCOMPARE(list.code, 0);
    QCOMPARE(list.out.count('\n'), 2);
    QVERIFY2(list.out.contains("telegram\tenabled\tДежурные\t-100123"), qPrintable(list.out));
    QVERIFY2(list.out.contains(hook.url() + "/***"), qPrintable(list.out));

    // The test message reaches each server with the secret, and the server's words come back.
    const Run testTelegram = db(channelArgs("test", f.dbFile(), {telegramId}));
    QCOMPARE(testTelegram.code, 0);
    QVERIFY2(testTelegram.out.contains("message_id"), qPrintable(testTelegram.out));
    QCOMPARE(api.seen.size(), 1);
    QCOMPARE(QString::fromLatin1(api.seen[0].target), "/bot" + kToken + "/sendMessage");
    QCOMPARE(json(api.seen[0].body).value("chat_id").toString(), QStringLiteral("-100123"));
    const Run testHook = db(channelArgs("test", f.dbFile(), {hookId}));
    QCOMPARE(testHook.code, 0);
    QVERIFY2(testHook.out.contains("ok from the hook"), qPrintable(testHook.out));
    QCOMPARE(QString::fromLatin1(hook.seen.value(0).target), kHookPath);

    const Run off = db(channelArgs("disable", f.dbFile(), {hookId}));
    QCOMPARE(off.code, 0);
    QVERIFY(db(channelArgs("list", f.dbFile())).out.contains("webhook\tdisabled"));
    const Run removed = db(channelArgs("remove", f.dbFile(), {telegramId}));
    QCOMPARE(removed.code, 0);
    QCOMPARE(f.column("select kind from channels"), QStringList{"webhook"});
    // Tried after removal: gone, and its secret with it.
    QCOMPARE(db(channelArgs("test", f.dbFile(), {telegramId})).code, 1);

    said << list.out << list.err << testTelegram.out << testTelegram.err << testHook.out
         << testHook.err << off.out << off.err << removed.out << removed.err;
    QByteArray stored;
    for (const char* suffix : {"", "-wal", "-journal"}) {
        QFile file(f.dbFile() + suffix);
        if (file.open(QIODevice::ReadOnly)) stored += file.readAll();
    }
    QVERIFY(!stored.isEmpty());
    for (const QString& secret : {kToken, kHookPath, kToken.section(':', 1)}) {
        QVERIFY2(!said.join('\n').contains(secret), qPrintable(said.join('\n')));
        QVERIFY2(!stored.contains(secret.toUtf8()), qPrintable(secret));
    }
    // Where it went instead: the secret file, the hook's whole URL still there.
    QFile secrets(qEnvironmentVariable("SENTROK_SECRETS_FILE"));
    QVERIFY(secrets.open(QIODevice::ReadOnly));
    const QByteArray kept = secrets.readAll();
    QVERIFY(kept.contains(hook.url(kHookPath).toUtf8().toBase64()));
    QVERIFY(!kept.contains(kToken.toUtf8().toBase64()));  // forgotten with its channel
}

void TestChatAlerts::monitorSendsOneMessagePerChannel()
{
    TestFolder f;
    f.db().execute("update options set refresh_time=?", {QVariant(0.02)});  // 1.2 s
    f.addHost("127.0.0.1", "router", "1000");
    f.addHost("127.0.0.9", "склад", "700");  // no rule of the responder's: silent
    Responder responder({"127.0.0.1 reply"});
    QVERIFY2(responder.error().isEmpty(), qPrintable(responder.error()));
    FakeHttp api, hook, disabled;
    QStringList said;
    addBoth(f.dbFile(), api, hook, &said);
    const Run off = db(channelArgs("add", f.dbFile(), {"webhook", disabled.url("/off")}));
    QCOMPARE(off.code, 0);
    QCOMPARE(db(channelArgs("disable", f.dbFile(), {off.out.section(' ', 2, 2).section(':', 0, 0)}))
                 .code,
             0);

    MonitorProcess a(f.dbFile()), b(f.dbFile());
    QVERIFY(a.started() && b.started());
    QTRY_VERIFY_WITH_TIMEOUT((a.runs() && b.waits()) || (b.runs() && a.waits()),
                             MonitorProcess::kStartMs);
    MonitorProcess& runner = a.runs() ? a : b;
    const auto finished = [&] {
        return f.scalar("select count(*) from passes where finished is not null").toInt();
    };
    QTRY_VERIFY_WITH_TIMEOUT(hook.seen.size() >= 1 && api.seen.size() >= 1,
                             MonitorProcess::kStartMs);
    // Later passes change nothing, and say nothing.
    const int then = finished();
    QTRY_VERIFY_WITH_TIMEOUT(finished() >= then + 3, MonitorProcess::kStartMs);
    QCOMPARE(hook.seen.size(), 1);
    QCOMPARE(api.seen.size(), 1);
    QCOMPARE(disabled.seen.size(), 0);

    const QJsonObject sent = json(hook.seen[0].body);
    const QJsonArray down = sent.value("down").toArray();
    QCOMPARE(down.size(), 1);
    QCOMPARE(down[0].toObject().value("address").toString(), QStringLiteral("127.0.0.9"));
    QCOMPARE(down[0].toObject().value("description").toString(), QStringLiteral("склад"));
    QVERIFY(sent.value("up").toArray().isEmpty());
    QVERIFY2(sent.value("monitor").toString().endsWith(runner.name()),
             qPrintable(sent.value("monitor").toString()));
    QVERIFY(QDateTime::fromString(sent.value("time").toString(), Qt::ISODate).isValid());
    QVERIFY(sent.value("text").toString().contains("127.0.0.9"));
    // The same lines in the chat as on the hook.
    QCOMPARE(json(api.seen[0].body).value("text").toString(), sent.value("text").toString());
    QVERIFY2(!runner.log().contains(kToken), qPrintable(runner.log()));
}

QTEST_MAIN(TestChatAlerts)
#include "tst_chatalerts.moc"
