// One program's monitoring put together once: the database opened and brought up to date (and an
// upgrade cancelled), the changes fanned out (the mail only where this process checks, the same
// pass told where another one does), the features that plug in, and what the state tells.

#include "../channels/fakehttp.h"
#include "alerts/mailalert.h"
#include "channels/channelmessage.h"
#include "channels/channelsecrets.h"
#include "channels/channelstore.h"
#include "monitor/monitor.h"
#include "monitor/viewer.h"
#include "secrets/secretstore.h"
#include "session/chatalerts.h"
#include "session/session.h"
#include "store/database.h"
#include "store/schema.h"
#include "support/fakeprober.h"
#include "support/fakes.h"
#include "support/testdb.h"
#include "web/statusprovider.h"

#include <QScopeGuard>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>

using namespace sentrok;
using namespace sentrok::test;

Q_DECLARE_METATYPE(sentrok::Condition)

namespace {

// A status bar that only keeps its panels.
class PanelsView final : public MonitorView {
public:
    void PrintStat(const QString& ip, const QString&, const QString&, const QString&,
                   std::uint32_t) override
    {
        rows << ip;
    }
    QString panelText(int p) const override { return panels[p]; }
    void setPanelText(int p, const QString& t) override { panels[p] = t; }
    void setPanelToolTip(int, const QString&) override {}
    void setPanelEnabled(int, bool) override {}
    void setStartEnabled(bool) override {}
    void setBusy(bool) override {}
    void reportCheckFailure(const QString&) override {}
    void clearCheckFailures() override {}
    void setCondition(Condition, const QString&) override {}

    QString panels[6] = {{}, "0", "0", "0", "0", "0%"};
    QStringList rows;
};

// One desktop's part: its probe, boxes, view and session.
struct Desk {
    FakeProber prober;
    FakeMessageBoxes boxes;
    FakeClock clock;
    PanelsView view;
    std::unique_ptr<Session> session;

    Desk(const QString& database, const QString& me, quint16 smtpPort,
         std::optional<web::WebOptions> web = {})
    {
        session = std::make_unique<Session>(SessionDeps{.program = QStringLiteral("sentrok"),
                                                        .database = database,
                                                        .clock = &clock,
                                                        .boxes = &boxes,
                                                        .prober = &prober,
                                                        .smtpPort = smtpPort,
                                                        .leaseHolder = me,
                                                        .follow = true,
                                                        .web = std::move(web)});
    }
};

// A mail server that only counts who connects.
struct Listener {
    QTcpServer server;
    int connections = 0;
    Listener()
    {
        server.listen(QHostAddress::LocalHost);
        QObject::connect(&server, &QTcpServer::newConnection, [this] {
            while (QTcpSocket* s = server.nextPendingConnection()) {
                ++connections;
                s->deleteLater();
            }
        });
    }
};

// A feature that hears the changes and says when it goes.
class Listening final : public QObject {
public:
    Listening(Session& session, QStringList& gone, QString name)
        : m_gone(gone), m_name(std::move(name))
    {
        connect(&session, &Session::changeAnnounced, this,
                [this](const HostChange& c) { heard << c.host.ip; });
    }
    ~Listening() override { m_gone << m_name; }
    QStringList heard;

private:
    QStringList& m_gone;
    QString m_name;
};

// A webhook channel to `to`, its secret in the file SENTROK_SECRETS_FILE names.
void addHook(TestFolder& folder, const FakeHttp& to, const QString& ref)
{
    const ChannelSettings channel{.record = {.id = 0,
                                             .kind = ChannelKind::Webhook,
                                             .name = ref,
                                             .target = {},
                                             .apiUrl = {},
                                             .pin = {},
                                             .enabled = true,
                                             .secretRef = ref},
                                  .secret = to.url(QStringLiteral("/h"))};
    SecretStore store;
    bool written = false;
    writeChannelSecret(store, channel,
                       [&](const QString& e, const QString&) { written = e.isEmpty(); });
    QTRY_VERIFY(written);
    addChannel(folder.db(), channel.record);
}

}  // namespace

