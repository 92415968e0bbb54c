// Real clients of the web side, fed from a real SQLite file through the provider the programs use:
// Debian's headless Chromium sees the page and a host going down without a reload; promtool judges
// the metrics, and a real Prometheus scrapes them with the password.

#include "common/clock.h"
#include "common/datetext.h"
#include "storefill.h"
#include "support/netns.h"
#include "support/testdb.h"
#include "web/storestatus.h"
#include "web/webserver.h"
#include "webtest.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>

using namespace sentrok;
using namespace sentrok::test;

namespace {

const QByteArray kPassword = QByteArrayLiteral("Tr0ub4dor&3");

QString now(qint64 secsAgo = 0)
{
    return storedDateText(QDateTime::currentDateTime().addSecs(-secsAgo));
}

// Why a tool cannot be used here; empty when it can.
QString missing(const QStringList& programs)
{
    for (const QString& p : programs)
        if (!QFile::exists(p))
            return p + QStringLiteral(" is not installed (scripts/deps.sh test installs it)");
    return {};
}

quint16 freePort()
{
    QTcpServer s;
    s.listen(QHostAddress::LocalHost, 0);
    return s.serverPort();
}

}  // namespace

class TestWebClients : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void browserSeesAHostGoDown();
    void promtoolJudgesTheMetrics();
    void prometheusScrapes();

private:
    HttpClient client() const;

    std::unique_ptr<TestFolder> m_folder;
    QTemporaryDir m_dir;
    QString m_passwordFile;
    SystemClock m_clock;
    std::unique_ptr<web::StoreStatusProvider> m_provider;
    std::unique_ptr<web::WebServer> m_server;
    qint64 m_server1 = 0, m_router = 0, m_hostile = 0;
};

void TestWebClients::initTestCase()
{
    if (const QString why = netnsUnavailable(); !why.isEmpty()) QSKIP(qPrintable(why));
    m_folder = std::make_unique<TestFolder>();
    Database& db = m_folder->db();
    m_router = m_folder->addHost(QStringLiteral("192.0.2.1"), QStringLiteral("Маршрутизатор"));
    m_server1 = m_folder->addHost(QStringLiteral("192.0.2.10"), QStringLiteral("Сервер 1"));
    m_hostile = m_folder->addHost(QStringLiteral("192.0.2.11"), kHostileText);
    db.execute(QStringLiteral("update address set parent = ? where id = ?"), {m_router, m_server1});
    for (qint64 h : {m_router, m_server1, m_hostile})
        for (int i = 0; i < 30; ++i) check(db, h, now(3600 - i * 60), i % 7 == 3 ? -1 : 3 + i % 5);
    db.execute(
        QStringLiteral(
            "insert into passes (monitor,started,finished,hosts,failed) values ('m',?,?,3,0)"),
        {now(62), now(60)});
    m_passwordFile = m_dir.filePath(QStringLiteral("password"));
    QFile f(m_passwordFile);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(kPassword + '\n');
    f.close();
    f.setPermissions(QFile::ReadOwner | QFile::WriteOwner);

    m_provider = std::make_unique<web::StoreStatusProvider>(m_folder->dbFile(), m_clock);
    QSignalSpy published(m_provider.get(), &web::StoreStatusProvider::published);
    m_provider->start();
    QVERIFY(published.wait(15000));
    m_server = std::make_unique<web::WebServer>(*m_provider, m_clock);
    web::WebOptions o;
    o.endpoint = {QHostAddress(QHostAddress::LocalHost), 0};
    o.passwordFile = m_passwordFile;
    const QString error = m_server->start(o);
    QVERIFY2(error.isEmpty(), qPrintable(error));
}

void TestWebClients::cleanupTestCase()
{
    m_server.reset();
    m_provider.reset();
}

HttpClient TestWebClients::client() const
{
    HttpClient c(QStringLiteral("http://127.0.0.1:%1").arg(m_server->port()));
    c.setPassword(kPassword);
    return c;
}

