// The snapshots made from a real database (an SQLite file, then PostgreSQL): states, counters that
// carry on without counting a check twice, the hour strip, the events kept, and the provider's
// thread with its bounded questions.

#include "common/datetext.h"
#include "store/maintenance.h"
#include "storefill.h"
#include "support/fakes.h"
#include "support/testdb.h"
#include "web/statusbuilder.h"
#include "web/storestatus.h"

#include <QSignalSpy>
#include <QTest>

using namespace sentrok;
using namespace sentrok::test;
using web::HostState;

namespace {

const QDateTime kNow(QDate(2026, 3, 2), QTime(12, 30, 0));
qint64 nowMs() { return kNow.toMSecsSinceEpoch(); }
QString ago(qint64 secs) { return storedDateText(kNow.addSecs(-secs)); }

const web::HostStatus& hostOf(const web::StatusSnapshot& s, qint64 id)
{
    static const web::HostStatus none;
    const web::HostStatus* h = s.find(id);
    return h ? *h : none;
}

}  // namespace

class TestWebStore : public QObject {
    Q_OBJECT

private slots:
    void statesOfHosts();
    void countersCarryOn();
    void readInBatches_data();
    void readInBatches();
    void logEmptiedIsReadAfresh();
    void eventsKept();
    void due_data();
    void due();
    void passes();
    void providerPublishesAndAnswers();
    void providerQuestionsAreBounded();
};

void TestWebStore::statesOfHosts()
{
    TestFolder f;
    Database& db = f.db();
    const qint64 up = f.addHost(QStringLiteral("192.0.2.1"), QStringLiteral("Сервер"));
    const qint64 router = f.addHost(QStringLiteral("192.0.2.2"), QStringLiteral("Маршрутизатор"));
    const qint64 behind =
        f.addHost(QStringLiteral("192.0.2.3"), QStringLiteral("За маршрутизатором"));
    const qint64 never = f.addHost(QStringLiteral("192.0.2.4"), QStringLiteral("Новый"));
    const qint64 skipped = f.addHost(QStringLiteral("192.0.2.5"), QStringLiteral("Не проверяется"),
                                     QStringLiteral("0"));
    db.execute(QStringLiteral("update address set parent = ? where id = ?"), {router, behind});
    for (qint64 h : {up, router, behind, skipped}) check(db, h, ago(40 * 86400), 5);
    // Down an hour ago for an hour, back, then down again ten minutes ago.
    outage(db, up, ago(7200), ago(3600));
    check(db, up, ago(60), 7);
    outage(db, router, ago(600));
    check(db, router, ago(60), -1);
    outage(db, behind, ago(300));
    check(db, behind, ago(60), -1);
    outage(db, skipped, ago(300));
    // Work on the router and what is behind it, now; another window is over.
    addMaintenanceWindow(db, {.hostId = router,
                              .withChildren = true,
                              .from = kNow.addSecs(-900),
                              .to = kNow.addSecs(900),
                              .comment = QStringLiteral("замена блока питания")});
    addMaintenanceWindow(db, {.hostId = up,
                              .from = kNow.addSecs(-7200),
                              .to = kNow.addSecs(-1),
                              .comment = QStringLiteral("прошло")});

    web::StatusBuilder b;
    const auto s = b.build(db, nowMs(), {true, {QStringLiteral("запись ждёт")}});
    QCOMPARE(s->hosts.size(), std::size_t(5));
    QCOMPARE(s->hosts.front().description,
             QStringLiteral("За маршрутизатором"));  // ordered by description
    const web::HostStatus& u = hostOf(*s, up);
    QCOMPARE(u.state, HostState::Up);
    QCOMPARE(u.sinceMs, kNow.addSecs(-3600).toMSecsSinceEpoch());
    QCOMPARE(u.replyMs, qint64(7));
    QCOMPARE(u.lastCheckMs, kNow.addSecs(-60).toMSecsSinceEpoch());
    QCOMPARE(*u.availability[0], 1.0 - 3600.0 / 86400.0);
    QCOMPARE(*u.availability[2], 1.0 - 3600.0 / (30 * 86400.0));
    const web::HostStatus& r = hostOf(*s, router);
    QCOMPARE(r.state, HostState::Down);
    QCOMPARE(r.sinceMs, kNow.addSecs(-600).toMSecsSinceEpoch());
    QCOMPARE(r.replyMs, qint64(-1));
    const web::HostStatus& d = hostOf(*s, behind);
    QCOMPARE(d.state, HostState::Unreachable);
    QCOMPARE(d.downAncestor, router);
    QCOMPARE(d.parent, router);
    QVERIFY(r.underMaintenance);
    QCOMPARE(r.maintenance, QStringLiteral("замена блока питания"));
    QVERIFY(d.underMaintenance);
    QVERIFY(!u.underMaintenance);
    QVERIFY(!hostOf(*s, never).underMaintenance);
    QCOMPARE(hostOf(*s, never).state, HostState::Unchecked);
    QCOMPARE(hostOf(*s, never).sinceMs, qint64(-1));
    QCOMPARE(hostOf(*s, skipped).state, HostState::Unchecked);
    QVERIFY(s->monitoring);
    QCOMPARE(s->problems, QStringList{QStringLiteral("запись ждёт")});
    QCOMPARE(s->newestCheckMs, kNow.addSecs(-60).toMSecsSinceEpoch());
}

