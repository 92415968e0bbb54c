#include "common/conversions.h"

#include <cmath>
#include <limits>

namespace sentrok {

std::optional<double> numericValue(const QString& text, const QLocale& locale)
{
    const QString trimmed = text.trimmed();
    if (trimmed.isEmpty()) return std::nullopt;
    bool ok = false;
    double value = locale.toDouble(trimmed, &ok);
    if (!ok) value = QLocale::c().toDouble(trimmed, &ok);
    if (!ok || !std::isfinite(value)) return std::nullopt;
    return value;
}

double leadingValue(const QString& text)
{
    int i = 0;
    const int n = int(text.size());
    while (i < n && (text[i] == u' ' || text[i] == u'\t')) ++i;
    QString number;
    if (i < n && (text[i] == u'-' || text[i] == u'+')) number += text[i++];
    bool digits = false, point = false;
    for (; i < n; ++i) {
        const QChar c = text[i];
        if (c.isDigit() && c.unicode() < 128) {
            number += c;
            digits = true;
        } else if (c == u'.' && !point) {
            number += c;
            point = true;
        } else {
            break;
        }
    }
    if (!digits) return 0.0;
    return QLocale::c().toDouble(number);
}

double roundHalfEven(double value) { return std::nearbyint(value); }

namespace {

template <typename T>
std::optional<T> toWhole(double value)
{
    if (!std::isfinite(value)) return std::nullopt;
    const double r = roundHalfEven(value);
    if (r < double(std::numeric_limits<T>::min()) || r > double(std::numeric_limits<T>::max()))
        return std::nullopt;
    return T(r);
}

}  // namespace

std::optional<std::uint8_t> toUInt8(double value) { return toWhole<std::uint8_t>(value); }
std::optional<std::int16_t> toInt16(double value) { return toWhole<std::int16_t>(value); }
std::optional<std::int32_t> toInt32(double value) { return toWhole<std::int32_t>(value); }

std::optional<std::int16_t> toInt16(const QString& text, const QLocale& locale)
{
    const auto v = numericValue(text, locale);
    return v ? toInt16(*v) : std::nullopt;
}

std::optional<std::int32_t> toInt32(const QString& text, const QLocale& locale)
{
    const auto v = numericValue(text, locale);
    return v ? toInt32(*v) : std::nullopt;
}

std::optional<std::int64_t> divTrunc(std::int64_t dividend, std::int64_t divisor)
{
    if (divisor == 0) return std::nullopt;
    if (dividend == std::numeric_limits<std::int64_t>::min() && divisor == -1) return std::nullopt;
    return dividend / divisor;
}

bool isControlCharacter(QChar c)
{
    const char16_t u = c.unicode();
    return u < 0x20 || (u >= 0x7f && u <= 0x9f) || u == 0x061c || u == 0x200e || u == 0x200f ||
           (u >= 0x202a && u <= 0x202e) || (u >= 0x2066 && u <= 0x2069);
}

QString printableText(const QString& text)
{
    qsizetype first = 0;
    while (first < text.size() && !isControlCharacter(text[first])) ++first;
    if (first == text.size()) return text;
    QString out = text.left(first);
    for (qsizetype i = first; i < text.size(); ++i) {
        const char16_t u = text[i].unicode();
        if (!isControlCharacter(text[i]))
            out += text[i];
        else if (u < 0x100)
            out += QStringLiteral("\\x%1").arg(u, 2, 16, QLatin1Char('0'));
        else
            out += QStringLiteral("\\u%1").arg(u, 4, 16, QLatin1Char('0'));
    }
    return out;
}

QString printableLine(const QString& text)
{
    QString out;
    out.reserve(text.size());
    for (const QChar c : text) {
        const bool blank = c == u'\n' || c == u'\r' || c == u'\t';
        if (!blank)
            out += c;
        else if (!out.isEmpty() && !out.endsWith(u' '))
            out += u' ';
    }
    return printableText(out.trimmed());
}

}  // namespace sentrok
