#include "monitor/confirmation.h"
#include "store/maintenance.h"
#include "store/parents.h"

#include <QTest>

using namespace sentrok;

namespace {

// One host's checks through the rule, as the monitor carries its state from check to check.
// `checks`: one letter a check, F failed, S answered; lower case while under maintenance.
// Returns one letter a check: D down, U up, d / u shown as under maintenance, - nothing.
QString run(const QString& checks, int confirm)
{
    QString out;
    int failures = 0;
    Announced state = Announced::No;
    for (const QChar c : checks) {
        const bool failed = c.toUpper() == u'F';
        failures = failed ? failures + 1 : 0;
        const AnnounceOutcome o = announceOf({.failed = failed,
                                              .failures = failures,
                                              .confirm = confirm,
                                              .maintenance = c.isLower(),
                                              .before = state});
        state = o.after;
        static const char letters[] = {'-', 'D', 'U', 'd', 'u'};
        out += QLatin1Char(letters[int(o.announce)]);
    }
    return out;
}

const QDateTime kMonday(QDate(2026, 12, 7), QTime(23, 0));  // a Monday

QDateTime at(int day, int hour, int minute = 0)
{
    return QDateTime(QDate(2026, 12, day), QTime(hour, minute));
}

}  // namespace

class TestAnnounceRules : public QObject {
    Q_OBJECT
private slots:
    void sequences_data();
    void sequences();
    void windowCovers_data();
    void windowCovers();
    void windowRefusal_data();
    void windowRefusal();
    void windowForParentAndChildren_data();
    void windowForParentAndChildren();
    void windowSpans_data();
    void windowSpans();
    void confirmBounds_data();
    void confirmBounds();
};

void TestAnnounceRules::sequences_data()
{
    QTest::addColumn<int>("confirm");
    QTest::addColumn<QString>("checks");
    QTest::addColumn<QString>("announced");
    QTest::newRow("confirmation 1: every change at once") << 1 << "FFSFS"
                                                          << "D-UDU";
    QTest::newRow("3, a blip of 2: never announced") << 3 << "FFSS"
                                                     << "----";
    QTest::newRow("3 reached") << 3 << "FFFFS"
                               << "--D-U";
    QTest::newRow("3, the count starts again after an answer") << 3 << "FFSFFF"
                                                               << "-----D";
    QTest::newRow("100 reached at the 100th")
        << 100 << QString(99, u'F') + "F" << QString(99, u'-') + "D";
    QTest::newRow("maintenance starts mid-outage: back quietly") << 1 << "FfsS"
                                                                 << "D-u-";
    QTest::newRow("maintenance ends mid-outage: announced at the next failure") << 1 << "ffFS"
                                                                                << "d-DU";
    QTest::newRow("maintenance ends before confirmation") << 3 << "ffFS"
                                                          << "--DU";
    QTest::newRow("back after the window: never announced") << 1 << "fS"
                                                            << "d-";
    QTest::newRow("answering under maintenance, nothing down") << 1 << "ss"
                                                               << "--";
}

void TestAnnounceRules::sequences()
{
    QFETCH(int, confirm);
    QFETCH(QString, checks);
    QFETCH(QString, announced);
    QCOMPARE(run(checks, confirm), announced);
}