class TestSession : public QObject {
    Q_OBJECT
private slots:
    void olderDatabaseUpgradedWhileShown();
    void upgradeCancelledLeavesTheFile();
    void mailOnlyWhereThisProcessChecks();
    void featuresComeAndGoWithTheSession();
    void webToldWhatKeepsChecksOut_data();
    void webToldWhatKeepsChecksOut();
    void chatListsOnlyWhatIsAnnounced_data();
    void chatListsOnlyWhatIsAnnounced();
};

void TestSession::olderDatabaseUpgradedWhileShown()
{
    QTemporaryDir dir;
    const QString place = newDatabasePlace(dir);
    createDatabase(place, 1);
    FakeMessageBoxes boxes;
    FakeClock clock;
    QList<int> began, steps;
    int ended = 0;
    const UpgradeProgress shown{.begins = [&](int from, int to) { began << from << to; },
                                .report =
                                    [&](int version, const QString&, qint64, qint64) {
                                        if (steps.isEmpty() || steps.last() != version)
                                            steps << version;
                                    },
                                .ends = [&] { ++ended; }};
    const SessionDeps deps{.program = QStringLiteral("sentrok-db"),
                           .database = place,
                           .clock = &clock,
                           .boxes = &boxes};
    {
        Session session(deps);
        QVERIFY(session.open(shown));
        QCOMPARE(schemaVersion(session.database()), kSchemaVersion);
    }
    QCOMPARE(began, QList<int>({1, kSchemaVersion}));
    QList<int> every;  // each step from the first file's version on, once
    for (int v = 2; v <= kSchemaVersion; ++v) every << v;
    QCOMPARE(steps, every);
    QCOMPARE(ended, 1);
    // Once brought up to date, a database is opened without a word.
    Session again(deps);
    QVERIFY(again.open(shown));
    QCOMPARE(began.size(), 2);
    QCOMPARE(ended, 1);
}

// "Отмена" at the start of the upgrade: nothing of the file changes and nothing is opened.
void TestSession::upgradeCancelledLeavesTheFile()
{
    QTemporaryDir dir;
    const QString place = newDatabasePlace(dir);
    createDatabase(place, 1);
    FakeMessageBoxes boxes;
    FakeClock clock;
    Session session({.program = QStringLiteral("sentrok"),
                     .database = place,
                     .clock = &clock,
                     .boxes = &boxes});
    QVERIFY(!session.open({.begins = [&](int, int) { session.cancelUpgrade(); }}));
    QVERIFY(!session.isOpen());
    Database db(place, Database::uniqueName("t"));
    QCOMPARE(schemaVersion(db), 1);
}

