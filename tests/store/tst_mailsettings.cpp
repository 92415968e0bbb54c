// The mail server's settings in table emails: what is accepted, and the upgrade of files made
// before those settings existed.

#include "store/mailsettings.h"
#include "support/testdb.h"

#include <QTest>

using namespace sentrok;
using namespace sentrok::test;

class TestMailSettings : public QObject {
    Q_OBJECT
private slots:
    void checked_data();
    void checked();
    void oldFileIsUpgradedAndStillReadTheOldWay();
};

void TestMailSettings::checked_data()
{
    QTest::addColumn<QStringList>("input");  // port, security, login, pin
    QTest::addColumn<QString>("result");     // "port security login pin", or the refusal's words
    const QString hex = QStringLiteral("0123456789abcdef").repeated(4);
    QTest::newRow("nothing: the old dialogue") << QStringList{"", "", "", ""} << "25 none  ";
    QTest::newRow("submission") << QStringList{" 587 ", "STARTTLS", " user ", ""}
                                << "587 starttls user ";
    QTest::newRow("pin with colons, upper case")
        << QStringList{"465", "tls", "",
                       "01:23:45:67:89:AB:CD:EF:01:23:45:67:89:AB:CD:EF:01:23:45:"
                       "67:89:AB:CD:EF:01:23:45:67:89:AB:CD:EF"}
        << "465 tls  " + hex;
    QTest::newRow("port 65535") << QStringList{"65535", "none", "", ""} << "65535 none  ";
    QTest::newRow("port 0") << QStringList{"0", "", "", ""} << "от 1 до 65535";
    QTest::newRow("port 65536") << QStringList{"65536", "", "", ""} << "от 1 до 65535";
    QTest::newRow("port abc") << QStringList{"abc", "", "", ""} << "от 1 до 65535";
    QTest::newRow("port -25") << QStringList{"-25", "", "", ""} << "от 1 до 65535";
    QTest::newRow("unknown security") << QStringList{"", "ssl", "", ""} << "none, starttls, tls";
    QTest::newRow("pin one digit short") << QStringList{"", "", "", hex.chopped(1)} << "64";
    QTest::newRow("pin not hex") << QStringList{"", "", "", QString(64, u'z')} << "64";
    QTest::newRow("line break in the user")
        << QStringList{"", "", "a\r\nMAIL FROM", ""} << "управляющих";
}

void TestMailSettings::checked()
{
    QFETCH(QStringList, input);
    QFETCH(QString, result);
    QString why;
    const auto o = checkMailServer({input[0], input[1], input[2], input[3]}, 25, &why);
    const QString got = o ? QStringLiteral("%1 %2 %3 %4")
                                .arg(o->port)
                                .arg(securityWord(o->security), o->login, o->pin)
                          : why;
    QVERIFY2(o ? got == result : got.contains(result), qPrintable(got));
}

void TestMailSettings::oldFileIsUpgradedAndStillReadTheOldWay()
{
    TestFolder folder;
    Database& db = folder.db();
    // A file of the old rules, with its recipient row.
    db.execute("drop table emails");
    db.execute(
        "create table emails (id integer primary key autoincrement, smtp text, "
        "[from] text, email text, [desc] text)");
    db.execute(
        "insert into emails (smtp,[from],email,[desc]) values ('mail.lan','a@lan',"
        "'b@lan','old')");
    const auto before = readRecipientRow(db);
    QVERIFY(before);
    QCOMPARE(before->smtp.toString(), QStringLiteral("mail.lan"));
    QVERIFY(!before->port);

    upgradeEmailsTable(db);
    upgradeEmailsTable(db);  // a second start finds nothing to do
    const auto after = readRecipientRow(db);
    QVERIFY(after);
    QCOMPARE(after->email.toString(), QStringLiteral("b@lan"));
    QVERIFY(!after->port);
    QVERIFY(after->security.isEmpty() && after->login.isEmpty() && after->pin.isEmpty());

    // What the old program issues still works on the upgraded file.
    db.execute("update emails set smtp='relay.lan',email='c@lan',[desc]='x',[from]='a@lan'");
    db.execute("insert into emails (smtp,[from],email,[desc]) values ('s','f','e','d')");
    db.execute("delete from emails where smtp='s'");
    QCOMPARE(folder.scalar("select smtp from emails"), QStringLiteral("relay.lan"));

    saveMailServer(db, {587, MailSecurity::StartTls, "user", ""}, {});
    const auto saved = readRecipientRow(db);
    QCOMPARE(saved->port, std::optional<int>(587));
    QCOMPARE(saved->security, QStringLiteral("starttls"));
    QCOMPARE(saved->smtp.toString(), QStringLiteral("relay.lan"));
}

QTEST_GUILESS_MAIN(TestMailSettings)
#include "tst_mailsettings.moc"
