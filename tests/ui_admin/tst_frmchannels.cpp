// The chat channels dialog of the administration window, against receivers in the test network
// namespace: a channel added with its secret kept apart, refused with a word, tried while the
// window goes on, turned off and removed.

#include "../channels/fakehttp.h"
#include "alerts/sound.h"
#include "channels/channelsecrets.h"
#include "secrets/secretstore.h"
#include "support/fakes.h"
#include "support/netns.h"
#include "support/testdb.h"
#include "ui/admin/frmbase.h"
#include "ui/admin/frmchannels.h"

#include <QComboBox>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QSignalSpy>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTest>

using namespace sentrok;
using namespace sentrok::test;

namespace {

constexpr int kWaitMs = 10'000;
const QString kToken = QStringLiteral("123456789:AAHdialogToken_abcdefghij-0123");

struct Harness {
    TestFolder folder;
    FakeMessageBoxes boxes;
    RecordingPlayer player;
    Sound sound{player, folder.path()};
    QTemporaryDir secretsFolder;
    SecretStore secrets{SecretStore::Place::File, secretsFolder.path()};
    std::unique_ptr<frmBase> w;
    QPointer<frmChannels> dialog;

    Harness()
    {
        w = std::make_unique<frmBase>(AdminWindowDeps{.programFolder = folder.path(),
                                                      .boxes = &boxes,
                                                      .sound = &sound,
                                                      .showHistory = nullptr,
                                                      .clock = nullptr,
                                                      .secrets = &secrets});
        if (!w->Form_Load()) qFatal("the administration window did not load");
        w->findChild<QPushButton*>("cmdChannels")->click();
        dialog = w->findChild<frmChannels*>();
        if (!dialog || !dialog->isVisible()) qFatal("the channels dialog did not open");
    }
    template <typename T = QLineEdit>
    T* find(const char* name) const
    {
        T* c = dialog->findChild<T*>(name);
        if (!c) qFatal("no control %s", name);
        return c;
    }
    // kind: "telegram" or "webhook"; target: the chat or the URL.
    bool add(const QString& kind, const QString& target, const QString& token = {},
             const QString& api = {})
    {
        auto* cbo = find<QComboBox>("cboKind");
        cbo->setCurrentIndex(cbo->findData(kind));
        find("txtTarget")->setText(target);
        find("txtToken")->setText(token);
        find("txtApiUrl")->setText(api);
        QSignalSpy done(dialog.data(), &frmChannels::addFinished);
        find<QPushButton>("cmdAdd")->click();
        if (done.isEmpty() && !done.wait(kWaitMs)) return false;
        return done.first().first().toBool();
    }
    QTableWidget* list() const { return find<QTableWidget>("lstChannels"); }
    QString secretOf(const QString& ref)
    {
        QString got;
        bool answered = false;
        secrets.read(channelSecretKey(ref), [&](std::optional<QString> s, const QString&) {
            got = s.value_or(QString());
            answered = true;
        });
        if (!QTest::qWaitFor([&] { return answered; }, kWaitMs))
            return QStringLiteral("<no answer>");
        return got;
    }
};

}  // namespace

class TestFrmChannels : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void addTestRemove();
    void refusals_data();
    void refusals();
    void enableTogglesTheRow();
};

void TestFrmChannels::initTestCase()
{
    if (const QString why = netnsUnavailable(); !why.isEmpty()) QSKIP(qPrintable(why));
}

