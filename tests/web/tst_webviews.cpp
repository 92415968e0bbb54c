// What the web side writes, without a server: escaping for each place a database text goes, the
// listening address, the metrics' format, the order of the page, the chart and /healthz's rules.

#include "web/endpoint.h"
#include "web/escape.h"
#include "web/timetext.h"
#include "web/views.h"
#include "webtest.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTest>
#include <QTimeZone>

using namespace sentrok;
using namespace sentrok::test;

namespace {

// When the sample's passes (a minute apart) are late: the interval and two minutes' grace.
constexpr qint64 kDue = 60'000 + 120'000;

}  // namespace

class TestWebViews : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void escaping_data();
    void escaping();
    void jsonStringsStayExact_data();
    void jsonStringsStayExact();
    void endpoints_data();
    void endpoints();
    void times();
    void metricsFormat();
    void pageOrder();
    void maintenanceShownEverywhere();
    void chart_data();
    void chart();
    void health_data();
    void health();
};

void TestWebViews::initTestCase()
{
    // Times are written in the server's local time: a zone with an offset and no summer time.
    qputenv("TZ", "Europe/Moscow");
    tzset();
}

void TestWebViews::escaping_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("html");
    QTest::addColumn<QString>("label");
    QTest::newRow("plain") << QStringLiteral("Шлюз 1") << QStringLiteral("Шлюз 1")
                           << QStringLiteral("Шлюз 1");
    QTest::newRow("markup") << QStringLiteral("<b>&'\"")
                            << QStringLiteral("&lt;b&gt;&amp;&#39;&quot;")
                            << QStringLiteral("<b>&'\\\"");
    QTest::newRow("backslash") << QStringLiteral("a\\b") << QStringLiteral("a\\b")
                               << QStringLiteral("a\\\\b");
    QTest::newRow("line break") << QStringLiteral("a\nb") << QStringLiteral("a\\x0ab")
                                << QStringLiteral("a\\\\x0ab");
    QTest::newRow("escape and reversal")
        << QStringLiteral("a\x1b[31m\u202Eb") << QStringLiteral("a\\x1b[31m\\u202eb")
        << QStringLiteral("a\\\\x1b[31m\\\\u202eb");
}

void TestWebViews::escaping()
{
    QFETCH(QString, text);
    QFETCH(QString, html);
    QFETCH(QString, label);
    QCOMPARE(web::htmlText(text), html);
    QCOMPARE(web::labelValue(text), label);
}

void TestWebViews::jsonStringsStayExact_data()
{
    QTest::addColumn<QString>("text");
    QTest::newRow("hostile") << kHostileText;
    QTest::newRow("controls") << QStringLiteral("a\n\r\t\x01\x1f\"\\b");
    QTest::newRow("line separators") << QStringLiteral("a\u2028b\u2029c");
    QTest::newRow("beyond the plane") << QStringLiteral("сервер 🖥 ok");
}

void TestWebViews::jsonStringsStayExact()
{
    QFETCH(QString, text);
    QByteArray json = "{\"v\":";
    web::appendJsonString(json, text);
    json += '}';
    // Nothing a page or a script could take for markup, nothing a parser could stumble on.
    QVERIFY(!json.contains('<') && !json.contains('>') && !json.contains('\n') &&
            !json.contains("\xe2\x80\xa8"));
    QJsonParseError error{};
    const QJsonDocument d = QJsonDocument::fromJson(json, &error);
    QCOMPARE(error.error, QJsonParseError::NoError);
    QCOMPARE(d.object().value(QLatin1String("v")).toString(), text);
}

void TestWebViews::endpoints_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("address");  // empty: refused
    QTest::addColumn<int>("port");
    QTest::newRow("loopback") << "127.0.0.1:8080"
                              << "127.0.0.1" << 8080;
    QTest::newRow("blanks around") << " 127.0.0.1:9 "
                                   << "127.0.0.1" << 9;
    QTest::newRow("every address") << "[::]:8080"
                                   << "any" << 8080;
    QTest::newRow("IPv4 only") << "0.0.0.0:80"
                               << "0.0.0.0" << 80;
    QTest::newRow("IPv6 loopback") << "[::1]:65535"
                                   << "::1" << 65535;
    QTest::newRow("lowest port") << "192.0.2.1:1"
                                 << "192.0.2.1" << 1;
    QTest::newRow("port 0") << "127.0.0.1:0"
                            << "" << 0;
    QTest::newRow("port 65536") << "127.0.0.1:65536"
                                << "" << 0;
    QTest::newRow("port abc") << "127.0.0.1:abc"
                              << "" << 0;
    QTest::newRow("no port") << "127.0.0.1"
                             << "" << 0;
    QTest::newRow("empty port") << "127.0.0.1:"
                                << "" << 0;
    QTest::newRow("a name") << "localhost:8080"
                            << "" << 0;
    QTest::newRow("short IPv4") << "127.1:8080"
                                << "" << 0;
    QTest::newRow("IPv6 without brackets") << "::1:8080"
                                           << "" << 0;
    QTest::newRow("IPv4 in brackets") << "[127.0.0.1]:8080"
                                      << "" << 0;
    QTest::newRow("unclosed bracket") << "[::1:8080"
                                      << "" << 0;
    QTest::newRow("nothing") << ""
                             << "" << 0;
}