// Two desktops on one database: the one that checks mails the pass's changes and sends them to the
// chat channel, the one that follows tells the same pass with the same text and sends nothing; each
// knows who checks without asking the database.
void TestSession::mailOnlyWhereThisProcessChecks()
{
    TestFolder folder;
    folder.addHost("10.0.0.1", "Router");
    folder.db().execute(
        "insert into emails (smtp,[from],email,[desc]) values "
        "('127.0.0.1','monitor@example.org','admin@example.org','')");
    Listener mailA, mailB;
    FakeHttp hook;
    QTemporaryDir secretsFolder;
    qputenv(SecretStore::kFileVariable, secretsFolder.filePath("secrets.json").toUtf8());
    const auto unset = qScopeGuard([] { qunsetenv(SecretStore::kFileVariable); });
    addHook(folder, hook, QStringLiteral("channel:s"));
    Desk a(folder.dbFile(), "sentrok на a, pid 1", mailA.server.serverPort());
    QVERIFY(a.session->open());
    a.session->start(&a.view);
    QTRY_VERIFY_WITH_TIMEOUT(a.session->monitor()->active(), 10000);
    Desk b(folder.dbFile(), "sentrok на b, pid 2", mailB.server.serverPort());
    QVERIFY(b.session->open());
    b.session->start(&b.view);
    QTRY_VERIFY_WITH_TIMEOUT(b.session->viewer(), 10000);

    QSignalSpy checked(a.session.get(), &Session::passAnnounced);
    QSignalSpy followed(b.session.get(), &Session::passAnnounced);
    a.prober.answers["10.0.0.1"] = silent();
    QVERIFY(a.session->monitor()->RunCheckPass());
    QTRY_COMPARE_WITH_TIMEOUT(checked.size(), 1, 5000);
    QTRY_COMPARE_WITH_TIMEOUT(followed.size(), 1, 10000);
    const QString text = checked.at(0).at(0).value<PassReport>().alertText;
    QCOMPARE(text, QStringLiteral("NO CONNECT\r\nRouter[10.0.0.1]\r\n\r\nCONNECT\r\n"));
    QCOMPARE(followed.at(0).at(0).value<PassReport>().alertText, text);
    QCOMPARE(b.view.rows, QStringList{"10.0.0.1"});
    QTRY_COMPARE(mailA.connections, 1);
    QTRY_COMPARE(hook.seen.size(), 1);
    QTest::qWait(200);
    QCOMPARE(mailB.connections, 0);
    QCOMPARE(hook.seen.size(), 1);
    QVERIFY(a.session->chats());
    QVERIFY(!b.session->chats());

    const SessionState checking = a.session->state(), following = b.session->state();
    QVERIFY(checking.checking);
    QCOMPARE(checking.checkedBy, QStringLiteral("sentrok на a, pid 1"));
    QCOMPARE(checking.hosts, QStringLiteral("1"));
    QCOMPARE(checking.failed, QStringLiteral("1"));
    QVERIFY(!following.checking);
    QCOMPARE(following.checkedBy, QStringLiteral("sentrok на a, pid 1"));
    QCOMPARE(following.lastReport->alertText, text);
    // A channel added while it runs has the next pass's news.
    FakeHttp later;
    addHook(folder, later, QStringLiteral("channel:later"));
    a.prober.answers["10.0.0.1"] = reply("3");
    QVERIFY(a.session->monitor()->RunCheckPass());
    QTRY_COMPARE_WITH_TIMEOUT(later.seen.size(), 1, 5000);
}

void TestSession::featuresComeAndGoWithTheSession()
{
    TestFolder folder;
    folder.addHost("10.0.0.1", "Router");
    Desk desk(folder.dbFile(), {}, 1);
    QStringList gone;
    Listening* early = nullptr;
    Listening* late = nullptr;
    desk.session->addFeature([&](Session& s) {
        auto feature = std::make_unique<Listening>(s, gone, "early");
        early = feature.get();
        return feature;
    });
    QVERIFY(desk.session->open());
    QVERIFY(!early);  // made when the session starts, not before
    desk.session->start(&desk.view);
    QVERIFY(early);
    desk.session->addFeature([&](Session& s) {
        auto feature = std::make_unique<Listening>(s, gone, "late");
        late = feature.get();
        return feature;
    });
    QVERIFY(late);
    desk.prober.answers["10.0.0.1"] = silent();
    QSignalSpy done(desk.session->monitor(), &Monitor::passFinished);
    QVERIFY(desk.session->monitor()->RunCheckPass());
    QVERIFY(done.wait(5000));
    QCOMPARE(early->heard, QStringList{"10.0.0.1"});
    QCOMPARE(late->heard, QStringList{"10.0.0.1"});
    desk.session->stop();
    QCOMPARE(gone, QStringList({"late", "early"}));
}