void TestWebStore::countersCarryOn()
{
    TestFolder f;
    Database& db = f.db();
    const qint64 h = f.addHost(QStringLiteral("192.0.2.1"), QStringLiteral("Сервер"));
    check(db, h, ago(3 * 86400), 4);   // outside the strip
    check(db, h, ago(3600 + 60), -1);  // the hour before this one
    check(db, h, ago(120), 12);
    web::StatusBuilder b;
    auto s = b.build(db, nowMs(), {});
    QCOMPARE(hostOf(*s, h).checksOk, qint64(2));
    QCOMPARE(hostOf(*s, h).checksFailed, qint64(1));
    QCOMPARE(web::stripText(hostOf(*s, h).strip), QString(22, u'-') + QStringLiteral("xo"));
    // Checks recorded after the first snapshot are read from the log alone, once.
    check(db, h, ago(60), -1);
    check(db, h, ago(30), 12);
    s = b.build(db, nowMs(), {});
    s = b.build(db, nowMs(), {});
    const web::HostStatus& t = hostOf(*s, h);
    QCOMPARE(t.checksOk, qint64(3));
    QCOMPARE(t.checksFailed, qint64(2));
    QCOMPARE(t.strip.back().checks, 3);
    QCOMPARE(t.strip.back().failed, 1);
    QCOMPARE(t.replyMs, qint64(12));
    qint64 answered = 0;
    for (qint64 n : s->replyBuckets) answered += n;
    QCOMPARE(answered, qint64(3));
    QCOMPARE(s->replyBuckets[std::size_t(replyBucket(12))], qint64(2));
    QCOMPARE(s->replySumMs, qint64(4 + 12 + 12));
}

void TestWebStore::readInBatches_data()
{
    QTest::addColumn<int>("rows");  // new checks, and new events, read three at a time
    QTest::newRow("fewer than a batch") << 2;
    QTest::newRow("one batch") << 3;
    QTest::newRow("a batch and one") << 4;
    QTest::newRow("two batches") << 6;
}

void TestWebStore::readInBatches()
{
    QFETCH(int, rows);
    TestFolder f;
    Database& db = f.db();
    const qint64 h = f.addHost(QStringLiteral("192.0.2.1"), QStringLiteral("Сервер"));
    check(db, h, ago(600), 3);
    web::StatusBuilder b(10, 3);
    b.build(db, nowMs(), {});
    for (int i = 0; i < rows; ++i) {
        check(db, h, ago(300 - i), 3);
        recordEvent(db, h, i % 2 ? "up" : "down", ago(300 - i));
    }
    const auto s = b.build(db, nowMs(), {});
    QCOMPARE(hostOf(*s, h).checksOk, qint64(1 + rows));
    QCOMPARE(s->recentEvents.size(), std::size_t(rows));
    QCOMPARE(s->lastEventId, s->recentEvents.back().id);
}

