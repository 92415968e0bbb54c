// The owner-only passwords file when the keyring is not there: a file others could read, a link,
// a giant or a corrupt file is refused in words, and what was there is never lost. (Devices, pipes
// and hard links meet the same opening as the lease file, tested there.)

#include "secrets/secretstore.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>
#include <unistd.h>
#include <optional>

using namespace sentrok;

namespace {

constexpr qint64 kMegabyte = 1024 * 1024;

struct ReadResult {
    std::optional<QString> password;
    QString error;
};

ReadResult readNow(SecretStore& store, const QString& key)
{
    std::optional<ReadResult> got;
    store.read(key, [&](std::optional<QString> p, QString e) { got = ReadResult{p, e}; });
    if (!QTest::qWaitFor([&] { return got.has_value(); }, 5000)) return {std::nullopt, "no answer"};
    return *got;
}

QString writeNow(SecretStore& store, const QString& key, const QString& password)
{
    std::optional<QString> got;
    store.write(key, password, [&](QString e, SecretStore::Place) { got = e; });
    if (!QTest::qWaitFor([&] { return got.has_value(); }, 5000)) return "no answer";
    return *got;
}

QByteArray contents(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<unreadable>");
}

// {"kept":"<base64 padding>"} of exactly `size` bytes.
QByteArray jsonOfSize(qint64 size)
{
    const QByteArray head = "{\"kept\":\"", tail = "\"}";
    return head + QByteArray(size - head.size() - tail.size(), 'Q') + tail;
}

}  // namespace

class TestSecretStore : public QObject {
    Q_OBJECT
private slots:
    void preparedFiles_data();
    void preparedFiles();
    void corruptFileIsSetAsideNeverOverwritten();
};

void TestSecretStore::preparedFiles_data()
{
    QTest::addColumn<QString>("prepared");
    QTest::addColumn<QString>("readWords");   // empty: "kept" is read
    QTest::addColumn<QString>("writeWords");  // empty: the write goes through, "kept" stays
    QTest::newRow("mode 0640") << "0640"
                               << "chmod 600"
                               << "chmod 600";
    QTest::newRow("mode 0604") << "0604"
                               << "chmod 600"
                               << "chmod 600";
    QTest::newRow("mode 0600") << "0600"
                               << ""
                               << "";
    QTest::newRow("folder open to others") << "folder"
                                           << "chmod 700"
                                           << "";
    QTest::newRow("link to a file of the user") << "symlink"
                                                << "символическая ссылка"
                                                << "символическая ссылка";
    QTest::newRow("1 MB: read, but no room for more") << "1048576"
                                                      << ""
                                                      << "больше 1048576 байт";
    QTest::newRow("1 MB and a byte") << "1048577"
                                     << "больше 1048576 байт"
                                     << "больше 1048576 байт";
}

void TestSecretStore::preparedFiles()
{
    QFETCH(QString, prepared);
    QFETCH(QString, readWords);
    QFETCH(QString, writeWords);
    QTemporaryDir dir;
    const QString folder = dir.filePath("sentrok"), victim = dir.filePath("victim.json");
    QVERIFY(QDir().mkpath(folder));
    ::chmod(QFile::encodeName(folder).constData(), prepared == "folder" ? 0755 : 0700);
    SecretStore store(SecretStore::Place::File, folder);
    const QByteArray path = QFile::encodeName(store.filePath());
    const QByteArray original = jsonOfSize(prepared.startsWith("10") ? prepared.toLongLong() : 64);
    QFile v(prepared == "symlink" ? victim : store.filePath());
    QVERIFY(v.open(QIODevice::WriteOnly) && v.write(original) == original.size());
    v.close();
    ::chmod(QFile::encodeName(v.fileName()).constData(),
            prepared.startsWith("06") ? prepared.toUInt(nullptr, 8) : 0600);
    if (prepared == "symlink")
        QCOMPARE(::symlink(QFile::encodeName(victim).constData(), path.constData()), 0);

    const ReadResult read = readNow(store, "kept");
    QVERIFY2(read.error.contains(readWords), qPrintable(read.error));
    QCOMPARE(read.password.has_value(), readWords.isEmpty());
    if (!readWords.isEmpty())
        QVERIFY(read.error.contains(prepared == "folder" ? folder : QString::fromLocal8Bit(path)));

    const QString written = writeNow(store, "new", "пароль");
    QVERIFY2(written.contains(writeWords), qPrintable(written));
    QCOMPARE(written.isEmpty(), writeWords.isEmpty());
    if (writeWords.isEmpty()) {
        QCOMPARE(readNow(store, "new").password, QStringLiteral("пароль"));
        QVERIFY(readNow(store, "kept").password.has_value());
        QCOMPARE(QFileInfo(store.filePath()).permissions() & 0x0077, QFileDevice::Permissions());
    } else {
        QCOMPARE(contents(v.fileName()), original);  // refused, and left as it was
    }
}

void TestSecretStore::corruptFileIsSetAsideNeverOverwritten()
{
    QTemporaryDir dir;
    SecretStore store(SecretStore::Place::File, dir.path());
    for (const QByteArray& bad : {QByteArray("{\"a\": tru"), QByteArray("[\"not an object\"]")}) {
        QFile f(store.filePath());
        QVERIFY(f.open(QIODevice::WriteOnly) && f.write(bad) > 0);
        f.close();
        QVERIFY(f.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner));
        QVERIFY(readNow(store, "a").error.contains("повреждён"));
        QCOMPARE(writeNow(store, "new", "x"), QString());
        QVERIFY(store.describe(SecretStore::Place::File).contains(".corrupt"));
        QCOMPARE(readNow(store, "new").password, QStringLiteral("x"));
    }
    // Both bad files kept, each under a name of its own.
    QCOMPARE(contents(store.filePath() + ".corrupt"), QByteArray("{\"a\": tru"));
    QCOMPARE(contents(store.filePath() + ".corrupt.1"), QByteArray("[\"not an object\"]"));
}

QTEST_GUILESS_MAIN(TestSecretStore)
#include "tst_secretstore.moc"
