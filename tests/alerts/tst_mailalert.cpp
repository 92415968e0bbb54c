#include "alerts/mailalert.h"
#include "smtppeer.h"
#include "store/mailsettings.h"
#include "support/fakes.h"
#include "support/testdb.h"

#include <QRegularExpression>
#include <QSignalSpy>
#include <QSslSocket>
#include <QTest>

using namespace sentrok;
using namespace sentrok::test;
using Outcome = MailAlert::Outcome;

namespace {

constexpr int kWaitMs = 5000;
// Long enough for a client that answers too early to have done so.
constexpr int kQuietMs = 300;

const QString kDownRouter = QStringLiteral("NO CONNECT\r\nRouter[10.0.0.1]\r\n\r\nCONNECT\r\n");
const QByteArrayList kCommands{"RSET",
                               "HELO example.org",
                               "MAIL FROM: monitor@example.org",
                               "RCPT TO: admin@example.org",
                               "DATA",
                               "QUIT"};

// Everything one test needs: a database with a recipient row, the scripted server and the
// alert under test.
struct Rig {
    TestFolder folder;
    FakeMessageBoxes boxes;
    FakeClock clock;
    SmtpPeer peer;
    MailAlert alert{folder.db(), boxes, clock, peer.port()};
    QSignalSpy finished{&alert, &MailAlert::finished};
    QSignalSpy replied{&alert, &MailAlert::replied};

    explicit Rig(const QVariant& email = QStringLiteral("admin@example.org"),
                 const QVariant& smtp = QStringLiteral("127.0.0.1"),
                 const QVariant& from = QStringLiteral("monitor@example.org"))
    {
        folder.db().execute(QStringLiteral("insert into emails (smtp,[from],email,[desc]) "
                                           "values (?,?,?,'alerts')"),
                            {smtp, from, email});
    }
    void setRow(const QString& column, const QVariant& value)
    {
        folder.db().execute(QStringLiteral("update emails set [%1]=?").arg(column), {value});
    }
    SmtpPeer::Session& session(int i = 0) { return *peer.sessions.at(i); }
    bool waitForSession(int count = 1)
    {
        return QTest::qWaitFor([&] { return int(peer.sessions.size()) >= count; }, kWaitMs);
    }
    bool waitForCommands(int count, int i = 0)
    {
        return QTest::qWaitFor(
            [&] { return int(peer.sessions.size()) > i && session(i).commands.size() >= count; },
            kWaitMs);
    }
    Outcome outcome(int i) const { return finished.at(i).at(0).value<Outcome>(); }
    // Empty when dialogue i ended delivered and the server has seen the client hang up.
    QString delivered(int i)
    {
        if (!QTest::qWaitFor([&] { return finished.count() > i; }, kWaitMs))
            return QStringLiteral("dialogue %1 did not end").arg(i);
        if (outcome(i) != Outcome::Delivered)
            return QStringLiteral("dialogue %1 ended %2").arg(i).arg(int(outcome(i)));
        if (!QTest::qWaitFor([&] { return peer.sessions.back()->closed; }, kWaitMs))
            return QStringLiteral("the client did not hang up");
        return {};
    }
};

}  // namespace

class TestMailAlert : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void workedExampleOnTheWire();
    void cyrillicGoesOutInWindows1251();
    void repliesAreTakenWhenComplete_data();
    void repliesAreTakenWhenComplete();
    void errorTable_data();
    void errorTable();
    void refusalMidDialogue_data();
    void refusalMidDialogue();
    void refusalThenHangUp();
    void hostileServerOneBoxAtATime_data();
    void hostileServerOneBoxAtATime();
    void newAlertReplacesDialogue();
    void leadingDotsAreDoubled();
    void droppedAlerts_data();
    void droppedAlerts();
    void recipientLength_data();
    void recipientLength();
    void blankServerFailsAndNextAlertWorks();
    void greetingDomain_data();
    void greetingDomain();
    void connectionEnds_data();
    void connectionEnds();
    void unreadableRecipientTableDoesNotThrow();
    void dataAfterStartTlsConsentEndsTheDialogue_data();
    void dataAfterStartTlsConsentEndsTheDialogue();
};