void TestAnnounceRules::windowCovers_data()
{
    QTest::addColumn<int>("repeat");
    QTest::addColumn<QDateTime>("from");
    QTest::addColumn<QDateTime>("to");
    QTest::addColumn<QDateTime>("t");
    QTest::addColumn<bool>("covers");
    const int once = int(Repeat::Once), daily = int(Repeat::Daily), weekly = int(Repeat::Weekly);
    const QDateTime end = kMonday.addSecs(2 * 3600);  // 01:00 the next day
    QTest::newRow("once, before") << once << kMonday << end << kMonday.addSecs(-1) << false;
    QTest::newRow("once, at its start") << once << kMonday << end << kMonday << true;
    QTest::newRow("once, its last second") << once << kMonday << end << end.addSecs(-1) << true;
    QTest::newRow("once, at its end") << once << kMonday << end << end << false;
    QTest::newRow("once, a day later") << once << kMonday << end << kMonday.addDays(1) << false;
    QTest::newRow("daily across midnight, before midnight")
        << daily << kMonday << end << at(10, 23, 30) << true;
    QTest::newRow("daily across midnight, after midnight")
        << daily << kMonday << end << at(11, 0, 59) << true;
    QTest::newRow("daily across midnight, at its end")
        << daily << kMonday << end << at(11, 1) << false;
    QTest::newRow("daily, just before the day's start")
        << daily << kMonday << end << at(10, 22, 59) << false;
    QTest::newRow("daily, not before the first")
        << daily << kMonday << end << at(7, 0, 30) << false;
    QTest::newRow("weekly, the same weekday") << weekly << kMonday << end << at(14, 23, 30) << true;
    QTest::newRow("weekly, into the next day") << weekly << kMonday << end << at(15, 0, 30) << true;
    QTest::newRow("weekly, another weekday") << weekly << kMonday << end << at(10, 23, 30) << false;
}

void TestAnnounceRules::windowCovers()
{
    QFETCH(int, repeat);
    QFETCH(QDateTime, from);
    QFETCH(QDateTime, to);
    QFETCH(QDateTime, t);
    QFETCH(bool, covers);
    const MaintenanceWindow w{.from = from, .to = to, .repeat = Repeat(repeat)};
    QCOMPARE(sentrok::windowCovers(w, t), covers);
}

void TestAnnounceRules::windowRefusal_data()
{
    QTest::addColumn<int>("repeat");
    QTest::addColumn<int>("minutes");  // its length
    QTest::addColumn<bool>("refused");
    QTest::newRow("once, ends as it begins") << int(Repeat::Once) << 0 << true;
    QTest::newRow("once, ends before it begins") << int(Repeat::Once) << -1 << true;
    QTest::newRow("once, a minute") << int(Repeat::Once) << 1 << false;
    QTest::newRow("once, a month") << int(Repeat::Once) << 30 * 1440 << false;
    QTest::newRow("daily, a whole day") << int(Repeat::Daily) << 1440 << false;
    QTest::newRow("daily, a day and a minute") << int(Repeat::Daily) << 1441 << true;
    QTest::newRow("weekly, a whole week") << int(Repeat::Weekly) << 7 * 1440 << false;
    QTest::newRow("weekly, a week and a minute") << int(Repeat::Weekly) << 7 * 1440 + 1 << true;
}

void TestAnnounceRules::windowRefusal()
{
    QFETCH(int, repeat);
    QFETCH(int, minutes);
    QFETCH(bool, refused);
    const MaintenanceWindow w{
        .from = kMonday, .to = kMonday.addSecs(minutes * 60), .repeat = Repeat(repeat)};
    QCOMPARE(sentrok::windowRefusal(w).has_value(), refused);
}

void TestAnnounceRules::windowForParentAndChildren_data()
{
    QTest::addColumn<qint64>("host");  // 0: all
    QTest::addColumn<bool>("withChildren");
    QTest::addColumn<QList<qint64>>("covered");
    // 1 the core router, 2 a branch router behind it, 3 a host behind that, 4 on its own.
    QTest::newRow("the router alone") << qint64(1) << false << QList<qint64>{1};
    QTest::newRow("the router and everything behind it")
        << qint64(1) << true << QList<qint64>{1, 2, 3};
    QTest::newRow("the branch and behind it") << qint64(2) << true << QList<qint64>{2, 3};
    QTest::newRow("a host with none behind it") << qint64(4) << true << QList<qint64>{4};
    QTest::newRow("every host") << qint64(0) << false << QList<qint64>{1, 2, 3, 4};
}

