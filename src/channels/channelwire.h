#pragma once

#include "channels/channelmessage.h"

#include <QByteArray>
#include <QDateTime>
#include <QStringList>

#include <chrono>
#include <optional>

namespace sentrok {

// What goes over the wire to a channel and what its answer means: pure functions, so every rule
// is tested without a server.

// Telegram takes at most 4,096 characters (UTF-16 code units) a message.
inline constexpr qsizetype kTelegramLimit = 4096;

// The text in parts of at most `limit` characters, cut between lines and in order. A line longer
// than the limit is cut where it must, never between the two halves of a surrogate pair. Parts
// that would hold only blanks are left out: Telegram refuses an empty message.
QStringList splitForTelegram(const QString& text, qsizetype limit = kTelegramLimit);

// The text goes as plain text (no parse_mode): a host's description can then hold "<", "&" or
// "*" and show as written, and no markup can be cut in two by the split.
QByteArray telegramBody(const QString& chat, const QString& text);
// {"text", "down": [{"id", "address", "description", "ancestor"}], "up": [...], "time",
// "monitor"}; ancestor null when there is none, time in ISO 8601 with its offset.
QByteArray webhookBody(const ChannelMessage& message);

// A server's answer to one request.
struct HttpAnswer {
    int status = 0;
    QByteArray body;
    QByteArray retryAfter;  // the Retry-After header, if any
};

struct ReplyVerdict {
    enum class Kind {
        Delivered,  // 2xx: taken; never sent again
        Wait,       // 429: send again after `wait` (the server's own, when it said one)
        Retry,      // 5xx: send again after a back-off
        GiveUp,     // anything else: sending again would be refused again
    };
    Kind kind = Kind::GiveUp;
    std::optional<std::chrono::seconds> wait;
    QString words;  // "HTTP 400: Bad Request: chat not found"
};
// `now` reads a Retry-After given as a date; `secrets` are masked in the words.
ReplyVerdict judgeReply(const HttpAnswer& answer, const QDateTime& now, const QStringList& secrets);

// A server's words for a person: Telegram's "description" where the body is its JSON, otherwise
// the body's text, on one line, cut to a readable length, nothing in it driving a terminal, and
// any of `secrets` the server repeated masked (before the cut, which could leave half of one).
QString serverWords(const QByteArray& body, const QStringList& secrets);

// `text` with each of `secrets` replaced by "***": as given, percent-encoded, and with "/" as
// JSON may write it ("\/").
QString maskSecrets(QString text, const QStringList& secrets);

}  // namespace sentrok
