#include "probe/echoparams.h"

#include "common/conversions.h"

#include <limits>

namespace sentrok {

const QByteArray& echoFiller()
{
    static const QByteArray filler = QByteArray("abcdefghijklmnopqrstu").repeated(6);
    return filler;
}

namespace {

QString quoted(const QString& text) { return u'"' + text + u'"'; }

// A numeric text whose leading value lies outside [low, high] is replaced by the nearer bound;
// one inside keeps its own (locale) reading, which may differ from the leading value
// ("2,5" in a comma locale reads 2.5 but leads with 2). A text that is not numeric gives
// `otherwise`.
double clampedReading(const QString& text, double low, double high, double otherwise,
                      const QLocale& locale)
{
    const auto reading = numericValue(text, locale);
    if (!reading) return otherwise;
    const double lead = leadingValue(text);
    if (lead > high) return high;
    if (lead < low) return low;
    return *reading;
}

}  // namespace

EchoParamsOrError normaliseEchoParams(const QString& wait, const QString& ttl, const QString& count,
                                      const QString& length, const QLocale& locale)
{
    EchoParams p;

    const auto ttl8 = toUInt8(clampedReading(ttl, 2, 255, 255, locale));
    if (!ttl8)
        return {{},
                QStringLiteral("время жизни (TTL) %1 вне диапазона от 0 до 255").arg(quoted(ttl))};
    p.ttl = *ttl8;

    // Only an upper bound here: the count would be 129 for "128,6" in a comma locale, and a
    // payload never holds more than the filler.
    const auto chars = toInt32(clampedReading(length, 32, 128, 32, locale));
    if (!chars) return {{}, QStringLiteral("размер пакета %1 вне диапазона").arg(quoted(length))};
    p.payload = echoFiller().left(qMax(0, *chars));

    // Only the lower bound is normalised: a count above 32767 is a failure of its own.
    const double countValue = numericValue(count, locale) && leadingValue(count) >= 1
                                  ? *numericValue(count, locale)
                                  : 1.0;
    const auto echoes = toInt16(countValue);
    if (!echoes) return {{}, QStringLiteral("число запросов %1 больше 32767").arg(quoted(count))};
    if (*echoes <= 0)  // "1e-5" leads with 1 and reads as 0: nothing to divide by
        return {{}, QStringLiteral("число запросов %1 округляется до нуля").arg(quoted(count))};
    p.echoes = *echoes;

    const auto waitValue = numericValue(wait, locale);
    if (!waitValue) return {{}, QStringLiteral("время ожидания %1 не число").arg(quoted(wait))};
    // No time-out can be shorter than none: such a setting cannot be checked, and must not make
    // a host look down.
    if (*waitValue < 0)
        return {{}, QStringLiteral("время ожидания %1 меньше нуля").arg(quoted(wait))};
    const auto timeout = toInt16(wait, locale);
    if (!timeout)
        return {{},
                QStringLiteral("время ожидания %1 вне диапазона от 0 до 32767").arg(quoted(wait))};
    p.timeoutMs = *timeout;
    return {p, {}};
}

bool EchoSum::add(std::int32_t value)
{
    std::int32_t sum = 0;
    if (__builtin_add_overflow(m_sum, value, &sum)) return false;
    m_sum = sum;
    return true;
}

std::optional<QString> EchoSum::meanText(int echoes) const
{
    const auto mean = divTrunc(m_sum, echoes);
    if (!mean) return std::nullopt;
    return QString::number(*mean);
}

QString sumOverflowText()
{
    return QStringLiteral("сумма времён ответа не помещается в 32-битное число");
}

QString hostTooLongText(const QString& host)
{
    return QStringLiteral("адрес %1 длиннее %2 символов").arg(quoted(host)).arg(kMaxHostLength);
}

}  // namespace sentrok
