// The web side as the programs run it: sentrok-monitor with --http serves what its passes record,
// a second one on the same database, waiting for the lease, serves the same states as not
// monitoring and takes the part over with the lease; wrong options stop it at its start with
// the words why.

#include "support/httpclient.h"
#include "support/monitorprocess.h"
#include "support/netns.h"
#include "support/testdb.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTest>

using namespace sentrok;
using namespace sentrok::test;

namespace {

constexpr int kStartMs = MonitorProcess::kStartMs;
// Taking the lease over is promised within 10 s plus one interval; the rest is slack.
constexpr int kTakeoverMs = 30'000;
const QByteArray kPassword = "Tr0ub4dor&3-web";

// A port nobody listens on now in the test's namespace.
quint16 freePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

// A password file in `folder` with the given permissions.
QString passwordFile(const QString& folder, QFile::Permissions permissions)
{
    const QString path = folder + "/http-password";
    QFile f(path);
    f.open(QIODevice::WriteOnly | QIODevice::Truncate);
    f.write(kPassword + "\n");
    f.close();
    f.setPermissions(permissions);
    return path;
}

constexpr QFile::Permissions kOwnerOnly = QFile::ReadOwner | QFile::WriteOwner;

// Each host's state in /api/v1/status, by address.
QMap<QString, QString> statesOf(const HttpAnswer& status)
{
    QMap<QString, QString> out;
    for (const QJsonValue host : QJsonDocument::fromJson(status.body)["hosts"].toArray())
        out.insert(host["address"].toString(), host["state"].toString());
    return out;
}

// A sample's value in /metrics: the first line of the family whose labels contain `labels`.
QString sampleOf(const QByteArray& metrics, const QString& family, const QString& labels = {})
{
    const QRegularExpression line(
        QStringLiteral("^%1(\\{[^}]*%2[^}]*\\})? (\\S+)$")
            .arg(QRegularExpression::escape(family), QRegularExpression::escape(labels)),
        QRegularExpression::MultilineOption);
    return line.match(QString::fromUtf8(metrics)).captured(2);
}

}  // namespace

class TestWebMonitor : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void servesCheckingAndWaiting();
    void refusesWrongOptions_data();
    void refusesWrongOptions();
};

void TestWebMonitor::initTestCase()
{
    if (const QString why = netnsUnavailable(); !why.isEmpty()) QSKIP(qPrintable(why));
    QVERIFY2(QFileInfo::exists(qEnvironmentVariable("SENTROK_BIN_DIR") + "/sentrok-monitor"),
             "SENTROK_BIN_DIR must name the folder holding sentrok-monitor");
}

void TestWebMonitor::servesCheckingAndWaiting()
{
    TestFolder folder;
    folder.db().execute("update options set refresh_time=?",
                        {onPostgres() ? QVariant(0) : QVariant(0.05)});
    folder.addHost("127.0.0.1", "answers", "1000");
    folder.addHost("127.0.0.9", "silent", "700");
    Responder responder({"127.0.0.1 reply"});
    QVERIFY2(responder.error().isEmpty(), qPrintable(responder.error()));
    const QString password = passwordFile(folder.path(), kOwnerOnly);
    const quint16 portA = freePort(), portB = freePort();

    // One by its options, the other by the environment, as the service's file gives them.
    MonitorProcess a(
        folder.dbFile(), {},
        {"--http", QString("127.0.0.1:%1").arg(portA), "--http-password-file", password});
    QVERIFY(a.started());
    QTRY_VERIFY_WITH_TIMEOUT(a.runs(), kStartMs);
    MonitorProcess b(folder.dbFile(), {}, {},
                     {{"SENTROK_HTTP", QString("127.0.0.1:%1").arg(portB)},
                      {"SENTROK_HTTP_PASSWORD_FILE", password}});
    QVERIFY(b.started());
    QTRY_VERIFY_WITH_TIMEOUT(b.waits(), kStartMs);
    QVERIFY2(a.log().contains(QString("веб-страница: http://127.0.0.1:%1/").arg(portA)),
             qPrintable(a.log()));

    HttpClient anonymous(QString("http://127.0.0.1:%1").arg(portA));
    const QMap<QString, QString> expected{{"127.0.0.1", "up"}, {"127.0.0.9", "down"}};
    struct Side {
        quint16 port = 0;
        const char* active = "";
    };
    for (const Side& side : {Side{portA, "1"}, Side{portB, "0"}}) {
        HttpClient client(QString("http://127.0.0.1:%1").arg(side.port));
        client.setPassword(kPassword);
        // The states come from the database, whichever process recorded them.
        QTRY_COMPARE_WITH_TIMEOUT(statesOf(client.get("/api/v1/status")), expected, kStartMs);
        const HttpAnswer metrics = client.get("/metrics");
        QCOMPARE(metrics.status, 200);
        QCOMPARE(sampleOf(metrics.body, "sentrok_monitor_active"), QString(side.active));
        QCOMPARE(sampleOf(metrics.body, "sentrok_host_up", "address=\"127.0.0.1\""), QString("1"));
        QCOMPARE(sampleOf(metrics.body, "sentrok_host_up", "address=\"127.0.0.9\""), QString("0"));
        HttpClient stranger(QString("http://127.0.0.1:%1").arg(side.port));
        QCOMPARE(stranger.get("/healthz").status, 200);
        for (const char* path : {"/", "/metrics", "/api/v1/status"})
            QCOMPARE(stranger.get(path).status, 401);
    }
    QCOMPARE(anonymous.get("/healthz").body.trimmed(), QByteArray("ok"));

    // The waiting one takes the checks over, and its metrics say so.
    a.process().kill();
    QVERIFY(a.process().waitForFinished(MonitorProcess::kEndMs));
    HttpClient client(QString("http://127.0.0.1:%1").arg(portB));
    client.setPassword(kPassword);
    QTRY_COMPARE_WITH_TIMEOUT(sampleOf(client.get("/metrics").body, "sentrok_monitor_active"),
                              QString("1"), kTakeoverMs);
    for (MonitorProcess* m : {&a, &b})
        QVERIFY2(!m->log().contains(QString::fromLatin1(kPassword)), "the password was printed");
}

