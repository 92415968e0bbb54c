#include "store/database.h"
#include "store/defaultdatabase.h"
#include "store/schema.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

using namespace sentrok;

// Where an installed program keeps its database, and the one it makes at its first start.
class TestDefaultDatabase : public QObject {
    Q_OBJECT
private slots:
    void place_data();
    void place();
    void placeFromEnvironment_data();
    void placeFromEnvironment();
    void firstStartMakesOwnerOnlyFoldersOnce();
    void nothingMadeElsewhere_data();
    void nothingMadeElsewhere();
    void blockedFolderIsAnError();
};

namespace {

const QString kProgram = QStringLiteral("/opt/sentrok");
const QString kData = QStringLiteral("/home/u/.local/share");
const QString kState = QStringLiteral("/var/lib/sentrok");

mode_t modeOf(const QString& path)
{
    struct stat st {};
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_mode & 07777 : 0;
}

// An environment variable set for one test and put back after it.
class EnvGuard {
public:
    explicit EnvGuard(const char* name)
        : m_name(name), m_was(qgetenv(name)), m_set(qEnvironmentVariableIsSet(name))
    {
    }
    ~EnvGuard()
    {
        if (m_set)
            qputenv(m_name, m_was);
        else
            qunsetenv(m_name);
    }
    void set(const QString& value)
    {
        if (value.isNull())
            qunsetenv(m_name);
        else
            qputenv(m_name, QFile::encodeName(value));
    }

private:
    const char* m_name;
    QByteArray m_was;
    bool m_set;
};

}  // namespace

void TestDefaultDatabase::place_data()
{
    QTest::addColumn<bool>("writable");
    QTest::addColumn<bool>("root");
    QTest::addColumn<bool>("beside");
    QTest::addColumn<QString>("state");
    QTest::addColumn<QString>("expected");
    QTest::addColumn<bool>("own");
    const QString besideFile = kProgram + "/sentrok.mdb";
    const QString userFile = kData + "/sentrok/sentrok.mdb";
    const QString stateFile = kState + "/sentrok.mdb";
    QTest::newRow("build tree") << true << false << false << QString() << besideFile << false;
    QTest::newRow("build tree with its file")
        << true << false << true << QString() << besideFile << false;
    QTest::newRow("installed") << false << false << false << QString() << userFile << true;
    QTest::newRow("installed, a file nobody may write beside")
        << false << false << true << QString() << userFile << true;
    QTest::newRow("root, empty folder") << true << true << false << QString() << userFile << true;
    QTest::newRow("root, file beside") << true << true << true << QString() << besideFile << false;
    QTest::newRow("service") << false << false << false << kState << stateFile << true;
    QTest::newRow("service from a writable folder")
        << true << false << false << kState << besideFile << false;
}

void TestDefaultDatabase::place()
{
    QFETCH(bool, writable);
    QFETCH(bool, root);
    QFETCH(bool, beside);
    QFETCH(QString, state);
    QFETCH(QString, expected);
    QFETCH(bool, own);
    const DefaultDatabase got = defaultDatabaseFor({.programFolder = kProgram,
                                                    .programFolderWritable = writable,
                                                    .privileged = root,
                                                    .besideExists = beside,
                                                    .stateDirectory = state,
                                                    .dataHome = kData});
    QCOMPARE(got.file, expected);
    QCOMPARE(got.own, own);
}

void TestDefaultDatabase::placeFromEnvironment_data()
{
    QTest::addColumn<QString>("xdgDataHome");
    QTest::addColumn<QString>("stateDirectory");
    QTest::addColumn<QString>("expected");  // "~" stands for $HOME
    QTest::newRow("XDG_DATA_HOME") << "/x/data" << QString() << "/x/data/sentrok/sentrok.mdb";
    QTest::newRow("no XDG_DATA_HOME")
        << QString() << QString() << "~/.local/share/sentrok/sentrok.mdb";
    QTest::newRow("relative XDG_DATA_HOME is ignored")
        << "x/data" << QString() << "~/.local/share/sentrok/sentrok.mdb";
    QTest::newRow("first state folder") << "/x/data"
                                        << "/var/lib/a:/var/lib/b"
                                        << "/var/lib/a/sentrok.mdb";
}

void TestDefaultDatabase::placeFromEnvironment()
{
    QFETCH(QString, xdgDataHome);
    QFETCH(QString, stateDirectory);
    QFETCH(QString, expected);
    EnvGuard home("HOME"), data("XDG_DATA_HOME"), state("STATE_DIRECTORY");
    home.set(QStringLiteral("/home/tester"));
    data.set(xdgDataHome);
    state.set(stateDirectory);
    // A folder that does not exist is written by no one, root included.
    const DefaultDatabase got = defaultDatabase(QStringLiteral("/nonexistent/sentrok"));
    QCOMPARE(got.file, QString(expected).replace(u'~', QStringLiteral("/home/tester")));
    QVERIFY(got.own);
}

void TestDefaultDatabase::firstStartMakesOwnerOnlyFoldersOnce()
{
    QTemporaryDir home;
    QVERIFY(::chmod(QFile::encodeName(home.path()).constData(), 0755) == 0);
    const QString file = home.filePath("share/sentrok/sentrok.mdb");
    const DefaultDatabase own{file, true};
    QVERIFY(createOwnDatabase(file, own));
    QCOMPARE(modeOf(home.filePath("share")), mode_t(0700));
    QCOMPARE(modeOf(home.filePath("share/sentrok")), mode_t(0700));
    QCOMPARE(modeOf(home.path()), mode_t(0755));  // the folder that was there is left alone
    {
        Database db(file, Database::uniqueName("check"));
        QCOMPARE(schemaVersion(db), kSchemaVersion);
        QCOMPARE(db.execute("select refresh_time from options").field(0).toString(),
                 QStringLiteral("10"));
        addHost(db, QStringLiteral("192.0.2.1"), QStringLiteral("Шлюз"));
    }
    // The next start finds it, under either spelling, and leaves it as it is.
    QVERIFY(!createOwnDatabase(QStringLiteral("sqlite:") + file, own));
    Database db(file, Database::uniqueName("again"));
    QCOMPARE(db.execute("select [desc] from address").field(0).toString(), QStringLiteral("Шлюз"));
}

void TestDefaultDatabase::nothingMadeElsewhere_data()
{
    QTest::addColumn<QString>("location");  // "@" stands for the test's folder
    QTest::addColumn<bool>("own");
    QTest::newRow("beside the program") << "@/sentrok.mdb" << false;
    QTest::newRow("another file") << "@/other.mdb" << true;
    QTest::newRow("PostgreSQL") << "postgresql://sentrok@db.example/sentrok" << true;
}

void TestDefaultDatabase::nothingMadeElsewhere()
{
    QFETCH(QString, location);
    QFETCH(bool, own);
    QTemporaryDir dir;
    location.replace(u'@', dir.path());
    QVERIFY(!createOwnDatabase(location, {dir.filePath("sentrok.mdb"), own}));
    QVERIFY(QDir(dir.path()).isEmpty());
}

void TestDefaultDatabase::blockedFolderIsAnError()
{
    QTemporaryDir home;
    QFile blocker(home.filePath("sentrok"));
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    const QString file = home.filePath("sentrok/sentrok.mdb");
    try {
        createOwnDatabase(file, {file, true});
        QFAIL("a file in the folder's place must be an error");
    } catch (const DbError& e) {
        QVERIFY2(e.description().contains(home.filePath("sentrok")), qPrintable(e.description()));
    }
}

QTEST_GUILESS_MAIN(TestDefaultDatabase)
#include "tst_defaultdatabase.moc"
