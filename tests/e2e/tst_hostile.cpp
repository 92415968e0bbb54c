// The real programs of SENTROK_BIN_DIR against what someone else has prepared: a lease file
// beside the database that is a link or is not this user's to write, and database URLs whose
// password must never be printed, understood or not.

#include "store/databaseurl.h"
#include "store/schema.h"
#include "support/monitorprocess.h"
#include "support/netns.h"
#include "support/pgserver.h"
#include "support/testdb.h"

#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>
#include <unistd.h>

using namespace sentrok;
using namespace sentrok::test;

namespace {

constexpr int kWaitMs = 20'000;
const QString kSecret = QStringLiteral("Pw0fTheTeam");

}  // namespace

class TestHostile : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void preparedLeaseFile_data();
    void preparedLeaseFile();
    void passwordNeverPrinted_data();
    void passwordNeverPrinted();
};

void TestHostile::initTestCase()
{
    if (const QString why = netnsUnavailable(); !why.isEmpty()) QSKIP(qPrintable(why));
    QVERIFY2(QFileInfo::exists(qEnvironmentVariable("SENTROK_BIN_DIR") + "/sentrok-monitor"),
             "SENTROK_BIN_DIR must name the folder holding sentrok-monitor");
}

// The monitor says what is wrong once (the lease is asked for every 3 s meanwhile), writes
// nothing through the link, and takes the lease once the path is cleared.
void TestHostile::preparedLeaseFile_data()
{
    QTest::addColumn<QString>("prepared");
    QTest::addColumn<QString>("words");
    QTest::newRow("link to a file of the user") << "symlink"
                                                << "символическая ссылка";
    QTest::newRow("another user's file the monitor may not write") << "foreign"
                                                                   << "Permission denied";
}

void TestHostile::preparedLeaseFile()
{
    QFETCH(QString, prepared);
    QFETCH(QString, words);
    const bool foreign = prepared == "foreign";
    if (foreign &&
        (::geteuid() != 0 || QProcess::execute("runuser", {"-u", "nobody", "--", "true"}) != 0))
        QSKIP("needs root and runuser to be another user");
    // A folder the whole team writes to, as a shared database's folder often is.
    QTemporaryDir dir;
    ::chmod(QFile::encodeName(dir.path()).constData(), 0777);
    const QString db = dir.filePath("shared.mdb"), lease = db + ".monitor";
    const QString victim = dir.filePath("victim.txt");
    createDatabase(db);
    for (const char* suffix : {"", "-wal", "-shm"})
        ::chmod(QFile::encodeName(db + suffix).constData(), 0666);
    QFile v(foreign ? lease : victim);
    QVERIFY(v.open(QIODevice::WriteOnly) && v.write("precious") == 8);
    v.close();
    ::chmod(QFile::encodeName(v.fileName()).constData(), 0644);
    if (!foreign)
        QCOMPARE(
            ::symlink(QFile::encodeName(victim).constData(), QFile::encodeName(lease).constData()),
            0);

    MonitorProcess monitor(db, foreign ? "nobody" : QString());
    QVERIFY(monitor.started());
    QTRY_VERIFY_WITH_TIMEOUT(monitor.log().contains(words), kWaitMs);
    QTest::qWait(4000);  // another attempt at least
    QVERIFY2(monitor.log().count(words) == 1 && monitor.log().contains(lease) && !monitor.runs(),
             qPrintable(monitor.log()));
    QCOMPARE(QFile(v.fileName()).size(), 8);

    QVERIFY(QFile::remove(lease));
    QTRY_VERIFY_WITH_TIMEOUT(monitor.runs(), kWaitMs);
    QVERIFY(QFileInfo(lease).isFile() && !QFileInfo(lease).isSymLink());
}

// A URL with a password, understood or refused (the cases of refusal are DatabaseUrl's tests).
void TestHostile::passwordNeverPrinted_data()
{
    QTest::addColumn<QString>("url");  // "server": a database of the tests' server
    QTest::newRow("a database that opens") << "server";
    QTest::newRow("bad port") << "postgresql://sentrok:" + kSecret + "@127.0.0.1:port/db";
}

void TestHostile::passwordNeverPrinted()
{
    QFETCH(QString, url);
    const bool real = url == "server";
    if (real) {
        PgServer& server = PgServer::instance();
        if (!server.unavailable().isEmpty()) QSKIP(qPrintable(server.unavailable()));
        const QString name = DatabaseUrl::parse(server.newDatabase()).name;
        // The tests' server trusts its local users: any password gets in.
        url = QStringLiteral("postgresql://postgres:%1@127.0.0.1:%2/%3")
                  .arg(kSecret)
                  .arg(server.port())
                  .arg(name);
    }
    QProcess tool;
    tool.setProcessChannelMode(QProcess::MergedChannels);
    tool.start(qEnvironmentVariable("SENTROK_BIN_DIR") + "/sentrok-db", {"create", url});
    QVERIFY(tool.waitForFinished(kWaitMs));
    const QByteArray said = tool.readAll();
    QCOMPARE(tool.exitCode(), real ? 0 : 1);
    QVERIFY2(!said.contains(kSecret.toUtf8()) && said.contains("***"), said.constData());

    MonitorProcess monitor(url);
    QVERIFY(monitor.started());
    if (real)
        QTRY_VERIFY_WITH_TIMEOUT(monitor.runs(), kWaitMs);
    else
        QVERIFY(monitor.process().waitForFinished(kWaitMs));
    const QString log = monitor.log();
    QVERIFY2(!log.contains(kSecret) && log.contains("***"), qPrintable(log));
}

QTEST_GUILESS_MAIN(TestHostile)
#include "tst_hostile.moc"
