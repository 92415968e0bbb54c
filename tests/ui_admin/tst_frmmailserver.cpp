// The mail server dialog of the administration window: where it sits, what it refuses, what it
// stores where, and the test message with the values typed.

#include "../alerts/smtppeer.h"
#include "alerts/sound.h"
#include "secrets/secretstore.h"
#include "store/mailsettings.h"
#include "support/fakes.h"
#include "support/testdb.h"
#include "ui/admin/frmbase.h"
#include "ui/admin/frmmailserver.h"

#include <QComboBox>
#include <QFile>
#include <QGroupBox>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

using namespace sentrok;
using namespace sentrok::test;

namespace {

constexpr int kWaitMs = 5000;

struct Harness {
    TestFolder folder;
    FakeMessageBoxes boxes;
    FakeClock clock;
    RecordingPlayer player;
    Sound sound{player, folder.path()};
    QTemporaryDir secretsFolder;
    SecretStore secrets{SecretStore::Place::File, secretsFolder.path()};
    std::unique_ptr<frmBase> w;
    QPointer<frmMailServer> dialog;  // gone once saved: it deletes itself on close

    explicit Harness(const QString& server = "127.0.0.1")
    {
        folder.db().execute(
            "insert into emails (smtp,[from],email,[desc]) values "
            "(?,'monitor@example.org','admin@example.org','')",
            {server});
        w = std::make_unique<frmBase>(AdminWindowDeps{.programFolder = folder.path(),
                                                      .boxes = &boxes,
                                                      .sound = &sound,
                                                      .showHistory = nullptr,
                                                      .clock = &clock,
                                                      .secrets = &secrets});
        if (!w->Form_Load()) qFatal("the administration window did not load");
    }
    bool open()
    {
        w->findChild<QPushButton*>("cmdMailServer")->click();
        dialog = w->findChild<frmMailServer*>();
        return dialog && dialog->isVisible();
    }
    template <typename T = QLineEdit>
    T* find(const char* name) const
    {
        T* c = dialog->findChild<T*>(name);
        if (!c) qFatal("no control %s", name);
        return c;
    }
    void fill(const QStringList& v)  // port, security, user, password, pin
    {
        find("txtPort")->setText(v[0]);
        auto* security = find<QComboBox>("cboSecurity");
        security->setCurrentIndex(security->findData(v[1]));
        find("txtLogin")->setText(v[2]);
        find("txtPassword")->setText(v[3]);
        find("txtPin")->setText(v[4]);
    }
    QString stored()
    {
        return folder.scalar(
            "select port||' '||security||' '||ifnull(login,'')||' '||ifnull(pin,'') from emails");
    }
};

}  // namespace

class TestFrmMailServer : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { QLocale::setDefault(QLocale(QLocale::Russian, QLocale::Russia)); }
    void opensBesideTheRecipientWithStoredValues();
    void saving_data();
    void saving();
    void testMessageUsesTypedValues_data();
    void testMessageUsesTypedValues();
};

