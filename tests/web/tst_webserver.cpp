// The web server over real sockets, answered by a provider the test fills: routes, methods,
// the password, escaping, caching, and the limits that keep a client from costing too much.

#include "support/fakes.h"
#include "support/netns.h"
#include "web/views.h"
#include "web/webserver.h"
#include "webtest.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QTimeZone>

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace sentrok;
using namespace sentrok::test;

namespace {

const QByteArray kPassword = QByteArrayLiteral("пароль с пробелом");

QString writeFile(const QTemporaryDir& dir, const QString& name, const QByteArray& bytes,
                  QFile::Permissions mode = QFile::ReadOwner | QFile::WriteOwner)
{
    const QString path = dir.filePath(name);
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate)) return {};
    f.write(bytes);
    f.close();
    f.setPermissions(mode);
    return path;
}

web::WebOptions loopback(const QString& passwordFile = {})
{
    web::WebOptions o;
    o.endpoint = {QHostAddress(QHostAddress::LocalHost), 0};
    o.passwordFile = passwordFile;
    return o;
}

// A plain socket that never reads: the system's buffers fill and the server's writes stall.
struct StalledReader {
    int fd = -1;
    explicit StalledReader(quint16 port, const QByteArray& request)
    {
        fd = ::socket(AF_INET, SOCK_STREAM, 0);
        const int small = 4096;
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) [[maybe_unused]]
            auto n = ::write(fd, request.constData(), size_t(request.size()));
    }
    ~StalledReader() { ::close(fd); }
    // Not closed by the server yet (asked without reading, which would unstall it).
    bool open() const
    {
        pollfd p{fd, POLLRDHUP, 0};
        return ::poll(&p, 1, 0) == 0;
    }
    // Reads everything left; true when the server has ended the connection meanwhile.
    bool endedByServer(qint64* got)
    {
        char buf[65536];
        for (;;) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 2000) <= 0) return false;
            const ssize_t n = ::read(fd, buf, sizeof buf);
            if (n <= 0) return true;
            *got += n;
        }
    }
};

}  // namespace

class TestWebServer : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void routes_data();
    void routes();
    void headHasNoBody();
    void password_data();
    void password();
    void hostileTextStaysText();
    void unchangedStatusIsNotSentAgain();
    void eventsFromSnapshotOrDatabase_data();
    void eventsFromSnapshotOrDatabase();
    void historyTimes_data();
    void historyTimes();
    void answersInTheOrderAsked();
    void busyDatabase();
    void nothingKnownYet();
    void passwordFile_data();
    void passwordFile();
    void requestSize_data();
    void requestSize();
    void connectionLimit();
    void slowClientsAreCutOff_data();
    void slowClientsAreCutOff();
    void dripFedRequestIsCutOff();
    void stalledReaderDelaysNobody();
    void https();
    void ipv6();

private:
    void startWith(web::WebOptions options);
    HttpClient client() const;

    QTemporaryDir m_dir;
    QString m_passwordFile;
    FakeClock m_clock{QDateTime(QDate(2026, 3, 2), QTime(12, 0, 0))};
    std::unique_ptr<FakeStatus> m_status;
    std::unique_ptr<web::WebServer> m_server;
    QString m_base;
};

void TestWebServer::initTestCase()
{
    if (const QString why = netnsUnavailable(); !why.isEmpty()) QSKIP(qPrintable(why));
    m_passwordFile = writeFile(m_dir, QStringLiteral("password"), kPassword + "\r\nsecond line\n");
}

void TestWebServer::init()
{
    m_status = std::make_unique<FakeStatus>();
    const qint64 now = m_clock.now().toMSecsSinceEpoch();
    m_status->lastLook = now;
    m_status->publish(sampleSnapshot(now));
    m_status->report.found = true;
    startWith(loopback(m_passwordFile));
}

void TestWebServer::cleanup() { m_server.reset(); }

void TestWebServer::startWith(web::WebOptions options)
{
    m_server = std::make_unique<web::WebServer>(*m_status, m_clock);
    const QString error = m_server->start(options);
    QVERIFY2(error.isEmpty(), qPrintable(error));
    m_base = QStringLiteral("%1://127.0.0.1:%2")
                 .arg(m_server->secure() ? "https" : "http")
                 .arg(m_server->port());
}