void TestSession::webToldWhatKeepsChecksOut_data()
{
    QTest::addColumn<Condition>("condition");
    QTest::addColumn<bool>("problem");  // /healthz answers 503 while it lasts
    QTest::newRow("recording waits") << Condition::RecordingWaits << true;
    QTest::newRow("database gone") << Condition::DatabaseGone << true;
    QTest::newRow("no ICMP socket") << Condition::NoIcmpSocket << true;
    QTest::newRow("no lease") << Condition::NoLease << true;
    QTest::newRow("following another") << Condition::Viewing << false;
    QTest::newRow("new database") << Condition::NewDatabase << false;
    QTest::newRow("chat channels failing") << Condition::ChannelsFailing << false;
}

// The conditions the program shows reach the web's problems, each by its first line, while they
// last; a second condition, always a problem, marks when the first has been told.
void TestSession::webToldWhatKeepsChecksOut()
{
    QFETCH(Condition, condition);
    QFETCH(bool, problem);
    TestFolder folder;
    web::WebOptions options;
    options.endpoint.address = QHostAddress::LocalHost;  // port 0: whichever is free
    Desk desk(folder.dbFile(), {}, 1, options);
    QVERIFY(desk.session->open());
    desk.session->start(&desk.view);
    QVERIFY2(desk.session->webProblem().isEmpty(), qPrintable(desk.session->webProblem()));
    web::StatusProvider* provider = desk.session->statusProvider();
    QVERIFY(provider);
    const auto problems = [provider] {
        const auto s = provider->snapshot();
        return s ? s->problems : QStringList{"(none yet)"};
    };
    const Condition marker =
        condition == Condition::DatabaseGone ? Condition::RecordingWaits : Condition::DatabaseGone;
    desk.session->setCondition(condition, "it happened\nwhat to do");
    desk.session->setCondition(marker, "marker");
    QStringList expected{"marker"};
    if (problem) {
        if (condition < marker)
            expected.prepend("it happened");
        else
            expected.append("it happened");
    }
    QTRY_COMPARE_WITH_TIMEOUT(problems(), expected, 10'000);
    // A database of its own, no lease asked for: this process is the one checking.
    QVERIFY(provider->snapshot()->monitoring);
    desk.session->setCondition(condition, {});
    QTRY_COMPARE_WITH_TIMEOUT(problems(), QStringList{"marker"}, 10'000);
}

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    TestSession tests;
    return runOnBothEngines(&tests, argc, argv);
}

Q_DECLARE_METATYPE(sentrok::ChangeKind)

void TestSession::chatListsOnlyWhatIsAnnounced_data()
{
    QTest::addColumn<ChangeKind>("kind");
    QTest::addColumn<int>("down");
    QTest::addColumn<int>("up");
    QTest::newRow("down") << ChangeKind::Down << 1 << 0;
    QTest::newRow("unreachable, under its ancestor") << ChangeKind::Unreachable << 1 << 0;
    QTest::newRow("up") << ChangeKind::Up << 0 << 1;
    QTest::newRow("under maintenance: not sent") << ChangeKind::Maintenance << 0 << 0;
}

// The webhook's lists hold what the mail's lines announce; a change under maintenance is in the
// pass beside them but is nobody's alarm.
void TestSession::chatListsOnlyWhatIsAnnounced()
{
    QFETCH(ChangeKind, kind);
    QFETCH(int, down);
    QFETCH(int, up);
    PassReport report;
    report.alertText = QStringLiteral("192.0.2.1 - router - down");
    report.changes.push_back(
        {.host = {.id = 1, .ip = "192.0.2.1", .desc = "router"}, .kind = ChangeKind::Down});
    report.changes.push_back(
        {.host = {.id = 2, .ip = "192.0.2.2", .desc = "switch"}, .kind = kind});
    const ChannelMessage message = passMessage(report);
    QCOMPARE(message.down.size(), 1 + down);
    QCOMPARE(message.up.size(), up);
}

#include "tst_session.moc"