void TestMailAlert::initTestCase()
{
    QLocale::setDefault(QLocale(QLocale::Russian, QLocale::Russia));
}

void TestMailAlert::init()
{
    // A line on stderr is for failures the user would not see otherwise: only where expected.
    QTest::failOnWarning(QRegularExpression(QStringLiteral(".")));
}

void TestMailAlert::workedExampleOnTheWire()
{
    Rig rig;
    rig.alert.SendAlert(kDownRouter);
    QVERIFY(rig.alert.busy());
    QCOMPARE(rig.delivered(0), QString());

    const QByteArray expected =
        "RSET\r\n"
        "HELO example.org\r\n"
        "MAIL FROM: monitor@example.org\r\n"
        "RCPT TO: admin@example.org\r\n"
        "DATA\r\n"
        "Subject: SENTROK\r\n"
        "From: monitor@example.org\r\n"
        "To: admin@example.org\r\n"
        "MIME-Version: 1.0\r\n"
        "Content-Type: text/plain; charset=\"windows-1251\"\r\n"
        "\r\n"
        "07.12.2026 20:07:11:  \r\n"
        "NO CONNECT\r\n"
        "Router[10.0.0.1]\r\n"
        "\r\n"
        "CONNECT\r\n"
        "\r\n"
        ".\r\n"
        "QUIT\r\n";
    QCOMPARE(rig.session().received, expected);
    QCOMPARE(rig.replied.count(), 7);  // greeting, five commands, the message
    QCOMPARE(rig.alert.step(), 0);
    QVERIFY(!rig.alert.busy());
    QVERIFY(rig.boxes.told.isEmpty());
    QCOMPARE(rig.alert.body(), QStringLiteral("07.12.2026 20:07:11:  \r\n") + kDownRouter);
}

void TestMailAlert::cyrillicGoesOutInWindows1251()
{
    Rig rig(QStringLiteral("админ@почта.рф"));
    rig.setRow(QStringLiteral("from"), QStringLiteral("монитор@почта.рф"));
    rig.alert.SendAlert(QStringLiteral("NO CONNECT\r\nШлюз[10.0.0.2]\r\n\r\nCONNECT\r\n"));
    QCOMPARE(rig.delivered(0), QString());

    const QByteArray domain = "\xEF\xEE\xF7\xF2\xE0.\xF0\xF4";  // почта.рф
    const QByteArray admin = "\xE0\xE4\xEC\xE8\xED@" + domain;
    const QByteArray monitor = "\xEC\xEE\xED\xE8\xF2\xEE\xF0@" + domain;
    const SmtpPeer::Session& s = rig.session();
    QCOMPARE(s.commands.mid(1, 3),
             QByteArrayList({"HELO " + domain, "MAIL FROM: " + monitor, "RCPT TO: " + admin}));
    QVERIFY(s.message.contains("\r\nFrom: " + monitor + "\r\nTo: " + admin + "\r\n"));
    QVERIFY(s.message.contains("\r\nNO CONNECT\r\n\xD8\xEB\xFE\xE7[10.0.0.2]\r\n"));
}

void TestMailAlert::repliesAreTakenWhenComplete_data()
{
    QTest::addColumn<QByteArrayList>("greeting");
    QTest::addColumn<QByteArrayList>("heloReply");
    using L = QByteArrayList;
    const L helo{"250 peer.test\r\n"};
    QTest::newRow("greeting split inside its line") << L{"220 peer.te", "st ready\r\n"} << helo;
    QTest::newRow("greeting split between CR and LF") << L{"220 ready\r", "\n"} << helo;
    QTest::newRow("multi-line greeting at once")
        << L{"220-peer.test\r\n220-no spam\r\n220 ready\r\n"} << helo;
    QTest::newRow("multi-line greeting line by line")
        << L{"220-peer.test\r\n", "220-no spam\r\n", "220 ready\r\n"} << helo;
    QTest::newRow("multi-line 250 to HELO")
        << L{"220 ready\r\n"} << L{"250-peer.test\r\n250-8BITMIME\r\n250 HELP\r\n"};
    QTest::newRow("multi-line 250 to HELO in pieces")
        << L{"220 ready\r\n"} << L{"250-peer.test\r\n250-8BIT", "MIME\r\n", "250 HELP\r\n"};
    QTest::newRow("codes alone") << L{"220\r\n"} << L{"250\r\n"};
    QTest::newRow("positive whatever the step") << L{"250 hello\r\n"} << L{"354 fine\r\n"};
}