HttpClient TestWebServer::client() const
{
    HttpClient c(m_base);
    c.setPassword(kPassword);
    return c;
}

void TestWebServer::routes_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QByteArray>("verb");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("type");
    QTest::addColumn<QByteArray>("contains");
    const QByteArray html = "text/html; charset=utf-8", json = "application/json";
    QTest::newRow("page") << "/" << QByteArray("GET") << 200 << html << QByteArray("Маршрутизатор");
    QTest::newRow("metrics") << "/metrics" << QByteArray("GET") << 200
                             << QByteArray("text/plain; version=0.0.4; charset=utf-8")
                             << QByteArray("sentrok_host_up{");
    QTest::newRow("status") << "/api/v1/status" << QByteArray("GET") << 200 << json
                            << QByteArray("\"hosts\":[");
    QTest::newRow("script") << "/static/sentrok.js" << QByteArray("GET") << 200
                            << QByteArray("text/javascript; charset=utf-8")
                            << QByteArray("/api/v1/status");
    QTest::newRow("style") << "/static/sentrok.css" << QByteArray("GET") << 200
                           << QByteArray("text/css; charset=utf-8") << QByteArray("span.strip");
    QTest::newRow("no such file") << "/static/webserver.cpp" << QByteArray("GET") << 404
                                  << QByteArray() << QByteArray();
    QTest::newRow("no such page") << "/admin" << QByteArray("GET") << 404 << html << QByteArray();
    QTest::newRow("no such api") << "/api/v2/status" << QByteArray("GET") << 404 << json
                                 << QByteArray("error");
    QTest::newRow("host page") << "/host/3" << QByteArray("GET") << 200 << html
                               << QByteArray("<svg class=\"chart\"");
    QTest::newRow("host unknown") << "/host/99" << QByteArray("GET") << 404 << html << QByteArray();
    QTest::newRow("host bad period")
        << "/host/3?period=1y" << QByteArray("GET") << 400 << html << QByteArray();
    QTest::newRow("history") << "/api/v1/hosts/3/history" << QByteArray("GET") << 200 << json
                             << QByteArray("\"points\"");
    QTest::newRow("history unknown")
        << "/api/v1/hosts/99/history" << QByteArray("GET") << 404 << json << QByteArray();
    QTest::newRow("events") << "/api/v1/events?after=11" << QByteArray("GET") << 200 << json
                            << QByteArray("\"id\":12");
    QTest::newRow("events after -1")
        << "/api/v1/events?after=-1" << QByteArray("GET") << 400 << json << QByteArray();
    QTest::newRow("events limit 0")
        << "/api/v1/events?limit=0" << QByteArray("GET") << 400 << json << QByteArray();
    QTest::newRow("events limit 1000")
        << "/api/v1/events?limit=1000" << QByteArray("GET") << 200 << json << QByteArray();
    QTest::newRow("events limit 1001")
        << "/api/v1/events?limit=1001" << QByteArray("GET") << 400 << json << QByteArray();
    QTest::newRow("healthz") << "/healthz" << QByteArray("GET") << 200
                             << QByteArray("text/plain; charset=utf-8") << QByteArray("ok");
    for (const char* verb : {"POST", "PUT", "DELETE", "PATCH", "OPTIONS"})
        QTest::newRow(verb) << "/api/v1/status" << QByteArray(verb) << 405 << QByteArray()
                            << QByteArray();
    QTest::newRow("POST healthz") << "/healthz" << QByteArray("POST") << 405 << QByteArray()
                                  << QByteArray();
}

