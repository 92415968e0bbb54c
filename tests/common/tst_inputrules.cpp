// The rules every door (the administration window, sentrok-db, the monitor) asks of what a person
// types, and the escaping of stored texts on their way to a terminal, a log line or an alert.

#include "common/conversions.h"
#include "common/inputrules.h"

#include <QTest>

using namespace sentrok;

class TestInputRules : public QObject {
    Q_OBJECT
private slots:
    void addresses_data();
    void addresses();
    void descriptions_data();
    void descriptions();
    void printable_data();
    void printable();
};

void TestInputRules::addresses_data()
{
    QTest::addColumn<QString>("ip");
    QTest::addColumn<QString>("refusal");  // empty: accepted
    const QString ok;
    QTest::newRow("dotted quad") << "10.0.0.1" << ok;
    QTest::newRow("lowest and highest parts") << "0.255.0.255" << ok;
    QTest::newRow("number 256") << "10.0.0.256" << kBadIPv4;
    QTest::newRow("number 999 first") << "999.1.1.1" << kBadIPv4;
    QTest::newRow("three parts") << "10.0.1" << kBadIPv4;
    QTest::newRow("five parts") << "10.0.0.1.5" << kBadIPv4;
    QTest::newRow("leading zero: octal to the resolver") << "010.0.0.1" << kBadIPv4;
    QTest::newRow("a name ending in digits is an address") << "0x7f.1" << kBadIPv4;
    QTest::newRow("IPv6") << "2001:db8::1" << ok;
    QTest::newRow("IPv6 in brackets, interface of 15") << "[fe80::1%abcdefghijklmn5]" << ok;
    QTest::newRow("interface of 16") << "fe80::1%abcdefghijklmno6" << kBadZone;
    QTest::newRow("command after the zone") << "fe80::1%eth0;rm" << kBadZone;
    QTest::newRow("empty zone") << "fe80::1%" << kBadZone;
    QTest::newRow("not IPv6") << "fe80::g1" << kBadIPv6;
    QTest::newRow("bracket left open") << "[::1" << kBadIPv6;
    QTest::newRow("host name") << "mail-1.example.org." << ok;
    QTest::newRow("international name") << "сервер.пример.рф" << ok;
    QTest::newRow("part of 63") << QString(63, u'a') << ok;
    QTest::newRow("part of 64") << QString(64, u'a') << kBadHostName;
    QTest::newRow("57 Cyrillic letters: 63 on the wire") << QString(57, u'я') << ok;
    QTest::newRow("58 Cyrillic letters: 64 on the wire") << QString(58, u'я') << kBadHostName;
    QTest::newRow("words and marks") << "not an ip at all!!" << kBadHostName;
    QTest::newRow("underscore") << "my_host" << kBadHostName;
    QTest::newRow("empty part") << "a..b" << kBadHostName;
    QTest::newRow("hyphen in front") << "-a.org" << kBadHostName;
    QTest::newRow("hyphen behind") << "a-.org" << kBadHostName;
    QTest::newRow("tab inside") << "a\tb" << kBadHostName;
    QTest::newRow("64 characters, spaces around")
        << "  " + QString(31, u'h') + '.' + QString(32, u'h') + " " << ok;
    QTest::newRow("65 characters") << QString(32, u'h') + '.' + QString(32, u'h') << kHostTooLong;
    QTest::newRow("spaces only") << "   " << kNoAddress;
}

void TestInputRules::addresses()
{
    QFETCH(QString, ip);
    QFETCH(QString, refusal);
    QCOMPARE(addressRefusal(ip).value_or(QString()), refusal);
    // The window and sentrok-db ask through hostRefusal: the same answer.
    QCOMPARE(hostRefusal(ip, "1000", "2", QLocale::c()).value_or(QString()), refusal);
}

void TestInputRules::descriptions_data()
{
    QTest::addColumn<QString>("desc");
    QTest::addColumn<bool>("refused");
    QTest::newRow("quotes, Cyrillic, backslash") << "Сервер «главный» 'x' C:\\d" << false;
    QTest::newRow("joiner of an emoji")
        << QString::fromUtf8("\xf0\x9f\x91\xa9\xe2\x80\x8d\xf0\x9f\x92\xbb") << false;
    QTest::newRow("tab") << "a\tb" << true;
    QTest::newRow("line feed") << "a\nb" << true;
    QTest::newRow("carriage return") << "a\rb" << true;
    QTest::newRow("escape") << "\x1b[2J" << true;
    QTest::newRow("bell") << "a\x07" << true;
    QTest::newRow("delete") << "a\x7f" << true;
    QTest::newRow("C1 next line") << QString::fromUtf16(u"a\u0085") << true;
    QTest::newRow("right-to-left override") << QString::fromUtf16(u"a\u202Eb") << true;
    QTest::newRow("first isolate") << QString::fromUtf16(u"a\u2068b") << true;
}

void TestInputRules::descriptions()
{
    QFETCH(QString, desc);
    QFETCH(bool, refused);
    QCOMPARE(descriptionRefusal(desc).value_or(QString()), refused ? kControlInDesc : QString());
    QCOMPARE(mailFieldRefusal(desc).value_or(QString()), refused ? kControlInMail : QString());
    // Whatever was stored meanwhile reaches no terminal as it is.
    const QString shown = printableText(desc);
    for (const QChar c : shown) QVERIFY(!isControlCharacter(c));
    QCOMPARE(shown == desc, !refused);
}

void TestInputRules::printable_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("asText");
    QTest::addColumn<QString>("asLine");
    QTest::newRow("plain") << "Шлюз [10.0.0.1] \\n"
                           << "Шлюз [10.0.0.1] \\n"
                           << "Шлюз [10.0.0.1] \\n";
    QTest::newRow("terminal escape") << "a\x1b[31mb"
                                     << "a\\x1b[31mb"
                                     << "a\\x1b[31mb";
    QTest::newRow("lines and tabs") << "ERROR: x\r\n\tCONTEXT: y\n"
                                    << "ERROR: x\\x0d\\x0a\\x09CONTEXT: y\\x0a"
                                    << "ERROR: x CONTEXT: y";
    QTest::newRow("C1 and override")
        << QString::fromUtf16(u"\u009b1m\u202Eab") << "\\x9b1m\\u202eab"
        << "\\x9b1m\\u202eab";
    QTest::newRow("delete") << "\x7f"
                            << "\\x7f"
                            << "\\x7f";
}

void TestInputRules::printable()
{
    QFETCH(QString, text);
    QFETCH(QString, asText);
    QFETCH(QString, asLine);
    QCOMPARE(printableText(text), asText);
    QCOMPARE(printableLine(text), asLine);
}

QTEST_GUILESS_MAIN(TestInputRules)
#include "tst_inputrules.moc"