void TestMailAlert::repliesAreTakenWhenComplete()
{
    QFETCH(QByteArrayList, greeting);
    QFETCH(QByteArrayList, heloReply);
    Rig rig;
    rig.peer.setGreeting(greeting);
    rig.peer.setReply("HELO", heloReply);
    rig.alert.SendAlert(kDownRouter);
    QCOMPARE(rig.delivered(0), QString());
    const SmtpPeer::Session& s = rig.session();
    QCOMPARE(s.commands, kCommands);
    QCOMPARE(rig.replied.count(), 7);
    // Nothing went out while a reply was still arriving.
    for (const auto& [first, last] : s.commandsAroundPieces) QCOMPARE(last, first);
}

void TestMailAlert::errorTable_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<QString>("text");  // null: nothing shown
    QTest::addColumn<bool>("refusal");  // ends the dialogue with QUIT
    const auto row = [](const char* tag, const char* reply, const QString& text,
                        bool refusal = true) {
        QTest::newRow(tag) << QByteArray(reply) << text << refusal;
    };
    // The server is stored as " 127.0.0.1 ": 421 names it trimmed.
    row("421", "421 closing down\r\n", "127.0.0.1 служба недоступна, соединение закрывается");
    row("450", "450 mailbox busy\r\n",
        "Запрошенная команда почтовой транзакции не выполнена, так как почтовый ящик недоступен");
    row("451", "451 local error\r\n",
        "Запрошенная команда не выполнена; произошла локальная ошибка при обработке сообщения");
    row("452", "452 no room\r\n", "Запрошенная команда не выполнена; системе не хватило ресурсов");
    row("500", "500 what\r\n", "Синтаксическая ошибка в тексте команды; команда не опознана");
    row("501", "501 bad args\r\n", "Синтаксическая ошибка в аргументах или параметрах команды");
    row("502", "502 not here\r\n", "Данная команда не реализована");
    row("503", "503 order\r\n", "Неверная последовательность команд");
    row("504", "504 no args\r\n", "У данной команды не может быть аргументов");
    row("550", "550 no mailbox\r\n",
        "Запрошенная команда не выполнена, так как почтовый ящик недоступен");
    row("551", "551 not local\r\n",
        "Данный адресат не является местным; попробуйте передать сообщение по маршруту "
        "<forward-path>");
    row("552", "552 disk full\r\n",
        "Запрошенная команда почтовой транзакции прервана; дисковое пространство, доступное "
        "системе, переполнилось");
    row("553", "553 bad name\r\n",
        "Запрошенная команда не выполнена; указано недопустимое имя почтового ящика");
    row("554", "554 failed\r\n", "Сообщение не было отправленно");
    row("554 on two lines", "554-multi\r\n554 line\r\n", "Сообщение не было отправленно");
    // Refusals outside the table end the dialogue too, told on stderr only.
    row("530 not in the table", "530 authenticate first\r\n", {});
    row("555 not in the table", "555 unknown\r\n", {});
    row("221 not in the table", "221 bye\r\n", {}, false);
    row("334 not in the table", "334 VXNlcm5hbWU6\r\n", {}, false);
    row("words", "hello there\r\n", {}, false);
    row("two digits", "55\r\n", {}, false);
    row("empty line", "\r\n", {}, false);
    row("Cyrillic words", "\xC1\xE0\xE4 \xEE\xF2\xE2\xE5\xF2\r\n", {}, false);
}