void TestWebServer::routes()
{
    QFETCH(QString, path);
    QFETCH(QByteArray, verb);
    QFETCH(int, status);
    QFETCH(QByteArray, type);
    QFETCH(QByteArray, contains);
    const HttpAnswer a = client().get(path, verb);
    QCOMPARE(a.status, status);
    if (!type.isEmpty()) QCOMPARE(a.header("Content-Type"), type);
    QVERIFY2(a.body.contains(contains), a.body.left(300).constData());
    const QByteArray csp = a.header("Content-Security-Policy");
    QVERIFY(csp.contains("default-src 'self'") && csp.contains("script-src 'self'"));
    QVERIFY(!csp.contains("unsafe-inline") && !csp.contains("http"));
    QCOMPARE(a.header("X-Content-Type-Options"), QByteArray("nosniff"));
    if (status == 405) QCOMPARE(a.header("Allow"), QByteArray("GET, HEAD"));
}

void TestWebServer::headHasNoBody()
{
    const HttpAnswer get = client().get(QStringLiteral("/metrics"));
    const HttpAnswer head = client().get(QStringLiteral("/metrics"), "HEAD");
    QCOMPARE(head.status, 200);
    QVERIFY(head.body.isEmpty());
    QCOMPARE(head.header("Content-Length").toLongLong(), get.body.size());
    // The connection is still usable afterwards: the answer ended where its headers said.
    QCOMPARE(client().get(QStringLiteral("/healthz")).status, 200);
}

void TestWebServer::password_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QByteArray>("authorization");
    QTest::addColumn<int>("status");
    const QByteArray right = (QByteArray("sentrok:") + kPassword).toBase64();
    QTest::newRow("none") << "/" << QByteArray() << 401;
    QTest::newRow("right") << "/"
                           << "Basic " + right << 200;
    QTest::newRow("scheme in lower case") << "/metrics"
                                          << "basic " + right << 200;
    QTest::newRow("wrong password")
        << "/"
        << "Basic " + (QByteArray("sentrok:") + kPassword + "x").toBase64() << 401;
    QTest::newRow("password cut short")
        << "/"
        << "Basic " + (QByteArray("sentrok:") + kPassword.chopped(1)).toBase64() << 401;
    QTest::newRow("second line of the file")
        << "/"
        << "Basic " + QByteArray("sentrok:second line").toBase64() << 401;
    QTest::newRow("wrong user") << "/"
                                << "Basic " + (QByteArray("admin:") + kPassword).toBase64() << 401;
    QTest::newRow("not base64") << "/" << QByteArray("Basic %%%%") << 401;
    QTest::newRow("another scheme") << "/"
                                    << "Bearer " + right << 401;
    QTest::newRow("api") << "/api/v1/status" << QByteArray() << 401;
    QTest::newRow("metrics") << "/metrics" << QByteArray() << 401;
    QTest::newRow("host") << "/host/3" << QByteArray() << 401;
    QTest::newRow("script") << "/static/sentrok.js" << QByteArray() << 401;
    QTest::newRow("healthz needs none") << "/healthz" << QByteArray() << 200;
}

void TestWebServer::password()
{
    QFETCH(QString, path);
    QFETCH(QByteArray, authorization);
    QFETCH(int, status);
    HttpClient c(m_base);
    const HttpAnswer a = authorization.isEmpty()
                             ? c.get(path)
                             : c.get(path, "GET", {{"Authorization", authorization}});
    QCOMPARE(a.status, status);
    if (status == 401) {
        QCOMPARE(a.header("WWW-Authenticate"),
                 QByteArray("Basic realm=\"Sentrok\", charset=\"UTF-8\""));
        QVERIFY(!a.body.contains("192.0.2"));
    }
}

void TestWebServer::hostileTextStaysText()
{
    const HttpAnswer page = client().get(QStringLiteral("/"));
    QVERIFY(!page.body.contains("<script>window.pwned"));
    QVERIFY(!page.body.contains("<img src=x"));
    QVERIFY(page.body.contains(
        "&lt;script&gt;window.pwned=1&lt;/script&gt;&lt;img src=x onerror=&quot;pwned=2&quot;&gt; "
        "&amp; &#39;q&#39;"));
    // The only scripts of a page are the server's own file.
    QCOMPARE(page.body.count("<script"), 1);
    QVERIFY(client().get(QStringLiteral("/host/3")).body.contains("&lt;script&gt;"));

    const QJsonDocument status =
        QJsonDocument::fromJson(client().get(QStringLiteral("/api/v1/status")).body);
    QVERIFY(status.isObject());
    const QJsonArray hosts = status.object().value(QLatin1String("hosts")).toArray();
    QCOMPARE(hosts.size(), 4);
    QCOMPARE(hosts[2].toObject().value(QLatin1String("description")).toString(), kHostileText);
    QCOMPARE(hosts[0].toObject().value(QLatin1String("description")).toString(),
             QStringLiteral("Коммутатор \"этаж\" 2"));

    const QByteArray metrics = client().get(QStringLiteral("/metrics")).body;
    QVERIFY(metrics.contains(QStringLiteral("description=\"Коммутатор \\\"этаж\\\" 2\"").toUtf8()));
}

