#pragma once

#include <QLocale>
#include <QString>

#include <cstdint>
#include <limits>
#include <optional>

namespace sentrok {

// What the rest of the program can use of what a person types: the administration window,
// sentrok-db and the monitor ask the same rules here. A value beyond these limits would be
// stored without complaint and then fail at every check or every alert, long after the user
// typed it, so it is refused at once instead.

// The probe's host name buffer holds 64 characters of the trimmed address.
inline constexpr int kMaxHostLength = 64;
// The alert counts the trimmed recipient with an 8-bit counter.
inline constexpr int kMaxRecipientLength = 254;
// The main window turns minutes into seconds in a 32-bit number at start-up.
inline constexpr std::int32_t kMaxIntervalMinutes = std::numeric_limits<std::int32_t>::max() / 60;

inline const QString kHostTooLong = QStringLiteral("IP адрес должен быть не длиннее 64 символов");
inline const QString kNoAddress = QStringLiteral("Укажите IP адрес или имя хоста");
inline const QString kBadIPv4 = QStringLiteral(
    "IP адрес неверен: адрес IPv4 — четыре числа от 0 до 255 через точку, без нулей впереди");
inline const QString kBadIPv6 = QStringLiteral("IP адрес неверен: это не адрес IPv6");
inline const QString kBadZone = QStringLiteral(
    "IP адрес неверен: после «%» может стоять только имя сетевого интерфейса (до 15 букв, цифр, "
    "«_», «-» или «.»)");
inline const QString kBadHostName = QStringLiteral(
    "IP адрес неверен: имя хоста состоит из букв, цифр, дефисов и точек; части между точками — "
    "от 1 до 63 знаков, не начинаются и не кончаются дефисом");
inline const QString kControlInDesc = QStringLiteral(
    "Описание не должно содержать управляющих символов (табуляции, перевода строки, ESC и "
    "подобных)");
inline const QString kControlInMail =
    QStringLiteral("Сервер, адреса и описание получателя не должны содержать управляющих символов");
inline const QString kWaitOutOfRange =
    QStringLiteral("Время ожидания должно быть числом от 0 до 32767");
inline const QString kCountTooLarge = QStringLiteral("Количество пингов должно быть <= 32767");
inline const QString kRecipientTooLong =
    QStringLiteral("Email to должен быть не длиннее 254 символов");
inline const QString kIntervalNotNumber = QStringLiteral("Интервал должен быть числом");
inline const QString kIntervalOutOfRange =
    QStringLiteral("Интервал должен быть >= 1 и <= разумных пределов");

// Spaces around a host text are not part of it; other blanks (tabs) are.
QString trimHostText(const QString& host);

// Why a host's address cannot be stored, or nothing. The address is the trimmed text: an IPv4
// address as four decimal numbers 0..255 ("999.1.1.1", "10.1" and "010.0.0.1" are refused: the
// classic resolver would read the last two as other addresses); an IPv6 address, in brackets or
// not, with an interface name after "%" where it has a zone; or a host name as DNS has it. A text
// whose last part is all digits is an IPv4 address or nothing, since no top-level domain is.
std::optional<QString> addressRefusal(const QString& ip);

// Why a host's address, wait time (vw) and echo count (vn) cannot be stored, or nothing when
// the probe can use them. TTL and payload size need no test: the probe brings any text into
// range itself.
std::optional<QString> hostRefusal(const QString& ip, const QString& vw, const QString& vn,
                                   const QLocale& locale = QLocale());

// A description goes into event rows, log lines, terminals and alert mails as it is: a control
// character in it would break a row apart, forge a line or drive a terminal.
std::optional<QString> descriptionRefusal(const QString& desc);

// The check interval typed by the user: whole minutes (rounded, halves to even), or the refusal.
struct IntervalInput {
    std::int32_t minutes = 0;
    QString refusal{};  // empty when the interval is accepted
};
IntervalInput intervalInput(const QString& text, const QLocale& locale = QLocale());

std::optional<QString> recipientRefusal(const QString& to);
// The mail server, sender, recipient and their description: a control character there would
// stop every alert (a line break in an address is refused at sending) or forge a header.
std::optional<QString> mailFieldRefusal(const QString& text);

}  // namespace sentrok