void TestMailAlert::errorTable()
{
    QFETCH(QByteArray, reply);
    QFETCH(QString, text);
    QFETCH(bool, refusal);
    Rig rig(QStringLiteral("admin@example.org"), QStringLiteral(" 127.0.0.1 "));
    rig.peer.setGreeting({reply});
    if (refusal && text.isNull())
        QTest::ignoreMessage(
            QtWarningMsg,
            QRegularExpression(QStringLiteral("ответил: ") + QString::fromLatin1(reply.trimmed())));
    rig.alert.SendAlert(kDownRouter);
    QVERIFY(rig.replied.wait(kWaitMs));
    QTest::qWait(kQuietMs);

    if (text.isNull()) {
        QVERIFY(rig.boxes.told.isEmpty());
    } else {
        QCOMPARE(rig.boxes.told.size(), 1);
        const Message& m = rig.boxes.told.first();
        QCOMPARE(m.text, text);
        QCOMPARE(m.title, QStringLiteral("Ошибка!!!"));
        QCOMPARE(m.icon, MsgIcon::Stop);
        QCOMPARE(m.buttons, MsgButtons::Ok);
    }
    QVERIFY(rig.boxes.asked.isEmpty());  // never a modal box from a socket handler
    if (refusal) {
        // The first refusal is the last word: QUIT, hang up, and no second box for more.
        QCOMPARE(rig.finished.count(), 1);
        QCOMPARE(rig.outcome(0), Outcome::Refused);
        QCOMPARE(rig.session().received, QByteArray("QUIT\r\n"));
        QTRY_VERIFY_WITH_TIMEOUT(rig.session().closed, kWaitMs);
        QCOMPARE(rig.alert.step(), 0);
        QVERIFY(!rig.alert.busy());
        return;
    }
    // Passed over: nothing sent, and a positive reply now carries on.
    QVERIFY(rig.session().received.isEmpty());
    QCOMPARE(rig.alert.step(), 0);
    QVERIFY(rig.alert.busy());
    QVERIFY(rig.finished.isEmpty());
    rig.peer.say(rig.session(), "220 ready now\r\n");
    QCOMPARE(rig.delivered(0), QString());
    QCOMPARE(rig.session().commands, kCommands);
}

void TestMailAlert::refusalMidDialogue_data()
{
    QTest::addColumn<QByteArray>("verb");
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<int>("step");
    QTest::addColumn<QString>("text");  // null: nothing shown
    QTest::newRow("550 to RCPT TO: no DATA")
        << QByteArray("RCPT") << QByteArray("550 5.1.1 no such user\r\n") << 4
        << "Запрошенная команда не выполнена, так как почтовый ящик недоступен";
    QTest::newRow("530 to MAIL FROM: no box")
        << QByteArray("MAIL") << QByteArray("530 5.7.0 Authentication required\r\n") << 3
        << QString();
    QTest::newRow("554 to the message")
        << QByteArray(".") << QByteArray("554 5.7.1 rejected as spam\r\n") << 6
        << "Сообщение не было отправленно";
}

void TestMailAlert::refusalMidDialogue()
{
    QFETCH(QByteArray, verb);
    QFETCH(QByteArray, reply);
    QFETCH(int, step);
    QFETCH(QString, text);
    Rig rig;
    rig.peer.setReply(verb, {reply});
    if (text.isNull())
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("ответил: 530")));
    rig.alert.SendAlert(kDownRouter);
    QTRY_COMPARE_WITH_TIMEOUT(rig.finished.count(), 1, kWaitMs);
    QCOMPARE(rig.outcome(0), Outcome::Refused);
    QTRY_VERIFY_WITH_TIMEOUT(rig.session().closed, kWaitMs);
    QCOMPARE(rig.session().commands, kCommands.first(qMin(step, 5)) + QByteArrayList{"QUIT"});
    QCOMPARE(rig.replied.count(), step + 1);
    QCOMPARE(rig.alert.step(), 0);
    QCOMPARE(rig.boxes.told.size(), text.isNull() ? 0 : 1);
    if (!text.isNull()) QCOMPARE(rig.boxes.told.first().text, text);
    QVERIFY(!rig.alert.busy());
}