void TestWebServer::unchangedStatusIsNotSentAgain()
{
    for (const QString& path : {QStringLiteral("/api/v1/status"), QStringLiteral("/")}) {
        const HttpAnswer first = client().get(path);
        const QByteArray etag = first.header("ETag");
        QVERIFY(!etag.isEmpty());
        const HttpAnswer again = client().get(path, "GET", {{"If-None-Match", etag}});
        QCOMPARE(again.status, 304);
        QVERIFY(again.body.isEmpty());
    }
    const QByteArray before = client().get(QStringLiteral("/api/v1/status")).header("ETag");
    m_status->publish(sampleSnapshot(m_clock.now().toMSecsSinceEpoch()));
    const HttpAnswer after =
        client().get(QStringLiteral("/api/v1/status"), "GET", {{"If-None-Match", before}});
    QCOMPARE(after.status, 200);
    QVERIFY(after.header("ETag") != before);
}

void TestWebServer::eventsFromSnapshotOrDatabase_data()
{
    QTest::addColumn<QString>("query");
    QTest::addColumn<bool>("asksDatabase");
    QTest::addColumn<QList<qint64>>("ids");
    QTest::addColumn<qint64>("lastId");
    QTest::addColumn<bool>("more");
    // The snapshot keeps every event after 10: events 11, 12, 13. The database gives 8, 9, 10.
    QTest::newRow("all kept") << "after=10" << false << QList<qint64>{11, 12, 13} << qint64(13)
                              << false;
    QTest::newRow("newest") << "after=12" << false << QList<qint64>{13} << qint64(13) << false;
    QTest::newRow("nothing new") << "after=13" << false << QList<qint64>{} << qint64(13) << false;
    QTest::newRow("limited") << "after=10&limit=2" << false << QList<qint64>{11, 12} << qint64(12)
                             << true;
    QTest::newRow("numbering started again")
        << "after=50" << false << QList<qint64>{} << qint64(13) << false;
    QTest::newRow("older than kept")
        << "after=9" << true << QList<qint64>{8, 9, 10} << qint64(10) << false;
    QTest::newRow("older, limited")
        << "after=7&limit=2" << true << QList<qint64>{8, 9} << qint64(9) << true;
}

void TestWebServer::eventsFromSnapshotOrDatabase()
{
    QFETCH(QString, query);
    QFETCH(bool, asksDatabase);
    QFETCH(QList<qint64>, ids);
    QFETCH(qint64, lastId);
    QFETCH(bool, more);
    for (qint64 id : {8, 9, 10})
        m_status->events.events.push_back({id, 1, {}, {}, HostState::Up, 0, 3});
    const HttpAnswer a = client().get(QStringLiteral("/api/v1/events?") + query);
    QCOMPARE(a.status, 200);
    QCOMPARE(m_status->eventQueries.empty(), !asksDatabase);
    const QJsonObject o = QJsonDocument::fromJson(a.body).object();
    QList<qint64> got;
    for (const QJsonValue& e : o.value(QLatin1String("events")).toArray())
        got << e.toObject().value(QLatin1String("id")).toInteger();
    QCOMPARE(got, ids);
    QCOMPARE(o.value(QLatin1String("last_id")).toInteger(), lastId);
    QCOMPARE(o.value(QLatin1String("more")).toBool(), more);
}