void TestAnnounceRules::windowForParentAndChildren()
{
    QFETCH(qint64, host);
    QFETCH(bool, withChildren);
    QFETCH(QList<qint64>, covered);
    const HostTree tree({{.id = 1, .parent = 0, .ip = "192.0.2.1", .desc = "core"},
                         {.id = 2, .parent = 1, .ip = "192.0.2.2", .desc = "branch"},
                         {.id = 3, .parent = 2, .ip = "192.0.2.3", .desc = "host"},
                         {.id = 4, .parent = 0, .ip = "192.0.2.4", .desc = "other"}});
    const MaintenanceWindow w{.id = 1,
                              .hostId = host,
                              .withChildren = withChildren,
                              .from = kMonday,
                              .to = kMonday.addSecs(3600),
                              .comment = "замена роутера"};
    const QHash<qint64, QString> now = hostsUnderMaintenance({w}, tree, kMonday.addSecs(60));
    QList<qint64> got = now.keys();
    std::sort(got.begin(), got.end());
    QCOMPARE(got, covered);
    QCOMPARE(now.value(covered.first()), QStringLiteral("замена роутера"));
    QVERIFY(hostsUnderMaintenance({w}, tree, kMonday.addSecs(3600)).isEmpty());
}

void TestAnnounceRules::windowSpans_data()
{
    QTest::addColumn<int>("repeat");
    QTest::addColumn<QDateTime>("from");  // of the period
    QTest::addColumn<QDateTime>("to");
    QTest::addColumn<qint64>("minutes");  // under maintenance in it
    // The window: Monday 23:00 to 01:00, two hours.
    QTest::newRow("once, the whole of it")
        << int(Repeat::Once) << at(7, 0) << at(9, 0) << qint64(120);
    QTest::newRow("once, clipped at the period's end")
        << int(Repeat::Once) << at(7, 0) << at(8, 0) << qint64(60);
    QTest::newRow("daily over a week") << int(Repeat::Daily) << at(7, 0) << at(14, 0)
                                       << qint64(7 * 120 - 60);  // the last ends past the period
    QTest::newRow("daily, the period begins inside one")
        << int(Repeat::Daily) << at(10, 0, 30) << at(10, 12) << qint64(30);
    QTest::newRow("weekly over three weeks")
        << int(Repeat::Weekly) << at(1, 0) << at(22, 0) << qint64(120 * 2 + 60);
}

void TestAnnounceRules::windowSpans()
{
    QFETCH(int, repeat);
    QFETCH(QDateTime, from);
    QFETCH(QDateTime, to);
    QFETCH(qint64, minutes);
    const MaintenanceWindow w{
        .from = kMonday, .to = kMonday.addSecs(2 * 3600), .repeat = Repeat(repeat)};
    qint64 ms = 0;
    for (const TimeSpan& s :
         sentrok::windowSpans(w, from.toMSecsSinceEpoch(), to.toMSecsSinceEpoch()))
        ms += s.toMs - s.fromMs;
    QCOMPARE(ms / 60'000, minutes);
}

void TestAnnounceRules::confirmBounds_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("value");  // 0: refused
    QTest::newRow("0") << "0" << 0;
    QTest::newRow("1") << "1" << 1;
    QTest::newRow("100") << "100" << 100;
    QTest::newRow("101") << "101" << 0;
    QTest::newRow("-3") << "-3" << 0;
    QTest::newRow("abc") << "abc" << 0;
    QTest::newRow("3.5") << "3.5" << 0;
    QTest::newRow("blanks around") << " 7 " << 7;
}

void TestAnnounceRules::confirmBounds()
{
    QFETCH(QString, text);
    QFETCH(int, value);
    int got = 0;
    const std::optional<QString> refusal = confirmRefusal(text, &got);
    QCOMPARE(!refusal.has_value(), value != 0);
    if (value) QCOMPARE(got, value);
}

QTEST_GUILESS_MAIN(TestAnnounceRules)
#include "tst_announcerules.moc"
