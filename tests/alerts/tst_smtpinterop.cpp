#include "alerts/mailalert.h"
#include "smtpsink.h"
#include "support/fakes.h"
#include "support/testdb.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QSignalSpy>
#include <QTest>

using namespace sentrok;
using namespace sentrok::test;

namespace {

constexpr int kWaitMs = SmtpSink::kWaitMs;

}  // namespace

// The client against aiosmtpd, a real server implementation from the distribution.
class TestSmtpInterop : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void deliveredToAiosmtpd();
};

void TestSmtpInterop::initTestCase()
{
    QLocale::setDefault(QLocale(QLocale::Russian, QLocale::Russia));
    if (const QString why = SmtpSink::unavailable(); !why.isEmpty()) QSKIP(qPrintable(why));
}

void TestSmtpInterop::deliveredToAiosmtpd()
{
    SmtpSink sink;
    QVERIFY2(sink.start(), qPrintable(sink.error()));
    const quint16 port = sink.port();

    TestFolder folder;
    folder.db().execute(
        QStringLiteral("insert into emails (smtp,[from],email,[desc]) values "
                       "('127.0.0.1','monitor@example.org',' admin@example.org',"
                       "'')"));
    FakeMessageBoxes boxes;
    FakeClock clock;
    MailAlert alert(folder.db(), boxes, clock, port);
    QSignalSpy finished(&alert, &MailAlert::finished);
    const QString text = QStringLiteral(
        "NO CONNECT\r\nШлюз[10.0.0.2]\r\n.hidden[10.0.0.3]\r\n\r\nCONNECT\r\nРоутер[10.0.0.1]\r\n");
    alert.SendAlert(text);
    QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, kWaitMs);
    QCOMPARE(finished.at(0).at(0).value<MailAlert::Outcome>(), MailAlert::Outcome::Delivered);
    QVERIFY(boxes.told.isEmpty());
    QTRY_VERIFY_WITH_TIMEOUT(sink.hasMessage(), kWaitMs);
    const QJsonObject got = sink.message();

    // RSET came first, before any HELO, and was taken; then the bare address forms were.
    const QJsonArray events = got[u"events"].toArray();
    QCOMPARE(events.size(), 3);
    QCOMPARE(events[0][u"command"].toString(), QStringLiteral("RSET"));
    QCOMPARE(events[0][u"after_helo"].toBool(), false);
    QCOMPARE(events[1][u"command"].toString(), QStringLiteral("HELO"));
    QCOMPARE(events[1][u"argument"].toString(), QStringLiteral("example.org"));
    QCOMPARE(events[2][u"command"].toString(), QStringLiteral("DATA"));
    QCOMPARE(got[u"mail_from"].toString(), QStringLiteral("monitor@example.org"));
    QCOMPARE(got[u"rcpt_tos"].toArray(), QJsonArray({QStringLiteral("admin@example.org")}));

    // The message as stored by the server: the dot the client doubled is single again.
    const QByteArray raw = QByteArray::fromBase64(got[u"raw"].toString().toLatin1());
    const QByteArray expected =
        "Subject: SENTROK\r\n"
        "From: monitor@example.org\r\n"
        "To: admin@example.org\r\n"
        "MIME-Version: 1.0\r\n"
        "Content-Type: text/plain; charset=\"windows-1251\"\r\n"
        "\r\n"
        "07.12.2026 20:07:11:  \r\n"
        "NO CONNECT\r\n"
        "\xD8\xEB\xFE\xE7[10.0.0.2]\r\n"
        ".hidden[10.0.0.3]\r\n"
        "\r\n"
        "CONNECT\r\n"
        "\xD0\xEE\xF3\xF2\xE5\xF0[10.0.0.1]\r\n"
        "\r\n";
    QCOMPARE(raw, expected);

    // And Python's mail parser reads it as meant.
    QCOMPARE(got[u"charset"].toString(), QStringLiteral("windows-1251"));
    const QJsonArray headers = got[u"headers"].toArray();
    QCOMPARE(headers.size(), 5);
    QCOMPARE(headers[0].toArray(),
             QJsonArray({QStringLiteral("Subject"), QStringLiteral("SENTROK")}));
    QCOMPARE(got[u"text"].toString(),
             QStringLiteral("07.12.2026 20:07:11:  \r\n") + text + QStringLiteral("\r\n"));
}

QTEST_GUILESS_MAIN(TestSmtpInterop)
#include "tst_smtpinterop.moc"