void TestWebServer::historyTimes_data()
{
    QTest::addColumn<QString>("query");
    QTest::addColumn<int>("status");
    QTest::addColumn<qint64>("fromMs");
    QTest::addColumn<qint64>("toMs");
    const qint64 now = QDateTime(QDate(2026, 3, 2), QTime(12, 0, 0)).toMSecsSinceEpoch();
    QTest::newRow("the last day") << "" << 200 << now - 86'400'000 << now;
    QTest::newRow("seconds") << "from=1000&to=2000" << 200 << qint64(1'000'000)
                             << qint64(2'000'000);
    QTest::newRow("with offset")
        << "from=2026-03-01T10:00:00%2B03:00&to=2026-03-01T10:30:00Z" << 200
        << QDateTime(QDate(2026, 3, 1), QTime(7, 0), QTimeZone::utc()).toMSecsSinceEpoch()
        << QDateTime(QDate(2026, 3, 1), QTime(10, 30), QTimeZone::utc()).toMSecsSinceEpoch();
    QTest::newRow("offset's + unescaped")
        << "from=2026-03-01T10:00:00+03:00&to=1772400000" << 200
        << QDateTime(QDate(2026, 3, 1), QTime(7, 0), QTimeZone::utc()).toMSecsSinceEpoch()
        << qint64(1'772'400'000'000);
    QTest::newRow("31 days") << "from=0&to=2678400" << 200 << qint64(0) << qint64(2'678'400'000);
    QTest::newRow("a second more") << "from=0&to=2678401" << 400 << qint64(0) << qint64(0);
    QTest::newRow("empty period") << "from=100&to=100" << 400 << qint64(0) << qint64(0);
    QTest::newRow("backwards") << "from=200&to=100" << 400 << qint64(0) << qint64(0);
    QTest::newRow("not a time") << "from=yesterday" << 400 << qint64(0) << qint64(0);
}

void TestWebServer::historyTimes()
{
    QFETCH(QString, query);
    QFETCH(int, status);
    QFETCH(qint64, fromMs);
    QFETCH(qint64, toMs);
    const HttpAnswer a = client().get(QStringLiteral("/api/v1/hosts/3/history?") + query);
    QCOMPARE(a.status, status);
    const std::vector<web::HostQuery> asked = m_status->takeQueries();
    QCOMPARE(asked.size(), std::size_t(status == 200));
    if (status != 200) return;
    QCOMPARE(asked[0].id, qint64(3));
    QCOMPARE(asked[0].fromMs, fromMs);
    QCOMPARE(asked[0].toMs, toMs);
}

void TestWebServer::answersInTheOrderAsked()
{
    m_server.reset();
    startWith(loopback());
    // The first needs the database (slow), the second not: the second still comes second.
    m_status->delayMs = 300;
    const QByteArray got =
        rawExchange(m_server->port(),
                    "GET /api/v1/hosts/3/history HTTP/1.1\r\nHost: x\r\n\r\n"
                    "GET /healthz HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n",
                    5000);
    const qsizetype history = got.indexOf("\"points\""), health = got.indexOf("\r\n\r\nok\n");
    QVERIFY2(history > 0 && health > history, got.constData());
    QCOMPARE(got.count("HTTP/1.1 200"), 2);
}

void TestWebServer::busyDatabase()
{
    m_status->busy = true;
    for (const QString& path :
         {QStringLiteral("/api/v1/hosts/3/history"), QStringLiteral("/host/3"),
          QStringLiteral("/api/v1/events?after=1")}) {
        const HttpAnswer a = client().get(path);
        QCOMPARE(a.status, 503);
        QCOMPARE(a.header("Retry-After"), QByteArray("1"));
    }
    // What the snapshot answers does not wait for the database.
    QCOMPARE(client().get(QStringLiteral("/api/v1/status")).status, 200);
}

void TestWebServer::nothingKnownYet()
{
    m_server.reset();
    m_status = std::make_unique<FakeStatus>();
    startWith(loopback());
    HttpClient c(m_base);
    const HttpAnswer page = c.get(QStringLiteral("/"));
    QCOMPARE(page.status, 200);
    QVERIFY(page.body.contains("ещё не прочитано"));
    QVERIFY(page.body.contains("/static/sentrok.js"));
    QCOMPARE(c.get(QStringLiteral("/api/v1/status")).status, 503);
    QCOMPARE(c.get(QStringLiteral("/metrics")).status, 503);
    const HttpAnswer health = c.get(QStringLiteral("/healthz"));
    QCOMPARE(health.status, 503);
    QVERIFY(health.body.contains("ещё не прочитано"));
}

void TestWebServer::passwordFile_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<int>("mode");
    QTest::addColumn<bool>("link");
    QTest::addColumn<int>("owner");      // -1: the test's own user
    QTest::addColumn<QString>("words");  // empty: taken
    const QByteArray line = "secret\n";
    QTest::newRow("owner only") << line << 0600 << false << -1 << "";
    QTest::newRow("read only") << line << 0400 << false << -1 << "";
    QTest::newRow("group may read") << line << 0640 << false << -1 << "chmod 600";
    QTest::newRow("others may read") << line << 0604 << false << -1 << "chmod 600";
    QTest::newRow("others may write") << line << 0602 << false << -1 << "chmod 600";
    QTest::newRow("another user's") << line << 0600 << false << 65534 << "другому пользователю";
    QTest::newRow("empty first line") << "\nsecret\n" + line << 0600 << false << -1 << "нет пароля";
    QTest::newRow("through a link") << line << 0600 << true << -1 << "символическая ссылка";
    QTest::newRow("64 KB") << line + QByteArray(64 * 1024 - line.size(), 'x') << 0600 << false << -1
                           << "";
    QTest::newRow("a byte more") << line + QByteArray(64 * 1024 + 1 - line.size(), 'x') << 0600
                                 << false << -1 << "больше";
    QTest::newRow("missing") << QByteArray() << 0 << false << -1 << "не найден";
}