void TestWebMonitor::refusesWrongOptions_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QString>("environment");  // NAME=value, or empty
    QTest::addColumn<int>("exitCode");         // -1: runs on (without a web server)
    QTest::addColumn<QString>("said");

    const QString pw = "{pw}", open = "{open}";
    QTest::newRow("name for an address") << QStringList{"--http", "localhost:8080"} << "" << 2
                                         << "адрес веб-сервера «localhost:8080»";
    QTest::newRow("port past 65535")
        << QStringList{"--http", "127.0.0.1:65536"} << "" << 2 << "порт «65536»";
    QTest::newRow("--http without a value")
        << QStringList{"--http"} << "" << 2 << "после --http нужно значение";
    QTest::newRow("bad address in the environment")
        << QStringList{} << "SENTROK_HTTP=127.0.0.1" << 2 << "не указан порт";
    QTest::newRow("password without --http")
        << QStringList{"--http-password-file", pw} << "" << 2
        << "--http-password-file задан, а адрес веб-сервера — нет";
    QTest::newRow("password file in the environment alone: no server")
        << QStringList{} << "SENTROK_HTTP_PASSWORD_FILE=" + pw << -1 << "запущен";
    QTest::newRow("password file others may read")
        << QStringList{"--http", "127.0.0.1:{port}", "--http-password-file", open} << "" << 1
        << "Веб-сервер не запущен";
    QTest::newRow("certificate missing")
        << QStringList{"--http",         "127.0.0.1:{port}", "--http-cert",
                       "{dir}/none.crt", "--http-key",       pw}
        << "" << 1 << "Веб-сервер не запущен";
    QTest::newRow("key without certificate")
        << QStringList{"--http", "127.0.0.1:{port}", "--http-key", pw} << "" << 1
        << "и сертификат, и закрытый ключ";
}

void TestWebMonitor::refusesWrongOptions()
{
    QFETCH(QStringList, options);
    QFETCH(QString, environment);
    QFETCH(int, exitCode);
    QFETCH(QString, said);
    TestFolder folder;
    const QString owned = passwordFile(folder.path(), kOwnerOnly);
    const QString others = folder.path() + "/open-password";
    QVERIFY(QFile::copy(owned, others));
    QFile::setPermissions(others, kOwnerOnly | QFile::ReadGroup | QFile::ReadOther);
    const QString port = QString::number(freePort());
    const auto fill = [&](QString text) {
        return text.replace("{pw}", owned)
            .replace("{open}", others)
            .replace("{port}", port)
            .replace("{dir}", folder.path());
    };
    for (QString& o : options) o = fill(o);
    QList<std::pair<QString, QString>> env;
    if (!environment.isEmpty())
        env.append({environment.section('=', 0, 0), fill(environment.section('=', 1))});

    MonitorProcess monitor(folder.dbFile(), {}, options, env);
    QVERIFY(monitor.started());
    if (exitCode < 0) {
        QTRY_VERIFY_WITH_TIMEOUT(monitor.log().contains(said), kStartMs);
        QVERIFY2(!monitor.log().contains("веб-"), qPrintable(monitor.log()));
        QCOMPARE(monitor.process().state(), QProcess::Running);
        return;
    }
    QVERIFY(monitor.process().waitForFinished(kStartMs));
    QVERIFY2(monitor.log().contains(said), qPrintable(monitor.log()));
    QCOMPARE(monitor.process().exitCode(), exitCode);
    QVERIFY2(!monitor.log().contains(QString::fromLatin1(kPassword)), "the password was printed");
}

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    TestWebMonitor tests;
    return runOnBothEngines(&tests, argc, argv);
}

#include "tst_webmonitor.moc"
