#include "alerts/canberraplayer.h"
#include "alerts/sound.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include "support/fakes.h"

#include <QTest>

using namespace sentrok;
using sentrok::test::RecordingPlayer;

class TestSound : public QObject {
    Q_OBJECT
private slots:
    void pathsFromSettings_data();
    void pathsFromSettings();
    void eachRequestPlaysItsPath();
    void canberraReturnsAtOnceAndNeverFails();
};

void TestSound::pathsFromSettings_data()
{
    QTest::addColumn<QVariant>("setting");
    QTest::addColumn<QString>("path");
    QTest::newRow("file name") << QVariant("down.wav") << "/opt/sentrok/down.wav";
    QTest::newRow("sub-folder") << QVariant("sounds/alarm.wav") << "/opt/sentrok/sounds/alarm.wav";
    QTest::newRow("empty gives the folder and a separator") << QVariant("") << "/opt/sentrok/";
    QTest::newRow("NULL gives the folder alone") << QVariant() << "/opt/sentrok";
    QTest::newRow("absolute name stays under the folder")
        << QVariant("/tmp/x.wav") << "/opt/sentrok//tmp/x.wav";
}

void TestSound::pathsFromSettings()
{
    QFETCH(QVariant, setting);
    QFETCH(QString, path);
    RecordingPlayer player;
    Sound sound(player, "/opt/sentrok");
    sound.setNames(setting, setting);
    QCOMPARE(sound.upPath(), path);
    QCOMPARE(sound.downPath(), path);
}

void TestSound::eachRequestPlaysItsPath()
{
    RecordingPlayer player;
    Sound sound(player, "/p");
    sound.setNames("up.wav", "down.wav");
    sound.PlayDownSound();
    sound.PlayUpSound();
    sound.PlayTestSound("new name.wav");
    // The paths were fixed when the names were set; the test sound takes the name it is given.
    sound.PlayDownSound();
    QCOMPARE(player.played,
             QStringList({"/p/down.wav", "/p/up.wav", "/p/new name.wav", "/p/down.wav"}));
}

void TestSound::canberraReturnsAtOnceAndNeverFails()
{
    // Whether or not this machine has a sound server: a request returns at once, a missing
    // file falls back to the default sound, and a machine without sound says so once.
    CanberraPlayer player;
    QSignalSpy unavailable(&player, &CanberraPlayer::unavailable);
    QElapsedTimer t;
    t.start();
    for (const QString& path : {QString(SENTROK_BIN_DIR "/down.wav"), QString("/nonexistent/x.wav"),
                                QString(SENTROK_BIN_DIR "/up.wav"), QString(SENTROK_BIN_DIR)})
        player.play(path);
    QVERIFY2(t.elapsed() < 500, qPrintable(QString::number(t.elapsed())));
    QTest::qWait(1500);
    QVERIFY(unavailable.count() <= 1);
}

QTEST_GUILESS_MAIN(TestSound)
#include "tst_sound.moc"