void TestWebServer::passwordFile()
{
    QFETCH(QByteArray, content);
    QFETCH(int, mode);
    QFETCH(bool, link);
    QFETCH(int, owner);
    QFETCH(QString, words);
    m_server.reset();
    QString path = m_dir.filePath(QStringLiteral("refused"));
    QFile::remove(path);
    if (mode) {
        path = writeFile(m_dir, QStringLiteral("refused"), content);
        QVERIFY(::chmod(QFile::encodeName(path).constData(), mode_t(mode)) == 0);
    }
    if (owner >= 0 && ::chown(QFile::encodeName(path).constData(), uid_t(owner), gid_t(-1)) != 0)
        QSKIP("only root may give a file to another user");
    if (link) {
        const QString target = path;
        path = m_dir.filePath(QStringLiteral("refused-link"));
        QFile::remove(path);
        QVERIFY(QFile::link(target, path));
    }
    web::WebServer server(*m_status, m_clock);
    const QString error = server.start(loopback(path));
    QCOMPARE(server.running(), words.isEmpty());
    QVERIFY2(error.contains(words), qPrintable(error));
    QVERIFY(!error.contains(QLatin1String("secret")));
}

void TestWebServer::requestSize_data()
{
    QTest::addColumn<int>("extra");
    QTest::addColumn<bool>("answered");
    QTest::newRow("at the limit") << 0 << true;
    QTest::newRow("one byte over") << 1 << false;
}

void TestWebServer::requestSize()
{
    QFETCH(int, extra);
    QFETCH(bool, answered);
    m_server.reset();
    web::WebOptions o = loopback();
    o.limits.maxRequestBytes = 2048;
    startWith(o);
    QByteArray request =
        "GET /healthz HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\nX-Filler: ";
    request += QByteArray(2048 + extra - request.size() - 4, 'a') + "\r\n\r\n";
    QCOMPARE(request.size(), 2048 + extra);
    bool closed = false;
    const QByteArray got = rawExchange(m_server->port(), request, 5000, &closed);
    QVERIFY2(got.startsWith(answered ? "HTTP/1.1 200" : "HTTP/1.1 413"), got.constData());
    QVERIFY(closed);
}

