// The lease: a lease file beside the database that someone else has prepared is never written
// through, and refusing it is said in words; the holder's name reaches the others as it was given.

#include "store/database.h"
#include "store/lease.h"
#include "support/testdb.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>
#include <unistd.h>

using namespace sentrok;
using namespace sentrok::test;

class TestLease : public QObject {
    Q_OBJECT
private slots:
    void preparedLeaseFileIsRefused_data();
    void preparedLeaseFileIsRefused();
    void holderNameAsGiven_data();
    void holderNameAsGiven();
};

void TestLease::preparedLeaseFileIsRefused_data()
{
    QTest::addColumn<QString>("prepared");
    QTest::addColumn<QString>("words");
    QTest::newRow("link to a file of the user") << "symlink" << "символическая ссылка";
    QTest::newRow("link to nowhere") << "dangling" << "символическая ссылка";
    QTest::newRow("hard link to a file of the user") << "hardlink" << "жёсткие ссылки";
    QTest::newRow("folder") << "folder" << "каталог";
    QTest::newRow("named pipe") << "fifo" << "не обычный файл";
}

void TestLease::preparedLeaseFileIsRefused()
{
    QFETCH(QString, prepared);
    QFETCH(QString, words);
    if (onPostgres()) QSKIP("a file's own case");
    TestFolder f;
    const QByteArray path = QFile::encodeName(f.dbFile() + ".monitor");
    const QString victim = f.path() + "/victim.txt", nowhere = f.path() + "/made-by-the-lease";
    QFile v(victim);
    QVERIFY(v.open(QIODevice::WriteOnly) && v.write("precious") == 8);
    v.close();
    const QByteArray to = QFile::encodeName(prepared == "dangling" ? nowhere : victim);
    if (prepared == "symlink" || prepared == "dangling") QCOMPARE(::symlink(to.constData(), path.constData()), 0);
    if (prepared == "hardlink") QCOMPARE(::link(to.constData(), path.constData()), 0);
    if (prepared == "folder") QCOMPARE(::mkdir(path.constData(), 0755), 0);
    if (prepared == "fifo") QCOMPARE(::mkfifo(path.constData(), 0644), 0);

    const std::unique_ptr<Lease> lease = Lease::of(f.db());
    for (int attempt = 0; attempt < 2; ++attempt) {
        try {
            lease->tryAcquire("me");
            QFAIL("a prepared lease file was taken");
        } catch (const DbError& e) {
            QVERIFY2(e.description().contains(QFile::decodeName(path)) && e.description().contains(words),
                     qPrintable(e.description()));
        }
    }
    QVERIFY(lease->holder().isEmpty());
    QFile check(victim);
    QVERIFY(check.open(QIODevice::ReadOnly));
    QCOMPARE(check.readAll(), QByteArray("precious"));
    QVERIFY(!QFile::exists(nowhere));
    // Tried again once the path is cleared: taken, and named to the others.
    if (prepared == "folder") QCOMPARE(::rmdir(path.constData()), 0);
    else QCOMPARE(::unlink(path.constData()), 0);
    QVERIFY(lease->tryAcquire("me"));
    Database other(f.dbFile(), "other");
    const std::unique_ptr<Lease> second = Lease::of(other);
    QVERIFY(!second->tryAcquire("other"));
    QCOMPARE(second->holder(), QStringLiteral("me"));
}

void TestLease::holderNameAsGiven_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("shown");  // "*": the name itself
    QTest::newRow("Cyrillic") << "sentrok-monitor на vm, pid 4242" << "*";
    QTest::newRow("percent sign") << "100% sentrok на vm" << "*";
    QTest::newRow("escape sequence") << "x\x1b[2Jy на vm" << "x\\x1b[2Jy на vm";
    // The server keeps 63 bytes: the name is cut between characters, never inside one.
    QTest::newRow("longer than the server keeps") << "sentrok-monitor на " + QString(60, u'ж') << "cut";
}

void TestLease::holderNameAsGiven()
{
    QFETCH(QString, name);
    QFETCH(QString, shown);
    TestFolder f;
    const std::unique_ptr<Lease> mine = Lease::of(f.db());
    QVERIFY(mine->tryAcquire(name));
    Database other(f.dbFile(), "other");
    const std::unique_ptr<Lease> theirs = Lease::of(other);
    QVERIFY(!theirs->tryAcquire("other"));
    const QString got = theirs->holder();
    if (shown != "cut") QCOMPARE(got, shown == "*" ? name : shown);
    else if (onPostgres()) QVERIFY2(got.size() > 20 && name.startsWith(got), qPrintable(got));
    else QCOMPARE(got, name);
    mine->release();
    QVERIFY(theirs->holder().isEmpty());
}

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    TestLease tests;
    return runOnBothEngines(&tests, argc, argv);
}

#include "tst_lease.moc"