void TestFrmChannels::addTestRemove()
{
    Harness h;
    FakeHttp api({FakeHttp::Reply::hanging()});
    QVERIFY(h.add("telegram", "-100777", kToken, api.url()));
    QCOMPARE(h.list()->rowCount(), 1);
    QCOMPARE(h.list()->item(0, 3)->text(), QStringLiteral("-100777"));
    QVERIFY(h.find("txtToken")->text().isEmpty());  // not left on the screen
    const QString ref = h.folder.scalar("select secret_ref from channels");
    QCOMPARE(h.secretOf(ref), kToken);
    QFile file(h.folder.dbFile());
    QVERIFY(file.open(QIODevice::ReadOnly));
    QVERIFY(!file.readAll().contains(kToken.toUtf8()));

    // The server hangs: the window answers meanwhile, and the outcome comes when it answers.
    h.list()->selectRow(0);
    QSignalSpy tested(h.dialog.data(), &frmChannels::testFinished);
    h.find<QPushButton>("cmdTest")->click();
    QTRY_COMPARE_WITH_TIMEOUT(api.seen.size(), 1, kWaitMs);
    QVERIFY(!h.find<QPushButton>("cmdTest")->isEnabled());
    QVERIFY(tested.isEmpty());
    api.release(FakeHttp::Reply(200, R"({"ok":true,"result":{"message_id":42}})"));
    QTRY_COMPARE_WITH_TIMEOUT(tested.size(), 1, kWaitMs);
    QCOMPARE(tested.first().first().toBool(), true);
    QVERIFY2(h.find<QLabel>("lblResult")->text().contains("message_id"),
             qPrintable(h.find<QLabel>("lblResult")->text()));
    QCOMPARE(QString::fromLatin1(api.seen[0].target), "/bot" + kToken + "/sendMessage");

    // Removal asks first: No keeps it, Yes removes the row and the secret.
    h.boxes.answerNext(MsgAnswer::No);
    h.find<QPushButton>("cmdRemove")->click();
    QCOMPARE(h.list()->rowCount(), 1);
    h.boxes.answerNext(MsgAnswer::Yes);
    h.find<QPushButton>("cmdRemove")->click();
    QCOMPARE(h.list()->rowCount(), 0);
    QCOMPARE(h.folder.scalar("select count(*) from channels"), QStringLiteral("0"));
    QCOMPARE(h.secretOf(ref), QString());
    for (const Message& m : h.boxes.asked + h.boxes.told) QVERIFY(!m.text.contains(kToken));
}

void TestFrmChannels::refusals_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("target");
    QTest::addColumn<QString>("token");
    QTest::addColumn<QString>("words");
    QTest::newRow("chat not a number") << "telegram"
                                       << "chat one" << kToken << "Чат Telegram";
    QTest::newRow("token missing") << "telegram"
                                   << "-100777"
                                   << ""
                                   << "Токен бота";
    QTest::newRow("webhook not http") << "webhook"
                                      << "gopher://127.0.0.1/x"
                                      << ""
                                      << "http:// или https://";
}

void TestFrmChannels::refusals()
{
    QFETCH(QString, kind);
    QFETCH(QString, target);
    QFETCH(QString, token);
    QFETCH(QString, words);
    Harness h;
    QVERIFY(!h.add(kind, target, token));
    QCOMPARE(h.boxes.told.size(), 1);
    QVERIFY2(h.boxes.told[0].text.contains(words), qPrintable(h.boxes.told[0].text));
    QCOMPARE(h.list()->rowCount(), 0);
    QCOMPARE(h.folder.scalar("select count(*) from channels"), QStringLiteral("0"));
    // The same with a sound value is taken: the refusal was the guard's.
    QVERIFY(h.add("webhook", "http://127.0.0.1:9/hook"));
    QCOMPARE(h.list()->rowCount(), 1);
}

void TestFrmChannels::enableTogglesTheRow()
{
    Harness h;
    QVERIFY(h.add("webhook", "http://127.0.0.1:9/secret/path"));
    QCOMPARE(h.list()->item(0, 3)->text(), QStringLiteral("http://127.0.0.1:9/***"));
    h.list()->selectRow(0);
    h.find<QPushButton>("cmdEnable")->click();
    QCOMPARE(h.folder.scalar("select enabled from channels"), QStringLiteral("0"));
    QCOMPARE(h.list()->item(0, 4)->text(), QStringLiteral("нет"));
    h.find<QPushButton>("cmdEnable")->click();
    QCOMPARE(h.folder.scalar("select enabled from channels"), QStringLiteral("1"));
}

QTEST_MAIN(TestFrmChannels)
#include "tst_frmchannels.moc"