void TestWebServer::connectionLimit()
{
    m_server.reset();
    web::WebOptions o = loopback();
    o.limits.maxConnections = 3;
    startWith(o);
    std::vector<std::unique_ptr<QTcpSocket>> open;
    for (int i = 0; i < 3; ++i) {
        open.push_back(std::make_unique<QTcpSocket>());
        open.back()->connectToHost(QStringLiteral("127.0.0.1"), m_server->port());
        QVERIFY(open.back()->waitForConnected(5000));
    }
    bool closed = false;
    const QByteArray refused =
        rawExchange(m_server->port(), "GET /healthz HTTP/1.1\r\nHost: x\r\n\r\n", 5000, &closed);
    QVERIFY2(refused.startsWith("HTTP/1.1 503"), refused.constData());
    QVERIFY(closed);
    QCOMPARE(m_server->openConnections(), 3);
    // One goes: its place is free again.
    open.pop_back();
    QTRY_COMPARE_WITH_TIMEOUT(m_server->openConnections(), 2, 10000);
    const QByteArray ask = "GET /healthz HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n";
    QVERIFY(rawExchange(m_server->port(), ask, 5000).startsWith("HTTP/1.1 200"));
}

void TestWebServer::slowClientsAreCutOff_data()
{
    QTest::addColumn<QByteArray>("sent");
    QTest::newRow("idle, never asks") << QByteArray();
    QTest::newRow("half a request") << QByteArray("GET /healthz HTTP/1.1\r\nHost: x\r\n");
    QTest::newRow("idle after an answer") << QByteArray("GET /healthz HTTP/1.1\r\nHost: x\r\n\r\n");
}

void TestWebServer::slowClientsAreCutOff()
{
    QFETCH(QByteArray, sent);
    m_server.reset();
    web::WebOptions o = loopback();
    o.limits.idleTimeoutMs = 400;
    o.limits.requestTimeoutMs = 400;
    startWith(o);
    bool closed = false;
    const QByteArray got = rawExchange(m_server->port(), sent, 8000, &closed);
    QVERIFY(closed);
    QCOMPARE(got.startsWith("HTTP/1.1 200"), sent.endsWith("\r\n\r\n"));
}

void TestWebServer::dripFedRequestIsCutOff()
{
    m_server.reset();
    web::WebOptions o = loopback();
    o.limits.requestTimeoutMs = 500;
    startWith(o);
    QTcpSocket s;
    s.connectToHost(QStringLiteral("127.0.0.1"), m_server->port());
    QVERIFY(s.waitForConnected(5000));
    // A byte every 100 ms: each comes long before any wait for the next would end, so only a
    // bound on the whole request stops the client from holding the connection for ever.
    const QByteArray request =
        "GET /healthz HTTP/1.1\r\nHost: x\r\nX-Slow: 1234567890123456789012345678901234\r\n\r\n";
    qsizetype sent = 0;
    QTimer drip;
    connect(&drip, &QTimer::timeout, this, [&] {
        if (sent < request.size() && s.state() == QAbstractSocket::ConnectedState)
            s.write(request.mid(sent++, 1));
    });
    drip.start(100);
    QTRY_VERIFY_WITH_TIMEOUT(s.state() == QAbstractSocket::UnconnectedState, 6000);
    QVERIFY(sent < request.size());
    QVERIFY(!s.readAll().contains("200"));
}