void TestWebClients::browserSeesAHostGoDown()
{
    if (const QString why =
            missing({QStringLiteral("/usr/bin/chromium"), QStringLiteral("/usr/bin/chromedriver")});
        !why.isEmpty())
        QSKIP(qPrintable(why));
    if (QProcess::execute(QStringLiteral("/usr/bin/python3"),
                          {QStringLiteral("-c"), QStringLiteral("import selenium")}) != 0)
        QSKIP("python3-selenium is not installed (scripts/deps.sh test installs it)");
    QProcess browser;
    browser.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    browser.start(QStringLiteral("/usr/bin/python3"),
                  {QFINDTESTDATA("browser_check.py"),
                   QStringLiteral("http://127.0.0.1:%1/").arg(m_server->port()),
                   QString::fromUtf8(kPassword), QString::number(m_server1), kHostileText});
    QByteArray said;
    QTRY_VERIFY_WITH_TIMEOUT((said += browser.readAllStandardOutput()).contains("READY") ||
                                 browser.state() == QProcess::NotRunning,
                             90000);
    QVERIFY2(said.contains("READY"), said.constData());
    // The server goes down, as a pass records it.
    Database& db = m_folder->db();
    check(db, m_server1, now(), -1);
    outage(db, m_server1, now());
    recordEvent(db, m_server1, "down", now());
    browser.write("changed\n");
    // The event loop runs meanwhile: the provider looks at the database on its timer.
    QTRY_VERIFY_WITH_TIMEOUT(browser.state() == QProcess::NotRunning, 90000);
    said += browser.readAllStandardOutput();
    QVERIFY2(said.contains("OK"), said.constData());
    QCOMPARE(browser.exitCode(), 0);
}

void TestWebClients::promtoolJudgesTheMetrics()
{
    if (const QString why = missing({QStringLiteral("/usr/bin/promtool")}); !why.isEmpty())
        QSKIP(qPrintable(why));
    const HttpAnswer metrics = client().get(QStringLiteral("/metrics"));
    QCOMPARE(metrics.status, 200);
    QVERIFY(metrics.body.contains("sentrok_checks_total{"));
    QProcess promtool;
    promtool.setProcessChannelMode(QProcess::MergedChannels);
    promtool.start(QStringLiteral("/usr/bin/promtool"),
                   {QStringLiteral("check"), QStringLiteral("metrics")});
    promtool.write(metrics.body);
    promtool.closeWriteChannel();
    QVERIFY(promtool.waitForFinished(30000));
    const QByteArray said = promtool.readAll();
    QVERIFY2(said.trimmed().isEmpty(), said.constData());
    QCOMPARE(promtool.exitCode(), 0);
}

void TestWebClients::prometheusScrapes()
{
    if (const QString why = missing({QStringLiteral("/usr/bin/prometheus")}); !why.isEmpty())
        QSKIP(qPrintable(why));
    const quint16 port = freePort();
    const QString config = m_dir.filePath(QStringLiteral("prometheus.yml"));
    QFile f(config);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(QStringLiteral(
                "global:\n  scrape_interval: 1s\n"
                "scrape_configs:\n  - job_name: sentrok\n    basic_auth:\n      username: sentrok\n"
                "      password_file: %1\n    static_configs:\n      - targets: ['127.0.0.1:%2']\n")
                .arg(m_passwordFile)
                .arg(m_server->port())
                .toUtf8());
    f.close();
    QProcess prometheus;
    prometheus.setProcessChannelMode(QProcess::MergedChannels);
    prometheus.start(
        QStringLiteral("/usr/bin/prometheus"),
        {QStringLiteral("--config.file=") + config,
         QStringLiteral("--storage.tsdb.path=") + m_dir.filePath(QStringLiteral("tsdb")),
         QStringLiteral("--web.listen-address=127.0.0.1:%1").arg(port)});
    QVERIFY(prometheus.waitForStarted(10000));
    HttpClient api(QStringLiteral("http://127.0.0.1:%1").arg(port));
    const auto series = [&](const QString& query) {
        const HttpAnswer a =
            api.get(QStringLiteral("/api/v1/query?query=") + query, "GET", {}, 3000);
        return QJsonDocument::fromJson(a.body)
            .object()
            .value(QLatin1String("data"))
            .toObject()
            .value(QLatin1String("result"))
            .toArray();
    };
    // The scrape succeeded (up is 1) and brought every host's state.
    QTRY_VERIFY_WITH_TIMEOUT(
        series(QStringLiteral("up%7Bjob%3D%22sentrok%22%7D%3D%3D1")).size() == 1, 60000);
    const QJsonArray up = series(QStringLiteral("sentrok_host_up"));
    QCOMPARE(up.size(), 3);
    QSet<QString> descriptions;
    for (const QJsonValue& v : up)
        descriptions.insert(v.toObject()
                                .value(QLatin1String("metric"))
                                .toObject()
                                .value(QLatin1String("description"))
                                .toString());
    QVERIFY(descriptions.contains(kHostileText));
    QCOMPARE(series(QStringLiteral("sentrok_reply_seconds_count")).size(), 1);
    prometheus.terminate();
    if (!prometheus.waitForFinished(10000)) prometheus.kill();
}

QTEST_MAIN(TestWebClients)
#include "tst_webclients.moc"
