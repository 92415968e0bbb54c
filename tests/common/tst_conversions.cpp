#include "common/conversions.h"
#include "common/datetext.h"
#include "common/twips.h"

#include <QTest>

using namespace sentrok;

class TestConversions : public QObject {
    Q_OBJECT
private slots:
    void numeric_data();
    void numeric();
    void leading_data();
    void leading();
    void whole_data();
    void whole();
    void division_data();
    void division();
    void generalDate_data();
    void generalDate();
    void stored();
    void twips();
};

namespace {
const QLocale ru(QLocale::Russian, QLocale::Russia);
const QLocale us(QLocale::English, QLocale::UnitedStates);
}  // namespace

void TestConversions::numeric_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QLocale>("locale");
    QTest::addColumn<bool>("numeric");
    QTest::addColumn<double>("value");
    QTest::newRow("plain") << "1000" << ru << true << 1000.0;
    QTest::newRow("blanks around") << "  12 " << ru << true << 12.0;
    QTest::newRow("ru comma") << "1,5" << ru << true << 1.5;
    QTest::newRow("point everywhere") << "1.5" << ru << true << 1.5;
    QTest::newRow("negative") << "-5" << ru << true << -5.0;
    QTest::newRow("exponent") << "1e3" << us << true << 1000.0;
    QTest::newRow("empty") << "" << ru << false << 0.0;
    QTest::newRow("blanks only") << "   " << ru << false << 0.0;
    QTest::newRow("letters") << "abc" << ru << false << 0.0;
    QTest::newRow("trailing junk") << "12abc" << ru << false << 0.0;
    QTest::newRow("inner blank") << "1 2x" << us << false << 0.0;
    QTest::newRow("infinity is not a number") << "inf" << us << false << 0.0;
}

void TestConversions::numeric()
{
    QFETCH(QString, text);
    QFETCH(QLocale, locale);
    QFETCH(bool, numeric);
    QFETCH(double, value);
    const auto v = numericValue(text, locale);
    QCOMPARE(v.has_value(), numeric);
    QCOMPARE(isNumeric(text, locale), numeric);
    if (numeric) QCOMPARE(*v, value);
}

void TestConversions::leading_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<double>("value");
    QTest::newRow("number") << "300" << 300.0;
    QTest::newRow("leading blanks") << "  42" << 42.0;
    QTest::newRow("digits then letters") << "12abc" << 12.0;
    QTest::newRow("point decimal") << "1.5x" << 1.5;
    QTest::newRow("comma stops") << "1,5" << 1.0;
    QTest::newRow("negative") << "-7" << -7.0;
    QTest::newRow("no digit") << "abc" << 0.0;
    QTest::newRow("empty") << "" << 0.0;
    QTest::newRow("sign only") << "-" << 0.0;
}

void TestConversions::leading()
{
    QFETCH(QString, text);
    QFETCH(double, value);
    QCOMPARE(leadingValue(text), value);
}

void TestConversions::whole_data()
{
    QTest::addColumn<double>("value");
    QTest::addColumn<int>("bits");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<qint64>("expected");
    QTest::newRow("half to even down") << 2.5 << 16 << true << qint64(2);
    QTest::newRow("half to even up") << 3.5 << 16 << true << qint64(4);
    QTest::newRow("minus half") << -0.5 << 16 << true << qint64(0);
    QTest::newRow("one and a half") << 1.5 << 32 << true << qint64(2);
    QTest::newRow("int16 max") << 32767.0 << 16 << true << qint64(32767);
    QTest::newRow("int16 over") << 32768.0 << 16 << false << qint64(0);
    QTest::newRow("int16 min") << -32768.0 << 16 << true << qint64(-32768);
    QTest::newRow("int16 under") << -32769.0 << 16 << false << qint64(0);
    QTest::newRow("int16 rounds into range") << 32767.4 << 16 << true << qint64(32767);
    QTest::newRow("int16 rounds out of range") << 32767.5 << 16 << false << qint64(0);
    QTest::newRow("int32 max") << 2147483647.0 << 32 << true << qint64(2147483647);
    QTest::newRow("int32 over") << 2147483648.0 << 32 << false << qint64(0);
    QTest::newRow("uint8 255") << 255.0 << 8 << true << qint64(255);
    QTest::newRow("uint8 256") << 256.0 << 8 << false << qint64(0);
    QTest::newRow("uint8 negative") << -1.0 << 8 << false << qint64(0);
    QTest::newRow("uint8 254.5") << 254.5 << 8 << true << qint64(254);
}

