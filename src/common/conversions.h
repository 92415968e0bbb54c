#pragma once

#include <QLocale>
#include <QString>

#include <cstdint>
#include <optional>

namespace sentrok {

// Texts travel between the pass, the check and the probe as texts; these are the rules for
// reading numbers out of them.

// The number a text holds, blanks around it ignored, read in the given locale or, failing
// that, with a point as the decimal separator. Empty when the text is not a number.
std::optional<double> numericValue(const QString& text, const QLocale& locale = QLocale());

inline bool isNumeric(const QString& text, const QLocale& locale = QLocale())
{
    return numericValue(text, locale).has_value();
}

// The value of the number formed by the text's leading characters, with a point as the
// decimal separator; leading blanks are skipped and a text that starts with no digit is 0.
double leadingValue(const QString& text);

// Nearest integer, halves to the even neighbour (2.5 -> 2, 3.5 -> 4, -0.5 -> 0).
double roundHalfEven(double value);

// Conversions to whole numbers of a given width: rounded halves to even, empty on overflow or
// on a value that is not a number.
std::optional<std::uint8_t> toUInt8(double value);
std::optional<std::int16_t> toInt16(double value);
std::optional<std::int32_t> toInt32(double value);

std::optional<std::int16_t> toInt16(const QString& text, const QLocale& locale = QLocale());
std::optional<std::int32_t> toInt32(const QString& text, const QLocale& locale = QLocale());

// Integer division truncating toward zero; empty on division by zero or on the one overflow
// (INT64_MIN / -1).
std::optional<std::int64_t> divTrunc(std::int64_t dividend, std::int64_t divisor);

// Characters that steer rather than show: C0 and C1 controls, DEL, and the marks that turn the
// direction of the text around it (a log line could be made to read backwards).
bool isControlCharacter(QChar c);
// Text read from a database or a server, made safe for a terminal, a log line or an alert: each
// control character becomes a visible escape ("\x1b", "\u202e"); the rest stays as it is.
QString printableText(const QString& text);
// The same for a message of several lines (an engine's error): line breaks and tabs become
// single blanks, so that it stays one line of a log.
QString printableLine(const QString& text);

}  // namespace sentrok
