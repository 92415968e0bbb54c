#pragma once

#include "common/inputrules.h"  // kMaxHostLength, trimHostText

#include <QByteArray>
#include <QLocale>
#include <QString>

#include <cstdint>
#include <optional>

namespace sentrok {

// Every payload is a prefix of this: 126 printable characters, a 21-character text six times.
const QByteArray& echoFiller();

// One probe's parameters as they go on the wire, read from the host record's texts.
struct EchoParams {
    std::uint8_t ttl = 255;
    QByteArray payload{};
    // Echoes sent, one after the other; the sum of their values is divided by the same count.
    int echoes = 1;
    // Per echo, never below 0. An echo whose time-out is 0 has timed out before it could be
    // answered.
    std::int16_t timeoutMs = 0;
};

struct EchoParamsOrError {
    std::optional<EchoParams> params{};
    QString error{};  // words for the user when params is empty
};

// Normalises ttl, length, count and wait in that order; the first text that cannot be
// converted gives the error. "Numeric" is the locale-or-point reading; the comparisons use
// the value of the text's leading characters.
EchoParamsOrError normaliseEchoParams(const QString& wait, const QString& ttl, const QString& count,
                                      const QString& length, const QLocale& locale = QLocale());

// Running 32-bit sum of per-echo values: the reply time, or -1 for an echo that failed.
class EchoSum {
public:
    // False when the sum would leave the 32-bit range; the sum is then unchanged.
    bool add(std::int32_t value);
    std::int32_t value() const { return m_sum; }
    // The truncated mean as decimal text; empty when echoes is 0.
    std::optional<QString> meanText(int echoes) const;

private:
    std::int32_t m_sum = 0;
};

// Words for the user when the sum cannot be held.
QString sumOverflowText();
QString hostTooLongText(const QString& host);

}  // namespace sentrok