void TestWebViews::endpoints()
{
    QFETCH(QString, text);
    QFETCH(QString, address);
    QFETCH(int, port);
    QString error;
    const std::optional<web::HttpEndpoint> e = web::parseHttpEndpoint(text, &error);
    QCOMPARE(e.has_value(), !address.isEmpty());
    if (!e) {
        QVERIFY(error.contains(QStringLiteral("например")) ||
                error.contains(QStringLiteral("порт")) || error.contains(QStringLiteral("IPv6")));
        return;
    }
    QCOMPARE(e->port, quint16(port));
    QCOMPARE(e->address, address == QLatin1String("any") ? QHostAddress(QHostAddress::Any)
                                                         : QHostAddress(address));
}

void TestWebViews::times()
{
    web::TimeText t;
    const qint64 ms =
        QDateTime(QDate(2026, 3, 2), QTime(7, 8, 9), QTimeZone::utc()).toMSecsSinceEpoch();
    QCOMPARE(t.iso(ms), QStringLiteral("2026-03-02T10:08:09+03:00"));
    QCOMPARE(t.full(ms), QStringLiteral("02.03.2026 10:08:09"));
    QCOMPARE(t.brief(ms), QStringLiteral("02.03 10:08"));
    // Before the epoch, and across a year's end, the calendar still holds.
    QCOMPARE(
        t.full(QDateTime(QDate(1969, 12, 31), QTime(21, 0), QTimeZone::utc()).toMSecsSinceEpoch()),
        QStringLiteral("01.01.1970 00:00:00"));
    QCOMPARE(
        t.full(
            QDateTime(QDate(2024, 2, 29), QTime(20, 59, 59), QTimeZone::utc()).toMSecsSinceEpoch()),
        QStringLiteral("29.02.2024 23:59:59"));
    QCOMPARE(web::spanText(59), QStringLiteral("59 с"));
    QCOMPARE(web::spanText(3599), QStringLiteral("59 мин 59 с"));
    QCOMPARE(web::spanText(86400 + 7200), QStringLiteral("1 д 2 ч"));
}

void TestWebViews::metricsFormat()
{
    const web::StatusSnapshot s = sampleSnapshot(1'700'000'000'000);
    const QString text = QString::fromUtf8(web::metricsText(s));
    // Every family has its help and type before its samples, and each appears once.
    const QRegularExpression sampleLine(
        QStringLiteral("^([a-z_]+?)(_bucket|_sum|_count)?(\\{.*\\})? (\\S+)$"));
    QSet<QString> typed;
    for (const QString& line : text.split(u'\n', Qt::SkipEmptyParts)) {
        if (line.startsWith(QLatin1String("# TYPE "))) {
            const QString name = line.section(u' ', 2, 2);
            QVERIFY2(!typed.contains(name), qPrintable(line));
            typed.insert(name);
            continue;
        }
        if (line.startsWith(u'#')) continue;
        const QRegularExpressionMatch m = sampleLine.match(line);
        QVERIFY2(m.hasMatch(), qPrintable(line));
        QVERIFY2(typed.contains(m.captured(1)) || typed.contains(m.captured(1) + m.captured(2)),
                 qPrintable(line));
    }
    // Unchecked hosts have no state to give; the others have one each.
    QCOMPARE(text.count(QStringLiteral("sentrok_host_up{")), 3);
    QVERIFY(text.contains(QStringLiteral(
        "sentrok_host_up{id=\"1\",address=\"192.0.2.1\",description=\"Маршрутизатор\"} 0")));
    QVERIFY(text.contains(QStringLiteral("sentrok_host_unreachable{id=\"2\"")));
    QVERIFY(text.contains(QStringLiteral("sentrok_host_up{id=\"3\",address=\"198.51.100.7\"")));
    QVERIFY(text.contains(QStringLiteral(
        "description=\"<script>window.pwned=1</script><img src=x onerror=\\\"pwned=2\\\"> "
        "& 'q'\"} 1")));
    QVERIFY(text.contains(QStringLiteral("sentrok_host_reply_seconds{id=\"3\"")));
    QVERIFY(text.contains(QStringLiteral(",result=\"failed\"} 3")));
    QCOMPARE(text.count(QStringLiteral("sentrok_checks_total{")), 8);
    // The histogram: bucket k holds whole milliseconds up to bucketLow(k + 1) - 1, counts add up.
    QVERIFY(text.contains(QStringLiteral("sentrok_reply_seconds_bucket{le=\"0.002\"} 0\n")));
    QVERIFY(text.contains(QStringLiteral("sentrok_reply_seconds_bucket{le=\"0.003\"} 5\n")));
    QVERIFY(text.contains(QStringLiteral("sentrok_reply_seconds_bucket{le=\"0.013\"} 5\n")));
    QVERIFY(text.contains(QStringLiteral("sentrok_reply_seconds_bucket{le=\"0.015\"} 7\n")));
    QVERIFY(text.contains(QStringLiteral("sentrok_reply_seconds_bucket{le=\"+Inf\"} 7\n")));
    QVERIFY(text.contains(QStringLiteral("sentrok_reply_seconds_sum 0.041\n")));
    QVERIFY(text.contains(QStringLiteral("sentrok_reply_seconds_count 7\n")));
    QVERIFY(text.contains(QStringLiteral("sentrok_pass_duration_seconds 11.5\n")));
    QVERIFY(text.contains(QStringLiteral("sentrok_last_pass_timestamp_seconds 1699999991.5\n")));
    QVERIFY(text.contains(QStringLiteral("sentrok_monitor_active 1\n")));
    QVERIFY(text.contains(QStringLiteral("sentrok_hosts{state=\"unreachable\"} 1\n")));
}