void TestMailAlert::refusalThenHangUp()
{
    Rig rig;
    rig.peer.setReply("HELO", {});
    rig.alert.SendAlert(kDownRouter);
    QVERIFY(rig.waitForCommands(2));
    // The refusal and the end of the connection reach the client together.
    rig.peer.say(rig.session(), "421 4.3.2 shutting down\r\n");
    rig.peer.hangUp(rig.session());
    QTRY_COMPARE_WITH_TIMEOUT(rig.finished.count(), 1, kWaitMs);
    QCOMPARE(rig.outcome(0), Outcome::Refused);
    QCOMPARE(rig.boxes.told.size(), 1);
    QCOMPARE(rig.boxes.told.first().text,
             QStringLiteral("127.0.0.1 служба недоступна, соединение закрывается"));
    QVERIFY(!rig.alert.busy());
}

void TestMailAlert::hostileServerOneBoxAtATime_data()
{
    QTest::addColumn<int>("later");  // refusals while the first box is open
    QTest::addColumn<QString>("more");
    QTest::newRow("1") << 1 << "(и ещё 1 ошибка отправки почты)";
    QTest::newRow("3") << 3 << "(и ещё 3 ошибки отправки почты)";
    QTest::newRow("5") << 5 << "(и ещё 5 ошибок отправки почты)";
    QTest::newRow("11") << 11 << "(и ещё 11 ошибок отправки почты)";
    QTest::newRow("21") << 21 << "(и ещё 21 ошибка отправки почты)";
    QTest::newRow("22") << 22 << "(и ещё 22 ошибки отправки почты)";
}

void TestMailAlert::hostileServerOneBoxAtATime()
{
    QFETCH(int, later);
    QFETCH(QString, more);
    const QString refused = QStringLiteral(
        "Запрошенная команда не выполнена, так как почтовый "
        "ящик недоступен");
    Rig rig;
    QByteArray flood;
    for (int i = 0; i < 2000; ++i) flood += "550 no\r\n";
    rig.peer.setReply("RSET", {flood});
    rig.alert.SendAlert(kDownRouter);
    QTRY_COMPARE_WITH_TIMEOUT(rig.finished.count(), 1, kWaitMs);
    QTRY_VERIFY_WITH_TIMEOUT(rig.session().closed, kWaitMs);
    QCOMPARE(rig.session().commands, QByteArrayList({"RSET", "QUIT"}));
    QCOMPARE(rig.replied.count(), 2);  // the greeting and the first refusal, nothing after

    for (int i = 1; i <= later; ++i) {
        rig.alert.SendAlert(kDownRouter);
        QTRY_COMPARE_WITH_TIMEOUT(rig.finished.count(), i + 1, kWaitMs);
    }
    QCOMPARE(rig.boxes.notices.size(), 1);
    QCOMPARE(rig.boxes.notices[0]->message.text, refused + QStringLiteral("\r\n\r\n") + more);

    // Once the user has closed it, the next refusal opens a box of its own.
    rig.boxes.notices[0]->open = false;
    rig.alert.SendAlert(kDownRouter);
    QTRY_COMPARE_WITH_TIMEOUT(rig.finished.count(), later + 2, kWaitMs);
    QCOMPARE(rig.boxes.notices.size(), 2);
    QCOMPARE(rig.boxes.notices[1]->message.text, refused);
}

