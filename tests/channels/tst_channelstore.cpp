// The channels table on both engines: the upgrade step that makes it, and what goes in and comes
// out of it.

#include "channels/channelstore.h"
#include "store/schema.h"
#include "support/testdb.h"

#include <QTest>

using namespace sentrok;
using namespace sentrok::test;

Q_DECLARE_METATYPE(sentrok::ChannelRecord)

namespace {

// The version whose step makes the table, found by its words: steps may be renumbered.
int channelsVersion()
{
    for (const SchemaStep& step : schemaSteps())
        if (step.what.contains(QStringLiteral("каналы"))) return step.version;
    return -1;
}

ChannelRecord telegram()
{
    return {.id = 0,
            .kind = ChannelKind::Telegram,
            .name = QStringLiteral("Дежурные"),
            .target = QStringLiteral("-1001234567890"),
            .apiUrl = QStringLiteral("http://127.0.0.1:8081"),
            .pin = {},
            .enabled = true,
            .secretRef = QStringLiteral("channel:a")};
}

}  // namespace

class TestChannelStore : public QObject {
    Q_OBJECT
private slots:
    void upgradeMakesTheTable();
    void roundTrip_data();
    void roundTrip();
    void unknownKindIsLeftOut();
    void secretRefIsUnique();
    void removeAndEnableSayWhetherThereWasOne();
};

void TestChannelStore::upgradeMakesTheTable()
{
    const int version = channelsVersion();
    QVERIFY(version > 1);
    QTemporaryDir dir;
    const QString place = newDatabasePlace(dir);
    createDatabase(place, version - 1);
    Database db(place, Database::uniqueName(QStringLiteral("step")));
    QVERIFY_THROWS_EXCEPTION(DbError, readChannels(db));
    QVERIFY(upgradeSchema(db) >= 1);
    QCOMPARE(schemaVersion(db), kSchemaVersion);
    QVERIFY(readChannels(db).isEmpty());
    const qint64 id = addChannel(db, telegram());
    QCOMPARE(readChannels(db).size(), 1);
    QCOMPARE(readChannel(db, id)->name, telegram().name);
}

void TestChannelStore::roundTrip_data()
{
    QTest::addColumn<ChannelRecord>("record");
    QTest::newRow("telegram") << telegram();
    ChannelRecord hook = telegram();
    hook.kind = ChannelKind::Webhook;
    hook.target = QStringLiteral("https://chat.example.org/***");
    hook.apiUrl.clear();
    hook.pin = QString(64, u'a');
    QTest::newRow("webhook with a pin") << hook;
    ChannelRecord off = telegram();
    off.enabled = false;
    QTest::newRow("disabled") << off;
    ChannelRecord odd = telegram();
    odd.name = QStringLiteral("'\"; drop table channels; --") + QString(72, u'ж');
    odd.target = QStringLiteral("@team_alerts");
    QTest::newRow("quotes and 100 letters") << odd;
}

void TestChannelStore::roundTrip()
{
    QFETCH(ChannelRecord, record);
    TestFolder f;
    ChannelRecord before = telegram();
    before.secretRef = QStringLiteral("channel:before");
    const qint64 first = addChannel(f.db(), before);
    const qint64 id = addChannel(f.db(), record);
    QVERIFY(id > first);
    record.id = id;
    QCOMPARE(*readChannel(f.db(), id), record);
    const QList<ChannelRecord> all = readChannels(f.db());
    QCOMPARE(all.size(), 2);
    QCOMPARE(all[0].id, first);
    QCOMPARE(all[1], record);
}

// Written by a later program: sent nowhere rather than as something it is not.
void TestChannelStore::unknownKindIsLeftOut()
{
    TestFolder f;
    const qint64 known = addChannel(f.db(), telegram());
    f.db().execute("insert into channels (kind, secret_ref) values ('matrix', 'channel:m')");
    const qint64 unknown = f.scalar("select id from channels where kind='matrix'").toLongLong();
    QCOMPARE(readChannels(f.db()).size(), 1);
    QCOMPARE(readChannels(f.db()).first().id, known);
    QVERIFY(!readChannel(f.db(), unknown));
    QVERIFY(readChannel(f.db(), known));
}

void TestChannelStore::secretRefIsUnique()
{
    TestFolder f;
    addChannel(f.db(), telegram());
    QVERIFY_THROWS_EXCEPTION(DbError, addChannel(f.db(), telegram()));
    ChannelRecord other = telegram();
    other.secretRef = QStringLiteral("channel:b");
    addChannel(f.db(), other);
    QCOMPARE(readChannels(f.db()).size(), 2);
}

void TestChannelStore::removeAndEnableSayWhetherThereWasOne()
{
    TestFolder f;
    const qint64 id = addChannel(f.db(), telegram());
    QVERIFY(!setChannelEnabled(f.db(), id + 1, false));
    QVERIFY(setChannelEnabled(f.db(), id, false));
    QVERIFY(!readChannel(f.db(), id)->enabled);
    QVERIFY(setChannelEnabled(f.db(), id, true));
    QVERIFY(readChannel(f.db(), id)->enabled);
    QVERIFY(!removeChannel(f.db(), id + 1));
    QVERIFY(removeChannel(f.db(), id));
    QVERIFY(!readChannel(f.db(), id));
    QVERIFY(!removeChannel(f.db(), id));
}

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    TestChannelStore tests;
    return runOnBothEngines(&tests, argc, argv);
}
#include "tst_channelstore.moc"
