#include "alerts/smtp.h"

#include <QTest>

using namespace sentrok;

class TestSmtp : public QObject {
    Q_OBJECT
private slots:
    void framing_data();
    void framing();
    void endlessInputOverflows();
    void messageData_data();
    void messageData();
    void windows1251_data();
    void windows1251();
    void ehloExtensions_data();
    void ehloExtensions();
    void dates_data();
    void dates();
};

void TestSmtp::framing_data()
{
    QTest::addColumn<QByteArrayList>("pieces");
    QTest::addColumn<QByteArrayList>("replies");
    using L = QByteArrayList;
    QTest::newRow("one line") << L{"250 OK\r\n"} << L{"250 OK\r\n"};
    QTest::newRow("split inside the line") << L{"250 O", "K\r\n"} << L{"250 OK\r\n"};
    QTest::newRow("split between CR and LF") << L{"250 OK\r", "\n"} << L{"250 OK\r\n"};
    QTest::newRow("no line end yet") << L{"250 OK"} << L{};
    QTest::newRow("multi-line at once")
        << L{"250-a\r\n250-b\r\n250 c\r\n"} << L{"250-a\r\n250-b\r\n250 c\r\n"};
    QTest::newRow("multi-line line by line")
        << L{"220-a\r\n", "220-b\r\n", "220 c\r\n"} << L{"220-a\r\n220-b\r\n220 c\r\n"};
    QTest::newRow("multi-line waits for its last line") << L{"250-a\r\n250-b\r\n"} << L{};
    QTest::newRow("two replies in one read")
        << L{"220 hi\r\n250 OK\r\n"} << L{"220 hi\r\n", "250 OK\r\n"};
    QTest::newRow("second reply still arriving") << L{"220 hi\r\n250-a\r\n25"} << L{"220 hi\r\n"};
    QTest::newRow("code alone") << L{"250\r\n"} << L{"250\r\n"};
    QTest::newRow("bare LF ends a line") << L{"250-a\n250 b\n"} << L{"250-a\n250 b\n"};
    QTest::newRow("garbage line is a reply of its own")
        << L{"hello\r\n250 OK\r\n"} << L{"hello\r\n", "250 OK\r\n"};
    QTest::newRow("dash after a code that is not digits") << L{"2x0-a\r\n"} << L{"2x0-a\r\n"};
    QTest::newRow("empty line") << L{"\r\n"} << L{"\r\n"};
}

void TestSmtp::framing()
{
    QFETCH(QByteArrayList, pieces);
    QFETCH(QByteArrayList, replies);
    smtp::ReplyReader reader;
    QByteArrayList got;
    for (const QByteArray& piece : pieces) {
        reader.append(piece);
        while (const auto reply = reader.next()) got << *reply;
    }
    QCOMPARE(got, replies);
    QVERIFY(!reader.overflowed());
}

void TestSmtp::endlessInputOverflows()
{
    smtp::ReplyReader noLineEnd;
    noLineEnd.append(QByteArray(smtp::ReplyReader::kMaxPending, 'x'));
    QVERIFY(!noLineEnd.next());
    QVERIFY(!noLineEnd.overflowed());
    noLineEnd.append("x");
    QVERIFY(!noLineEnd.next());
    QVERIFY(noLineEnd.overflowed());

    // Line ends alone do not help: a reply whose last line never comes is just as endless.
    smtp::ReplyReader endlessReply;
    while (!endlessReply.overflowed() && endlessReply.next() == std::nullopt)
        endlessReply.append("250-more\r\n");
    QVERIFY(endlessReply.overflowed());

    // Complete replies are taken out and do not count.
    smtp::ReplyReader busy;
    for (int i = 0; i < 20000; ++i) {
        busy.append("250 OK\r\n");
        QVERIFY(busy.next());
    }
    QVERIFY(!busy.overflowed());
}