void TestMailAlert::newAlertReplacesDialogue()
{
    Rig rig;
    rig.peer.setReply("HELO", {});  // the first dialogue stalls after HELO
    rig.alert.SendAlert(QStringLiteral("NO CONNECT\r\nFirst[10.0.0.1]\r\n\r\nCONNECT\r\n"));
    QVERIFY(rig.waitForCommands(2));

    rig.peer.setReply("HELO", {"250 peer.test\r\n"});
    rig.alert.SendAlert(QStringLiteral("NO CONNECT\r\n\r\nCONNECT\r\nSecond[10.0.0.2]\r\n"));
    QCOMPARE(rig.finished.count(), 1);
    QCOMPARE(rig.outcome(0), Outcome::Abandoned);
    QCOMPARE(rig.alert.step(), 0);
    // The old connection is gone before its reply comes.
    QTRY_VERIFY_WITH_TIMEOUT(rig.session(0).closed, kWaitMs);

    QCOMPARE(rig.delivered(1), QString());
    QCOMPARE(rig.peer.sessions.size(), size_t(2));
    QCOMPARE(rig.session(0).commands, kCommands.first(2));
    QVERIFY(rig.session(0).message.isEmpty());
    QCOMPARE(rig.session(1).commands, kCommands);
    QVERIFY(rig.session(1).message.contains("\r\nCONNECT\r\nSecond[10.0.0.2]\r\n"));
    QVERIFY(!rig.session(1).message.contains("First"));
}

void TestMailAlert::leadingDotsAreDoubled()
{
    Rig rig;
    rig.alert.SendAlert(
        QStringLiteral("NO CONNECT\r\n.[10.0.0.1]\r\n\r\nCONNECT\r\n.hidden[10.0.0.2]\r\n"));
    QCOMPARE(rig.delivered(0), QString());
    // The peer found the end where the client put it, not at a line of the body.
    QVERIFY(rig.session().message.endsWith(
        "\r\nNO CONNECT\r\n..[10.0.0.1]\r\n\r\nCONNECT\r\n..hidden[10.0.0.2]\r\n\r\n.\r\n"));
    QCOMPARE(rig.session().commands, kCommands);
}

void TestMailAlert::droppedAlerts_data()
{
    QTest::addColumn<bool>("hasRow");
    QTest::addColumn<QString>("column");
    QTest::addColumn<QVariant>("value");
    QTest::addColumn<QString>("warning");  // empty: dropped without a word
    QTest::newRow("no row") << false << QString() << QVariant() << QString();
    for (const char* column : {"smtp", "from", "email"}) {
        QTest::addRow("%s NULL", column)
            << true << QString::fromLatin1(column) << QVariant() << QString();
        QTest::addRow("%s empty", column)
            << true << QString::fromLatin1(column) << QVariant("") << QString();
    }
    QTest::newRow("line break inside the recipient")
        << true << "email" << QVariant("admin@example.org\r\nRCPT TO: spy@example.net")
        << "перевод строки";
    QTest::newRow("line break inside the sender")
        << true << "from" << QVariant("monitor@example.org\nRCPT TO: spy@example.net")
        << "перевод строки";
}

void TestMailAlert::droppedAlerts()
{
    QFETCH(bool, hasRow);
    QFETCH(QString, column);
    QFETCH(QVariant, value);
    QFETCH(QString, warning);
    Rig rig;
    if (!hasRow)
        rig.folder.db().execute(QStringLiteral("delete from emails"));
    else
        rig.setRow(column, value);
    if (!warning.isEmpty()) QTest::ignoreMessage(QtWarningMsg, QRegularExpression(warning));
    rig.alert.SendAlert(kDownRouter);
    QVERIFY(!rig.alert.busy());
    QTest::qWait(kQuietMs);
    QVERIFY(rig.peer.sessions.empty());
    QVERIFY(rig.finished.isEmpty());
    QVERIFY(rig.boxes.told.isEmpty());
}

void TestMailAlert::recipientLength_data()
{
    QTest::addColumn<int>("length");
    QTest::addColumn<bool>("sent");
    QTest::newRow("254") << 254 << true;
    QTest::newRow("255") << 255 << false;
    QTest::newRow("254 between blanks") << -254 << true;
}

