#pragma once

#include <QLocale>
#include <QString>

#include <cstdint>
#include <limits>
#include <optional>

namespace sentrok {

// What the rest of the program can use of the administration window's input. A value beyond
// these limits would be stored without complaint and then fail at every check or every alert,
// long after the user typed it, so the window refuses it at once instead.

// The probe's host name buffer holds 64 characters of the trimmed address.
inline constexpr int kMaxHostLength = 64;
// The alert counts the trimmed recipient with an 8-bit counter.
inline constexpr int kMaxRecipientLength = 254;
// The main window turns minutes into seconds in a 32-bit number at start-up.
inline constexpr std::int32_t kMaxIntervalMinutes = std::numeric_limits<std::int32_t>::max() / 60;

inline const QString kHostTooLong = QStringLiteral("IP адрес должен быть не длиннее 64 символов");
inline const QString kWaitOutOfRange =
    QStringLiteral("Время ожидания должно быть числом от 0 до 32767");
inline const QString kCountTooLarge = QStringLiteral("Количество пингов должно быть <= 32767");
inline const QString kRecipientTooLong =
    QStringLiteral("Email to должен быть не длиннее 254 символов");
inline const QString kIntervalNotNumber = QStringLiteral("Интервал должен быть числом");
inline const QString kIntervalOutOfRange =
    QStringLiteral("Интервал должен быть >= 1 и <= разумных пределов");

// Why a host's address, wait time (vw) and echo count (vn) cannot be stored, or nothing when
// the probe can use them. TTL and payload size need no test: the probe brings any text into
// range itself.
std::optional<QString> hostRefusal(const QString& ip, const QString& vw, const QString& vn,
                                   const QLocale& locale = QLocale());

// The check interval typed by the user: whole minutes (rounded, halves to even), or the refusal.
struct IntervalInput {
    std::int32_t minutes = 0;
    QString refusal;  // empty when the interval is accepted
};
IntervalInput intervalInput(const QString& text, const QLocale& locale = QLocale());

std::optional<QString> recipientRefusal(const QString& to);

}  // namespace sentrok