void TestWebStore::logEmptiedIsReadAfresh()
{
    TestFolder f;
    Database& db = f.db();
    const qint64 h = f.addHost(QStringLiteral("192.0.2.1"), QStringLiteral("Сервер"));
    for (int i = 0; i < 5; ++i) check(db, h, ago(600 - i), 3);
    web::StatusBuilder b;
    QCOMPARE(hostOf(*b.build(db, nowMs(), {}), h).checksOk, qint64(5));
    db.execute(QStringLiteral("delete from log"));
    db.execute(QStringLiteral("delete from log_hourly"));
    db.execute(QStringLiteral("delete from log_daily"));
    check(db, h, ago(10), 3);
    // The counts of the rows gone are not kept, and the new row is not skipped (on SQLite it may
    // take an old row's key, on PostgreSQL it follows them).
    const auto s = b.build(db, nowMs(), {});
    QCOMPARE(hostOf(*s, h).checksOk, qint64(1));
    QCOMPARE(hostOf(*s, h).lastCheckMs, kNow.addSecs(-10).toMSecsSinceEpoch());
}

void TestWebStore::eventsKept()
{
    TestFolder f;
    Database& db = f.db();
    const qint64 a = f.addHost(QStringLiteral("192.0.2.1"), QStringLiteral("A"));
    const qint64 b = f.addHost(QStringLiteral("192.0.2.2"), QStringLiteral("B"));
    for (int i = 0; i < 5; ++i) recordEvent(db, a, i % 2 ? "up" : "down", ago(600 - i));
    web::StatusBuilder builder(3);
    auto s = builder.build(db, nowMs(), {});
    QCOMPARE(s->recentEvents.size(), std::size_t(3));
    QCOMPARE(s->eventsFloor, s->recentEvents.front().id - 1);
    QCOMPARE(s->lastEventId, s->recentEvents.back().id);
    const qint64 last = s->lastEventId;
    recordEvent(db, b, "down", ago(5), a);
    recordEvent(db, a, "up", ago(4));
    s = builder.build(db, nowMs(), {});
    QCOMPARE(s->lastEventId, last + 2);
    QCOMPARE(s->recentEvents.size(), std::size_t(3));
    QCOMPARE(s->eventsFloor, last - 1);  // the oldest kept is the one before the two new
    QCOMPARE(s->recentEvents[1].kind, HostState::Unreachable);
    QCOMPARE(s->recentEvents[1].description, QStringLiteral("B"));
    QCOMPARE(s->recentEvents[2].kind, HostState::Up);
}

void TestWebStore::due_data()
{
    QTest::addColumn<QString>("news");
    QTest::addColumn<int>("afterMs");
    QTest::addColumn<bool>("due");
    QTest::newRow("nothing, soon") << "" << 59'999 << false;
    QTest::newRow("nothing, a minute") << "" << 60'000 << true;
    QTest::newRow("checks, soon") << "check" << 9'999 << false;
    QTest::newRow("checks, ten seconds") << "check" << 10'000 << true;
    QTest::newRow("an event") << "event" << 0 << true;
    QTest::newRow("a pass begins") << "pass" << 0 << true;
}

void TestWebStore::due()
{
    QFETCH(QString, news);
    QFETCH(int, afterMs);
    QFETCH(bool, due);
    TestFolder f;
    Database& db = f.db();
    const qint64 h = f.addHost(QStringLiteral("192.0.2.1"), QStringLiteral("A"));
    check(db, h, ago(60), 3);
    web::StatusBuilder b;
    b.build(db, nowMs(), {});
    if (news == QLatin1String("check")) check(db, h, ago(1), 3);
    if (news == QLatin1String("event")) recordEvent(db, h, "down", ago(1));
    if (news == QLatin1String("pass"))
        db.execute(QStringLiteral("insert into passes (monitor,started) values ('m',?)"), {ago(1)});
    QCOMPARE(b.due(b.look(db), nowMs() + afterMs, 10'000, 60'000), due);
}