void TestMailAlert::recipientLength()
{
    QFETCH(int, length);
    QFETCH(bool, sent);
    const QString domain = QStringLiteral("@example.org");
    const QString recipient = QString(qAbs(length) - domain.size(), u'a') + domain;
    Rig rig(length < 0 ? QStringLiteral("  ") + recipient + QStringLiteral(" ") : recipient);
    if (!sent)
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("длиннее 254")));
    rig.alert.SendAlert(kDownRouter);
    if (sent) {
        QCOMPARE(rig.delivered(0), QString());
        QCOMPARE(rig.session().commands.at(3), "RCPT TO: " + recipient.toLatin1());
    } else {
        QVERIFY(!rig.alert.busy());
        QTest::qWait(kQuietMs);
        QVERIFY(rig.peer.sessions.empty());
    }
}

void TestMailAlert::blankServerFailsAndNextAlertWorks()
{
    Rig rig(QStringLiteral("admin@example.org"), QStringLiteral("   "));
    QTest::ignoreMessage(QtWarningMsg,
                         QRegularExpression(QStringLiteral("почтовый сервер \"\" порт \\d+")));
    rig.alert.SendAlert(kDownRouter);
    QTRY_COMPARE_WITH_TIMEOUT(rig.finished.count(), 1, kWaitMs);
    QCOMPARE(rig.outcome(0), Outcome::Failed);
    QVERIFY(!rig.alert.busy());
    QVERIFY(rig.boxes.told.isEmpty());
    QVERIFY(rig.boxes.asked.isEmpty());
    QVERIFY(rig.peer.sessions.empty());

    rig.setRow(QStringLiteral("smtp"), QStringLiteral("127.0.0.1"));
    rig.alert.SendAlert(kDownRouter);
    QCOMPARE(rig.delivered(1), QString());
    QCOMPARE(rig.session().commands, kCommands);
}

void TestMailAlert::greetingDomain_data()
{
    QTest::addColumn<QStringList>("recipients");  // one alert each, in order
    QTest::addColumn<QString>("domain");
    QTest::newRow("after the last of two @") << QStringList{"a@b@c.example"} << "c.example";
    QTest::newRow("none at the start: empty") << QStringList{"postmaster"} << "";
    QTest::newRow("none later: the previous one")
        << QStringList{"x@one.example", "postmaster"} << "one.example";
    QTest::newRow("a later one replaces it")
        << QStringList{"x@one.example", "y@two.example"} << "two.example";
    QTest::newRow("taken from the trimmed address")
        << QStringList{" \tx@three.example  "} << "three.example";
    QTest::newRow("@ at the end: empty") << QStringList{"x@one.example", "x@"} << "";
}

void TestMailAlert::greetingDomain()
{
    QFETCH(QStringList, recipients);
    QFETCH(QString, domain);
    Rig rig;
    for (int i = 0; i < recipients.size(); ++i) {
        rig.setRow(QStringLiteral("email"), recipients[i]);
        rig.alert.SendAlert(kDownRouter);
        QCOMPARE(rig.delivered(i), QString());
    }
    QCOMPARE(rig.alert.greetingDomain(), domain);
    const SmtpPeer::Session& last = *rig.peer.sessions.back();
    QCOMPARE(last.commands.at(1), ("HELO " + domain).toLatin1());
    QCOMPARE(last.commands.at(3), ("RCPT TO: " + recipients.last().trimmed()).toLatin1());
}

void TestMailAlert::connectionEnds_data()
{
    QTest::addColumn<QString>("how");
    QTest::addColumn<QString>("warning");
    QTest::newRow("server closes after RSET") << "hang up"
                                              << "сервер закрыл соединение";
    QTest::newRow("nobody listens") << "refused"
                                    << "Connection refused";
    QTest::newRow("no reply in time") << "silent"
                                      << "нет ответа сервера за 0.3 с";
    QTest::newRow("endless garbage") << "garbage"
                                     << "без законченного ответа";
    QTest::newRow("replies that move nothing on") << "chatter"
                                                  << "нет ответа сервера за 0.3 с";
}