void TestWebServer::stalledReaderDelaysNobody()
{
    m_server.reset();
    web::WebOptions o = loopback();
    o.limits.writeTimeoutMs = 6000;
    startWith(o);
    // Metrics too big for every buffer on the way (the system's take megabytes).
    StatusSnapshot big = sampleSnapshot(m_clock.now().toMSecsSinceEpoch());
    for (qint64 id = 100; id < 60'100; ++id)
        big.hosts.push_back({.id = id,
                             .address = QStringLiteral("192.0.2.9"),
                             .description = QStringLiteral("хост %1").arg(id)});
    big.index();
    m_status->publish(big);
    const qint64 whole = client().get(QStringLiteral("/metrics")).body.size();
    QCOMPARE(whole, web::metricsText(big).size());  // sent whole, a piece at a time
    StalledReader stalled(m_server->port(), "GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n");
    QTest::qWait(500);  // the server has written what the buffers take
    // Others are answered while it stalls, long before the server gives up on it.
    QCOMPARE(client().get(QStringLiteral("/healthz"), "GET", {}, 10000).status, 200);
    QVERIFY(stalled.open());
    QTest::qWait(o.limits.writeTimeoutMs + 1500);
    qint64 got = 0;
    QVERIFY(stalled.endedByServer(&got));
    QVERIFY2(got < whole, qPrintable(QStringLiteral("%1 of %2").arg(got).arg(whole)));
}

void TestWebServer::https()
{
    QProcess openssl;
    openssl.setWorkingDirectory(m_dir.path());
    openssl.start(
        QStringLiteral("openssl"),
        {"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
         "-keyout", "key.pem", "-out", "cert.pem", "-days", "2", "-subj", "/CN=127.0.0.1"});
    if (!openssl.waitForFinished(30000) || openssl.exitCode() != 0)
        QSKIP("openssl could not make a certificate");
    const QString key = m_dir.filePath(QStringLiteral("key.pem")),
                  cert = m_dir.filePath(QStringLiteral("cert.pem"));
    m_server.reset();
    web::WebOptions o = loopback(m_passwordFile);
    o.certFile = cert;
    o.keyFile = key;
    // A key others may read is refused, as the password file is.
    QFile::setPermissions(key, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadOther);
    QVERIFY(web::WebServer(*m_status, m_clock).start(o).contains(QLatin1String("chmod 600")));
    QFile::setPermissions(key, QFile::ReadOwner | QFile::WriteOwner);
    o.keyFile.clear();
    QVERIFY(web::WebServer(*m_status, m_clock).start(o).contains(QStringLiteral("закрытый ключ")));
    o.keyFile = key;
    startWith(o);
    QVERIFY(m_server->secure());
    QCOMPARE(client().get(QStringLiteral("/api/v1/status")).status, 200);
    QCOMPARE(HttpClient(m_base).get(QStringLiteral("/api/v1/status")).status, 401);
    m_server.reset();
    o.limits.maxConnections = 1;
    o.limits.handshakeTimeoutMs = 500;
    startWith(o);
    // A client that never shakes hands holds the only place for the handshake's time, then loses
    // it.
    QTcpSocket silent;
    silent.connectToHost(QStringLiteral("127.0.0.1"), m_server->port());
    QVERIFY(silent.waitForConnected(5000));
    QTRY_COMPARE_WITH_TIMEOUT(m_server->openConnections(), 1, 10000);
    QTRY_COMPARE_WITH_TIMEOUT(silent.state(), QAbstractSocket::UnconnectedState, 10000);
    QTRY_COMPARE_WITH_TIMEOUT(m_server->openConnections(), 0, 10000);
    QCOMPARE(client().get(QStringLiteral("/healthz")).status, 200);
    // Plain HTTP to the TLS port gets nothing.
    QCOMPARE(HttpClient(QStringLiteral("http://127.0.0.1:%1").arg(m_server->port()))
                 .get(QStringLiteral("/healthz"), "GET", {}, 3000)
                 .status,
             0);
}

void TestWebServer::ipv6()
{
    if (const QString why = ipv6Unavailable(); !why.isEmpty()) QSKIP(qPrintable(why));
    m_server.reset();
    QString error;
    const auto endpoint = web::parseHttpEndpoint(QStringLiteral("[::1]:1"), &error);
    QVERIFY(endpoint);
    web::WebOptions o;
    o.endpoint = {endpoint->address, 0};
    startWith(o);
    const HttpAnswer a = HttpClient(QStringLiteral("http://[::1]:%1").arg(m_server->port()))
                             .get(QStringLiteral("/healthz"));
    QCOMPARE(a.status, 200);
    // Loopback of one family is not the other's.
    QCOMPARE(HttpClient(QStringLiteral("http://127.0.0.1:%1").arg(m_server->port()))
                 .get(QStringLiteral("/healthz"), "GET", {}, 3000)
                 .status,
             0);
}

QTEST_MAIN(TestWebServer)
#include "tst_webserver.moc"