void TestFrmMailServer::opensBesideTheRecipientWithStoredValues()
{
    Harness h;
    saveMailServer(h.folder.db(), {587, MailSecurity::StartTls, "user", QString(64, u'a')}, {});
    // The button takes room of the frame that no control of its own uses.
    auto* frame = h.w->findChild<QGroupBox*>("Frame3");
    auto* button = h.w->findChild<QPushButton*>("cmdMailServer");
    QCOMPARE(button->parentWidget(), frame);
    QVERIFY(frame->rect().contains(button->geometry()));
    for (const QWidget* other : frame->findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
        if (other != button && other->isVisibleTo(frame))
            QVERIFY2(!other->geometry().intersects(button->geometry()),
                     qPrintable(other->objectName()));

    QVERIFY(h.open());
    QCOMPARE(h.find("txtPort")->text(), QStringLiteral("587"));
    QCOMPARE(h.find<QComboBox>("cboSecurity")->currentData().toString(),
             QStringLiteral("starttls"));
    QCOMPARE(h.find("txtLogin")->text(), QStringLiteral("user"));
    QCOMPARE(h.find("txtPin")->text(), QString("AA:").repeated(32).chopped(1));
    QVERIFY(h.find("txtPassword")->text().isEmpty());
    // One dialog: the button again brings the same one forward.
    h.w->findChild<QPushButton*>("cmdMailServer")->click();
    QCOMPARE(h.w->findChildren<frmMailServer*>().size(), 1);
}

void TestFrmMailServer::saving_data()
{
    QTest::addColumn<QStringList>("typed");  // port, security, user, password, pin
    QTest::addColumn<QString>("box");        // words of the first box, or empty
    QTest::addColumn<QString>("stored");     // the row afterwards
    const QString before = "25 none  ";
    QTest::newRow("port abc") << QStringList{"abc", "none", "", "", ""} << "от 1 до 65535"
                              << before;
    QTest::newRow("port 70000") << QStringList{"70000", "tls", "", "", ""} << "от 1 до 65535"
                                << before;
    QTest::newRow("short pin") << QStringList{"465", "tls", "", "", "ab:cd"} << "64" << before;
    QTest::newRow("password without a user")
        << QStringList{"587", "starttls", "", "pw", ""} << "укажите пользователя" << before;
    QTest::newRow("submission with a password")
        << QStringList{"587", "starttls", "user", "s3cret", ""} << ""
        << "587 starttls user ";
    QTest::newRow("none with a user: warned")
        << QStringList{"2525", "none", "user", "", ""} << "открытым текстом"
        << "2525 none user ";
}

void TestFrmMailServer::saving()
{
    QFETCH(QStringList, typed);
    QFETCH(QString, box);
    QFETCH(QString, stored);
    Harness h;
    saveMailServer(h.folder.db(), {}, {});
    QVERIFY(h.open());
    h.fill(typed);
    h.find<QPushButton>("cmdSaveMail")->click();
    QTRY_VERIFY_WITH_TIMEOUT(!h.dialog || !h.dialog->isVisible() || !h.boxes.asked.isEmpty(),
                             kWaitMs);
    QCOMPARE(h.stored(), stored);
    if (!box.isEmpty()) {
        QCOMPARE(h.boxes.asked.size(), 1);
        QVERIFY2(h.boxes.asked[0].text.contains(box), qPrintable(h.boxes.asked[0].text));
    } else {
        QVERIFY(h.boxes.asked.isEmpty());
    }
    if (typed[3].isEmpty() || !box.isEmpty()) return;
    // The password went to the store, the user was told where, and the database never saw it.
    QTRY_COMPARE_WITH_TIMEOUT(h.boxes.told.size(), 1, kWaitMs);
    QVERIFY(h.boxes.told[0].text.contains(h.secrets.filePath()));
    std::optional<QString> password;
    h.secrets.read(SecretStore::keyFor("user", "127.0.0.1"),
                   [&](const std::optional<QString>& p, const QString&) { password = p; });
    QTRY_COMPARE_WITH_TIMEOUT(password, std::optional<QString>(typed[3]), kWaitMs);
    QFile file(h.folder.dbFile());
    QVERIFY(file.open(QIODevice::ReadOnly));
    QVERIFY(!file.readAll().contains(typed[3].toUtf8()));
}

void TestFrmMailServer::testMessageUsesTypedValues_data()
{
    QTest::addColumn<QByteArray>("rcptReply");
    QTest::addColumn<QStringList>("told");  // words of the one box
    QTest::newRow("delivered") << QByteArray("250 OK\r\n")
                               << QStringList{"принято почтовым сервером 127.0.0.1",
                                              "admin@example.org"};
    QTest::newRow("refused") << QByteArray("550 no such user\r\n")
                             << QStringList{"не отправлено", "почтовый ящик недоступен",
                                            "Ответ сервера: 550 no such user"};
}

void TestFrmMailServer::testMessageUsesTypedValues()
{
    QFETCH(QByteArray, rcptReply);
    QFETCH(QStringList, told);
    SmtpPeer peer;
    peer.setReply("RCPT", {rcptReply});
    Harness h;
    QVERIFY(h.open());
    // The port typed, not the one stored: nothing is saved for a test.
    h.fill({QString::number(peer.port()), "none", "", "", ""});
    h.find<QPushButton>("cmdTestMail")->click();
    QTRY_COMPARE_WITH_TIMEOUT(h.boxes.told.size(), 1, kWaitMs);
    for (const QString& w : told)
        QVERIFY2(h.boxes.told[0].text.contains(w), qPrintable(h.boxes.told[0].text));
    QVERIFY(h.find<QPushButton>("cmdTestMail")->isEnabled());
    QVERIFY(h.boxes.notices.isEmpty());  // the dialog's own report, not the alerts' error box
    QCOMPARE(h.stored(), QString());     // no server settings were written
}

QTEST_MAIN(TestFrmMailServer)
#include "tst_frmmailserver.moc"