void TestMailAlert::connectionEnds()
{
    QFETCH(QString, how);
    QFETCH(QString, warning);
    Rig rig;
    rig.alert.setReplyTimeout(std::chrono::milliseconds(300));
    if (how == u"hang up")
        rig.peer.setHangUpOn("RSET");
    else if (how == u"refused")
        rig.peer.stopListening();
    else if (how == u"silent")
        rig.peer.setGreeting({});
    else if (how == u"chatter")
        rig.peer.setGreeting(QByteArrayList(20, "221 wait\r\n"));
    else
        rig.peer.setGreeting({QByteArray(100'000, 'x')});
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QRegularExpression::escape(warning)));
    rig.alert.SendAlert(kDownRouter);
    QTRY_COMPARE_WITH_TIMEOUT(rig.finished.count(), 1, kWaitMs);
    QCOMPARE(rig.outcome(0), Outcome::Failed);
    QVERIFY(!rig.alert.busy());
    QVERIFY(rig.boxes.told.isEmpty());
    // Ended at the time-out, not when the server ran out of words, 100 ms apart.
    if (how == u"chatter") QVERIFY(rig.replied.count() < 20);
    if (!rig.peer.sessions.empty()) QTRY_VERIFY_WITH_TIMEOUT(rig.session().closed, kWaitMs);

    // The same alert object, with a server that now behaves: the next alert goes through.
    rig.alert.setReplyTimeout(MailAlert::kReplyTimeout);
    rig.peer.setHangUpOn({});
    rig.peer.setGreeting({"220 peer.test ready\r\n"});
    QVERIFY(rig.peer.listen());
    rig.alert.SendAlert(kDownRouter);
    QCOMPARE(rig.delivered(1), QString());
    QCOMPARE(rig.peer.sessions.back()->commands, kCommands);
}

void TestMailAlert::unreadableRecipientTableDoesNotThrow()
{
    Rig rig;
    rig.folder.db().execute(QStringLiteral("drop table emails"));
    QTest::ignoreMessage(QtWarningMsg,
                         QRegularExpression(QStringLiteral("адресат оповещения не прочитан")));
    rig.alert.SendAlert(kDownRouter);
    QVERIFY(!rig.alert.busy());
    QVERIFY(rig.boxes.told.isEmpty());
}

// Whatever comes in clear with STARTTLS's 220 could be anybody's (RFC 3207): the client must not
// go on to the handshake, let alone take it as a reply later.
void TestMailAlert::dataAfterStartTlsConsentEndsTheDialogue_data()
{
    QTest::addColumn<QByteArray>("consent");
    QTest::newRow("a whole reply after the 220") << QByteArray("220 go ahead\r\n250 injected\r\n");
    QTest::newRow("part of a line after the 220") << QByteArray("220 go ahead\r\n25");
}

void TestMailAlert::dataAfterStartTlsConsentEndsTheDialogue()
{
    QFETCH(QByteArray, consent);
    if (!QSslSocket::supportsSsl()) QSKIP("Qt has no TLS backend here");
    Rig rig;
    QString why;
    const auto options =
        checkMailServer({QString::number(rig.peer.port()), "starttls", "", ""}, 25, &why);
    QVERIFY2(options, qPrintable(why));
    saveMailServer(rig.folder.db(), *options, {});
    rig.peer.setReply("EHLO", {"250-peer.test\r\n250 STARTTLS\r\n"});
    rig.peer.setReply("STARTTLS", {consent});
    rig.alert.SendAlert(kDownRouter);
    QTRY_COMPARE_WITH_TIMEOUT(rig.finished.count(), 1, kWaitMs);
    QCOMPARE(rig.outcome(0), Outcome::Failed);
    QVERIFY2(rig.alert.lastError().contains("вслед за согласием на STARTTLS"),
             qPrintable(rig.alert.lastError()));
    QTest::qWait(kQuietMs);
    // Not one byte of a handshake went out after STARTTLS.
    QVERIFY2(rig.session().received.endsWith("STARTTLS\r\n"), rig.session().received.constData());
}

QTEST_GUILESS_MAIN(TestMailAlert)
#include "tst_mailalert.moc"