// A host under maintenance says so in the JSON, the metrics and the page, its comment escaped like
// every text from the database; the others say they are not.
void TestWebViews::maintenanceShownEverywhere()
{
    web::StatusSnapshot s = sampleSnapshot(1'700'000'000'000);
    s.hosts[1].underMaintenance = true;  // the router, id 1
    s.hosts[1].maintenance = kHostileText;
    s.index();
    const QString metrics = QString::fromUtf8(web::metricsText(s));
    QVERIFY(
        metrics.contains(QStringLiteral("sentrok_host_maintenance{id=\"1\",address=\"192.0.2.1\","
                                        "description=\"Маршрутизатор\"} 1")));
    QCOMPARE(metrics.count(QStringLiteral("sentrok_host_maintenance{")), int(s.hosts.size()));
    QCOMPARE(
        metrics.count(QRegularExpression(QStringLiteral("sentrok_host_maintenance\\{.*\\} 1\n"))),
        1);
    const QJsonArray hosts = QJsonDocument::fromJson(web::statusJson(s))
                                 .object()
                                 .value(QStringLiteral("hosts"))
                                 .toArray();
    int shown = 0;
    for (const QJsonValue& h : hosts) {
        const QJsonValue m = h.toObject().value(QStringLiteral("maintenance"));
        if (h.toObject().value(QStringLiteral("id")).toInt() == 1) {
            QCOMPARE(m.toString(), kHostileText);
            ++shown;
        } else {
            QVERIFY(m.isNull());
        }
    }
    QCOMPARE(shown, 1);
    const QString page = QString::fromUtf8(web::statusPage(&s));
    QCOMPARE(page.count(QStringLiteral("class=\"maint\"")), 1);
    QVERIFY(page.contains(QStringLiteral("title=\"&lt;script&gt;")));
    QVERIFY(!page.contains(QStringLiteral("<script>window.pwned")));
}

void TestWebViews::pageOrder()
{
    web::StatusSnapshot s = sampleSnapshot(1'700'000'000'000);
    // A second down router with a chain behind it, and an unreachable host whose ancestor is up.
    HostStatus r2{
        .id = 5, .address = {}, .description = QStringLiteral("Р2"), .state = HostState::Down};
    HostStatus c1{.id = 6,
                  .address = {},
                  .description = QStringLiteral("Р2-1"),
                  .state = HostState::Unreachable,
                  .downAncestor = 5};
    HostStatus c2{.id = 7,
                  .address = {},
                  .description = QStringLiteral("Р2-1-1"),
                  .state = HostState::Unreachable,
                  .downAncestor = 6};
    HostStatus stray{.id = 8,
                     .address = {},
                     .description = QStringLiteral("Я"),
                     .state = HostState::Unreachable,
                     .downAncestor = 3};
    s.hosts.insert(s.hosts.begin(), {c2, c1, r2, stray});
    s.index();
    const web::PageSections p = web::pageSections(s);
    QList<std::pair<qint64, int>> down;
    for (const web::PageRow& r : p.down) down.push_back({r.host->id, r.depth});
    QCOMPARE(down, (QList<std::pair<qint64, int>>{{5, 0}, {6, 1}, {7, 2}, {1, 0}, {2, 1}, {8, 0}}));
    QCOMPARE(p.up.size(), std::size_t(1));
    QCOMPARE(p.unchecked.size(), std::size_t(1));
}