void TestSmtp::messageData_data()
{
    QTest::addColumn<QString>("body");
    QTest::addColumn<QByteArray>("data");
    QTest::newRow("plain") << "a\r\nb" << QByteArray("a\r\nb\r\n.\r\n");
    QTest::newRow("final line break: an empty line") << "a\r\n" << QByteArray("a\r\n\r\n.\r\n");
    QTest::newRow("empty") << "" << QByteArray("\r\n.\r\n");
    QTest::newRow("leading dot doubled") << ".x\r\ny" << QByteArray("..x\r\ny\r\n.\r\n");
    QTest::newRow("a line of one dot") << "a\r\n.\r\nb" << QByteArray("a\r\n..\r\nb\r\n.\r\n");
    QTest::newRow("dots elsewhere untouched") << "a.b\r\n .c" << QByteArray("a.b\r\n .c\r\n.\r\n");
    QTest::newRow("bare LF") << "a\nb" << QByteArray("a\r\nb\r\n.\r\n");
    QTest::newRow("bare CR") << "a\rb" << QByteArray("a\r\nb\r\n.\r\n");
    QTest::newRow("LF CR is two breaks") << "a\n\rb" << QByteArray("a\r\n\r\nb\r\n.\r\n");
    QTest::newRow("dot after a bare LF") << "a\n.b" << QByteArray("a\r\n..b\r\n.\r\n");
    QTest::newRow("Cyrillic") << "Шлюз[1.2.3.4]"
                              << QByteArray("\xD8\xEB\xFE\xE7[1.2.3.4]\r\n.\r\n");
}

void TestSmtp::messageData()
{
    QFETCH(QString, body);
    QFETCH(QByteArray, data);
    QCOMPARE(smtp::messageData(body), data);
}

void TestSmtp::windows1251_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("ASCII") << "RCPT TO: a@b.c" << QByteArray("RCPT TO: a@b.c");
    QTest::newRow("Cyrillic letters") << "АЯая" << QByteArray("\xC0\xDF\xE0\xFF");
    QTest::newRow("yo and signs") << "Ёё№—€" << QByteArray("\xA8\xB8\xB9\x97\x88");
    QTest::newRow("outside the code page") << "a中b😀c" << QByteArray("a?b?c");
}

void TestSmtp::windows1251()
{
    QFETCH(QString, text);
    QFETCH(QByteArray, bytes);
    QCOMPARE(smtp::toWire(text), bytes);
    if (!bytes.contains('?')) QCOMPARE(smtp::fromWire(bytes), text);
}

void TestSmtp::ehloExtensions_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<QString>("offered");  // STARTTLS, PLAIN, LOGIN, 8BITMIME as found
    QTest::newRow("submission server")
        << QByteArray(
               "250-mx.example\r\n250-PIPELINING\r\n250-8BITMIME\r\n250-STARTTLS\r\n"
               "250-AUTH CRAM-MD5 LOGIN PLAIN\r\n250 HELP\r\n")
        << "STARTTLS PLAIN LOGIN 8BITMIME";
    QTest::newRow("old AUTH= form, lower case")
        << QByteArray("250-mx\r\n250-auth=login\r\n250 starttls\r\n") << "STARTTLS LOGIN";
    QTest::newRow("the server's own name is no extension")
        << QByteArray("250-STARTTLS\r\n250 SIZE 100\r\n") << "";
    QTest::newRow("one line") << QByteArray("250 mx.example\r\n") << "";
    QTest::newRow("AUTH with other mechanisms only")
        << QByteArray("250-mx\r\n250 AUTH XOAUTH2 CRAM-MD5\r\n") << "";
}

void TestSmtp::ehloExtensions()
{
    QFETCH(QByteArray, reply);
    QFETCH(QString, offered);
    const smtp::Extensions e = smtp::parseEhlo(reply);
    QStringList got;
    if (e.startTls) got << "STARTTLS";
    if (e.authPlain) got << "PLAIN";
    if (e.authLogin) got << "LOGIN";
    if (e.eightBitMime) got << "8BITMIME";
    QCOMPARE(got.join(u' '), offered);
}

void TestSmtp::dates_data()
{
    QTest::addColumn<QDateTime>("when");
    QTest::addColumn<QString>("text");
    const QDate d(2026, 12, 7);
    const QTime t(20, 7, 11);
    QTest::newRow("Moscow") << QDateTime(d, t, Qt::OffsetFromUTC, 3 * 3600)
                            << "Mon, 07 Dec 2026 20:07:11 +0300";
    QTest::newRow("UTC") << QDateTime(d, t, Qt::UTC) << "Mon, 07 Dec 2026 20:07:11 +0000";
    QTest::newRow("west, half hours")
        << QDateTime(QDate(2027, 1, 3), QTime(0, 0, 5), Qt::OffsetFromUTC, -(3 * 3600 + 1800))
        << "Sun, 03 Jan 2027 00:00:05 -0330";
}

void TestSmtp::dates()
{
    QFETCH(QDateTime, when);
    QFETCH(QString, text);
    // English names, whatever the user's language.
    QLocale::setDefault(QLocale(QLocale::Russian, QLocale::Russia));
    QCOMPARE(smtp::rfc5322Date(when), text);
}

QTEST_GUILESS_MAIN(TestSmtp)
#include "tst_smtp.moc"
