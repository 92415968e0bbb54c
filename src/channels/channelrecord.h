#pragma once

#include <QString>
#include <QStringList>
#include <QUrl>

#include <optional>

namespace sentrok {

// A chat channel beside the alert mail: a Telegram bot writing to one chat, or a webhook taking
// JSON (Mattermost, Slack-compatible, Rocket.Chat, a team's own service).
//
// What is secret never goes into the database: the bot token, and the whole webhook URL, since
// any part of one may be its credential (Slack and Mattermost put it in the path, others in the
// query or in a user and password) and a guess at which part would put the rest into the file.
// Both are kept where the mail password is, under the channel's secretRef; the database keeps the
// reference and what may be shown: the chat, the Bot API's address, and the webhook's scheme,
// host and port with "***" for the rest.
enum class ChannelKind { Telegram, Webhook };

QString kindWord(ChannelKind kind);  // "telegram", "webhook": the command line's words
std::optional<ChannelKind> kindFromWord(const QString& word);

inline const QString kTelegramApi = QStringLiteral("https://api.telegram.org");
inline constexpr int kMaxChannelName = 100;
inline constexpr int kMaxWebhookUrl = 2000;

// One channel as the database keeps it: nothing in it is secret.
struct ChannelRecord {
    qint64 id = 0;  // the table's id; 0 until stored
    ChannelKind kind = ChannelKind::Telegram;
    QString name;
    QString target;  // telegram: the chat id or @name; webhook: its URL as shownUrl() gives it
    QString apiUrl;  // telegram: the Bot API's base, no "/" at the end; webhook: empty
    QString pin;     // SHA-256 of the server's certificate, 64 lowercase hex digits, or empty
    bool enabled = true;
    QString secretRef;  // where the secret is kept (channelsecrets.h); unique in every database

    friend bool operator==(const ChannelRecord&, const ChannelRecord&) = default;
};

// What a sender needs: the record and its secret, the bot token or the webhook's whole URL.
struct ChannelSettings {
    ChannelRecord record;
    QString secret;

    friend bool operator==(const ChannelSettings&, const ChannelSettings&) = default;
};

// The address requests go to, secret and all: never shown, never logged.
QUrl requestUrl(const ChannelSettings& channel);
// The same for people: scheme, user "***" where the URL has one, host, port, and "/***" for
// whatever path, query or fragment follows. Telegram's shows the Bot API and "bot***".
QString shownUrl(const QUrl& url);
QString shownAddress(const ChannelSettings& channel);
// "Telegram «Дежурные» (чат -100123)", "webhook «Mattermost» (https://chat.example.org/***)".
QString channelTitle(const ChannelRecord& record);

// `sentrok-db channel add PATH KIND ...` after KIND's position, parsed:
//   telegram --chat ID [--api-url URL] [--name NAME] [--pin SHA256] --token-stdin
//   webhook URL|--url-stdin [--name NAME] [--pin SHA256]
// The secret is never an argument (others may read a process's arguments): the token always
// comes on standard input, and a webhook URL that holds one should (--url-stdin).
struct ChannelAddInput {
    ChannelKind kind = ChannelKind::Telegram;
    QString name, chat, apiUrl, url, pin;
    bool secretFromStdin = false;  // the token, or the webhook's URL, is the next line of input
};
std::optional<ChannelAddInput> parseChannelAdd(const QStringList& args, QString* error);

// The channel to store and its secret, from what was given; `secretLine` is the line read from
// standard input where the input asks for one. On refusal `error` says why.
std::optional<ChannelSettings> makeChannel(const ChannelAddInput& input, const QString& secretLine,
                                           QString* error);

// The id of `channel remove|test PATH ID`.
std::optional<qint64> parseChannelId(const QString& text, QString* error);

}  // namespace sentrok