void TestWebViews::chart_data()
{
    QTest::addColumn<QList<qint64>>("replies");  // one a minute from the start; -1 failed, -2 none
    QTest::addColumn<int>("lines");
    QTest::addColumn<int>("dots");
    QTest::addColumn<bool>("failures");
    QTest::newRow("no checks") << QList<qint64>{} << 0 << 0 << false;
    QTest::newRow("steady") << QList<qint64>{3, 4, 5, 4, 3} << 1 << 0 << false;
    QTest::newRow("a check alone") << QList<qint64>{7} << 0 << 1 << false;
    QTest::newRow("a gap breaks the line")
        << QList<qint64>{3, 4, 5, -2, -2, -2, -2, -2, -2, -2, -2, -2, -2, 4, 3} << 2 << 0 << false;
    QTest::newRow("failures marked") << QList<qint64>{3, -1, -1, 4} << 1 << 0 << true;
}

void TestWebViews::chart()
{
    QFETCH(QList<qint64>, replies);
    QFETCH(int, lines);
    QFETCH(int, dots);
    QFETCH(bool, failures);
    const qint64 from = 1'700'000'000'000, to = from + 30 * 60'000;
    HostHistory h;
    for (qsizetype i = 0; i < replies.size(); ++i)
        if (replies[i] != -2) h.points.push_back({from + i * 60'000, replies[i], false});
    const QString svg = web::replyChart(h, from, to);
    QVERIFY(svg.startsWith(QLatin1String("<svg")) && svg.endsWith(QLatin1String("</svg>")));
    QCOMPARE(svg.count(QLatin1String("<polyline")), lines);
    QCOMPARE(svg.count(QLatin1String("<circle")), dots);
    QCOMPARE(svg.contains(QLatin1String("class=\"failed\"")), failures);
    QCOMPARE(svg.contains(QStringLiteral("Нет проверок")), replies.isEmpty());
}

void TestWebViews::health_data()
{
    QTest::addColumn<qint64>("sinceLastMs");  // since the latest sign of the passes
    QTest::addColumn<qint64>("sinceLookMs");  // since the database was last read
    QTest::addColumn<QStringList>("problems");
    QTest::addColumn<int>("expected");  // problems told
    QTest::newRow("well") << qint64(1000) << qint64(0) << QStringList{} << 0;
    QTest::newRow("pass just in time") << kDue << qint64(0) << QStringList{} << 0;
    QTest::newRow("pass late") << kDue + 1 << qint64(0) << QStringList{} << 1;
    QTest::newRow("database read just in time")
        << qint64(1000) << qint64(30'000) << QStringList{} << 0;
    QTest::newRow("database unread") << qint64(1000) << qint64(30'001) << QStringList{} << 1;
    QTest::newRow("told by the program")
        << qint64(1000) << qint64(0) << QStringList{QStringLiteral("x")} << 1;
    QTest::newRow("everything") << kDue + 1 << qint64(30'001) << QStringList{QStringLiteral("x")}
                                << 3;
}

void TestWebViews::health()
{
    QFETCH(qint64, sinceLastMs);
    QFETCH(qint64, sinceLookMs);
    QFETCH(QStringList, problems);
    QFETCH(int, expected);
    const qint64 now = 1'700'000'000'000;
    web::StatusSnapshot s = sampleSnapshot(now);
    s.lastPass->finishedMs = now - sinceLastMs;
    s.newestCheckMs = now - sinceLastMs - 5;
    s.problems = problems;
    QCOMPARE(web::healthProblems(&s, now - sinceLookMs, now, now - 10'000'000).size(), expected);
    // A pass under way, or a program just started, is a sign of life too.
    s.runningPass = web::PassInfo{8, {}, now - 1000, -1, 0, 0};
    QCOMPARE(web::healthProblems(&s, now - sinceLookMs, now, now - 10'000'000).size(),
             expected - (sinceLastMs > kDue ? 1 : 0));
    s.runningPass.reset();
    QCOMPARE(web::healthProblems(&s, now - sinceLookMs, now, now - 1000).size(),
             expected - (sinceLastMs > kDue ? 1 : 0));
}

QTEST_GUILESS_MAIN(TestWebViews)
#include "tst_webviews.moc"
