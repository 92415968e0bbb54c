// The real program ended by the system: SIGTERM (logout, kill) and SIGINT (Ctrl+C) must save
// what a confirmed close saves and give the running-instance lock back.

#include "store/database.h"

#include <QDir>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>

using namespace sentrok;

namespace {

constexpr int kStartMs = 60'000;  // generous: a loaded machine, a sanitizer build
constexpr int kEndMs = 30'000;

QString binDir() { return qEnvironmentVariable("SENTROK_BIN_DIR"); }

}  // namespace

class TestSignals : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void endsAsAConfirmedClose_data();
    void endsAsAConfirmedClose();
};

void TestSignals::initTestCase()
{
    QVERIFY2(
        QFileInfo::exists(binDir() + "/sentrok") && QFileInfo::exists(binDir() + "/sentrok-db"),
        "SENTROK_BIN_DIR must name the folder holding sentrok and sentrok-db");
}

void TestSignals::endsAsAConfirmedClose_data()
{
    QTest::addColumn<int>("signal");
    QTest::newRow("SIGTERM") << int(SIGTERM);
    QTest::newRow("SIGINT") << int(SIGINT);
}

void TestSignals::endsAsAConfirmedClose()
{
    QFETCH(int, signal);
    // The program folder is the executable's: a copy of the program beside a new database.
    QTemporaryDir folder;
    QVERIFY(QFile::copy(binDir() + "/sentrok", folder.filePath("sentrok")));
    QVERIFY(QFile::setPermissions(folder.filePath("sentrok"),
                                  QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    const QString dbFile = folder.filePath("sentrok.mdb");
    QCOMPARE(QProcess::execute(binDir() + "/sentrok-db", {"create", dbFile}), 0);
    const QString runtime = folder.filePath("run");
    QVERIFY(QDir().mkpath(runtime));
    QVERIFY(QFile::setPermissions(runtime, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));

    QProcess program;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "offscreen");
    env.insert("XDG_RUNTIME_DIR", runtime);
    program.setProcessEnvironment(env);
    program.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    program.start(folder.filePath("sentrok"), {});
    QVERIFY(program.waitForStarted(kStartMs));
    const auto lockFiles = [&] { return QDir(runtime).entryList({"sentrok-*.lock"}, QDir::Files); };
    // The lock is taken during the load, after the signals are caught.
    QVERIFY2(QTest::qWaitFor([&] { return !lockFiles().isEmpty(); }, kStartMs),
             "the program never took its lock");

    ::kill(pid_t(program.processId()), signal);
    QVERIFY2(program.waitForFinished(kEndMs), "the program did not end");
    QCOMPARE(program.exitStatus(), QProcess::NormalExit);
    QCOMPARE(program.exitCode(), 0);
    QCOMPARE(lockFiles(), QStringList());

    // The geometry and widths of both windows, as a confirmed close writes them (a new file
    // holds zeros there).
    Database db(dbFile, Database::uniqueName("check"));
    Result row = db.execute(
        "select sentrok_width,sentrok_height,pcol1,pcol5,nocon_width,"
        "nocon_height,ncol1 from options");
    QVERIFY(!row.eof());
    for (int i = 0; i < 7; ++i)
        QVERIFY2(row.field(i).toDouble() > 0, qPrintable(QString("column %1 not saved").arg(i)));
}

QTEST_GUILESS_MAIN(TestSignals)
#include "tst_signals.moc"
