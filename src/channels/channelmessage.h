#pragma once

#include <QDateTime>
#include <QList>
#include <QString>

namespace sentrok {

// One host in a message. `ancestor`: the id of the host it is listed under (for a host gone down,
// its nearest ancestor that is down, which makes it unreachable; for a host come back, the
// ancestor that came back with it); 0 when none.
struct ChannelHost {
    qint64 id = 0;
    QString address, description;
    qint64 ancestor = 0;

    friend bool operator==(const ChannelHost&, const ChannelHost&) = default;
};

// What one pass with changes says to every channel. `text` has the alert mail's lines, its date
// line first, with LF between them (chats break lines on LF; the mail's CR LF is SMTP's). The
// lists carry the same hosts for a program to read: those gone down (unreachable ones with their
// ancestor), then those come back, each in the pass's order. `monitor`: who made the checks.
struct ChannelMessage {
    QString text;
    QList<ChannelHost> down, up;
    QDateTime time;
    QString monitor;
};

// The message of a pass. `alertText` is what the pass hands to the mail (its NO CONNECT and
// CONNECT lists with every unreachable host two blanks in under its ancestor), so the lines and
// their grouping are the mail's own; the date line is the mail's, for the pass's `time`.
ChannelMessage channelMessage(const QString& alertText, const QDateTime& time,
                              const QString& monitor, QList<ChannelHost> down,
                              QList<ChannelHost> up);

// What a channel's test sends.
inline const QString kChannelTestText =
    QStringLiteral("Проверка оповещения Sentrok: это сообщение отправлено, чтобы проверить канал.");
ChannelMessage channelTestMessage(const QDateTime& time, const QString& monitor);

// ISO 8601 with the offset always written out: "2026-12-07T20:07:11+03:00", "...+00:00".
QString isoTimeWithOffset(const QDateTime& time);

}  // namespace sentrok