void TestWebStore::passes()
{
    TestFolder f;
    Database& db = f.db();
    db.execute(
        QStringLiteral(
            "insert into passes (monitor,started,finished,hosts,failed) values ('m',?,?,10,2)"),
        {ago(100), ago(88)});
    db.execute(QStringLiteral("insert into passes (monitor,started) values ('m',?)"), {ago(5)});
    web::StatusBuilder b;
    const auto s = b.build(db, nowMs(), {});
    QVERIFY(s->lastPass && s->runningPass);
    QCOMPARE(s->lastPass->finishedMs - s->lastPass->startedMs, qint64(12'000));
    QCOMPARE(s->lastPass->failed, qint64(2));
    QCOMPARE(s->runningPass->startedMs, kNow.addSecs(-5).toMSecsSinceEpoch());
    QCOMPARE(s->runningPass->finishedMs, qint64(-1));
    QCOMPARE(s->intervalSecs, 600);
}

void TestWebStore::providerPublishesAndAnswers()
{
    TestFolder f;
    const qint64 h = f.addHost(QStringLiteral("192.0.2.1"), QStringLiteral("Сервер"));
    check(f.db(), h, ago(60), 3);
    FakeClock clock(kNow);
    web::StoreStatusProvider provider(f.dbFile(), clock);
    QSignalSpy published(&provider, &web::StoreStatusProvider::published);
    provider.start();
    QVERIFY(published.wait(10000));
    QCOMPARE(provider.snapshot()->hosts.size(), std::size_t(1));
    QCOMPARE(provider.lastLookMs(), nowMs());
    // What the program knows goes into the next snapshot at once.
    provider.setMonitoring(true);
    QTRY_VERIFY_WITH_TIMEOUT(provider.snapshot()->monitoring, 10000);

    QObject context;
    std::optional<web::HostReport> report;
    QVERIFY(provider.hostReport({h, nowMs() - 3'600'000, nowMs(), true}, &context,
                                [&](web::HostReport r) { report = r; }));
    QTRY_VERIFY_WITH_TIMEOUT(report.has_value(), 10000);
    QVERIFY(report->found);
    QCOMPARE(report->history.points.size(), std::size_t(1));
    QCOMPARE(report->periods[0].totals.checks, qint64(1));
    report.reset();
    QVERIFY(provider.hostReport({h + 100, 0, nowMs(), false}, &context,
                                [&](web::HostReport r) { report = r; }));
    QTRY_VERIFY_WITH_TIMEOUT(report.has_value(), 10000);
    QVERIFY(!report->found);
}

void TestWebStore::providerQuestionsAreBounded()
{
    if (onPostgres())
        QSKIP(
            "a write lock held by another connection stops SQLite's readers only in the tests' "
            "setup");
    TestFolder f;
    FakeClock clock(kNow);
    web::StoreStatusOptions options;
    options.maxQueued = 2;
    web::StoreStatusProvider provider(f.dbFile(), clock, options);
    QObject context;
    int answered = 0;
    const auto ask = [&] {
        return provider.eventsAfter(0, 10, &context, [&](web::EventsAnswer) { ++answered; });
    };
    // The database locked against readers: the questions wait on the provider's thread.
    f.db().execute(QStringLiteral("PRAGMA locking_mode=EXCLUSIVE"));
    f.db().begin();
    f.db().execute(QStringLiteral("insert into pass_requests (requested) values ('x')"));
    QVERIFY(ask());
    QVERIFY(ask());
    QVERIFY(!ask());  // a third waits nowhere: refused at once
    f.db().rollback();
    f.db().execute(QStringLiteral("PRAGMA locking_mode=NORMAL"));
    f.db().execute(QStringLiteral("select count(*) from address"));
    QTRY_COMPARE_WITH_TIMEOUT(answered, 2, 15000);
    QVERIFY(ask());
}

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    TestWebStore tests;
    return runOnBothEngines(&tests, argc, argv);
}

#include "tst_webstore.moc"