void TestConversions::whole()
{
    QFETCH(double, value);
    QFETCH(int, bits);
    QFETCH(bool, ok);
    QFETCH(qint64, expected);
    std::optional<qint64> got;
    if (bits == 8) {
        if (auto v = toUInt8(value)) got = *v;
    }
    if (bits == 16) {
        if (auto v = toInt16(value)) got = *v;
    }
    if (bits == 32) {
        if (auto v = toInt32(value)) got = *v;
    }
    QCOMPARE(got.has_value(), ok);
    if (ok) QCOMPARE(*got, expected);
}

void TestConversions::division_data()
{
    QTest::addColumn<qint64>("a");
    QTest::addColumn<qint64>("b");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<qint64>("q");
    QTest::newRow("9 div 2") << qint64(9) << qint64(2) << true << qint64(4);
    QTest::newRow("-2 div 3 toward zero") << qint64(-2) << qint64(3) << true << qint64(0);
    QTest::newRow("-2 div 2") << qint64(-2) << qint64(2) << true << qint64(-1);
    QTest::newRow("-7 div 2") << qint64(-7) << qint64(2) << true << qint64(-3);
    QTest::newRow("by zero") << qint64(5) << qint64(0) << false << qint64(0);
    QTest::newRow("overflow") << std::numeric_limits<qint64>::min() << qint64(-1) << false
                              << qint64(0);
}

void TestConversions::division()
{
    QFETCH(qint64, a);
    QFETCH(qint64, b);
    QFETCH(bool, ok);
    QFETCH(qint64, q);
    const auto r = divTrunc(a, b);
    QCOMPARE(r.has_value(), ok);
    if (ok) QCOMPARE(*r, q);
}

void TestConversions::generalDate_data()
{
    QTest::addColumn<QDateTime>("dt");
    QTest::addColumn<QLocale>("locale");
    QTest::addColumn<QString>("text");
    const QDateTime evening(QDate(2026, 12, 7), QTime(20, 7, 11));
    QTest::newRow("ru evening") << evening << ru << "07.12.2026 20:07:11";
    QTest::newRow("ru morning unpadded hour")
        << QDateTime(QDate(2026, 1, 2), QTime(9, 5, 0)) << ru << "02.01.2026 9:05:00";
    QTest::newRow("ru midnight shows date alone")
        << QDateTime(QDate(2026, 12, 7), QTime(0, 0)) << ru << "07.12.2026";
    QTest::newRow("ru zero date") << QDateTime(QDate(1899, 12, 30), QTime(0, 0)) << ru << "0:00:00";
    QTest::newRow("ru time on zero day")
        << QDateTime(QDate(1899, 12, 30), QTime(13, 1, 2)) << ru << "13:01:02";
    QTest::newRow("us evening") << evening << us << "12/7/26 8:07:11 PM";
    QTest::newRow("invalid") << QDateTime() << ru << "";
}

void TestConversions::generalDate()
{
    QFETCH(QDateTime, dt);
    QFETCH(QLocale, locale);
    QFETCH(QString, text);
    QCOMPARE(generalDateText(dt, locale), text);
}

void TestConversions::stored()
{
    const QDateTime t(QDate(2026, 12, 7), QTime(20, 7, 11));
    QCOMPARE(storedDateText(t), QStringLiteral("2026-12-07 20:07:11"));
    QCOMPARE(fromStored(QStringLiteral("2026-12-07 20:07:11")), t);
    QCOMPARE(displayText(kZeroDate, ru), QStringLiteral("0:00:00"));
    QCOMPARE(displayText(QStringLiteral("2026-12-07 00:00:00"), ru), QStringLiteral("07.12.2026"));
    QCOMPARE(displayText(QVariant(), ru), QString());
    QVERIFY(!fromStored(QStringLiteral("not a date")).isValid());
}

void TestConversions::twips()
{
    QCOMPARE(twipsToPixels(7050), 470);
    QCOMPARE(twipsToPixels(15), 1);
    QCOMPARE(pixelsToTwips(470), 7050.0);
    QCOMPARE(twipsToPixels(1440, 120), 120);
    QCOMPARE(pixelsToTwips(120, 120), 1440.0);
    for (int px : {0, 1, 37, 470, 1920}) QCOMPARE(twipsToPixels(pixelsToTwips(px)), px);
}

QTEST_GUILESS_MAIN(TestConversions)
#include "tst_conversions.moc"
