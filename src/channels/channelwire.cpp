#include "channels/channelwire.h"

#include "common/conversions.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocale>
#include <QTimeZone>
#include <QUrl>

namespace sentrok {

namespace {

constexpr qsizetype kMaxWords = 300;
// Longer than any wait a server means: a bigger number is garbage, not a wish to wait years.
constexpr qint64 kLongestWaitS = 7 * 24 * 3600;

QJsonArray hostsJson(const QList<ChannelHost>& hosts)
{
    QJsonArray out;
    for (const ChannelHost& h : hosts)
        out.append(
            QJsonObject{{QStringLiteral("id"), h.id},
                        {QStringLiteral("address"), h.address},
                        {QStringLiteral("description"), h.description},
                        {QStringLiteral("ancestor"),
                         h.ancestor ? QJsonValue(h.ancestor) : QJsonValue(QJsonValue::Null)}});
    return out;
}

QJsonObject jsonObject(const QByteArray& body)
{
    QJsonParseError parsed{};
    const QJsonDocument document = QJsonDocument::fromJson(body, &parsed);
    return parsed.error == QJsonParseError::NoError ? document.object() : QJsonObject();
}

std::optional<std::chrono::seconds> seconds(qint64 n)
{
    if (n < 0 || n > kLongestWaitS) return std::nullopt;
    return std::chrono::seconds(n);
}

// Telegram's parameters.retry_after, else Retry-After in seconds or as an HTTP date.
std::optional<std::chrono::seconds> retryAfter(const HttpAnswer& answer, const QDateTime& now)
{
    const QJsonValue inJson = jsonObject(answer.body)
                                  .value(QStringLiteral("parameters"))
                                  .toObject()
                                  .value(QStringLiteral("retry_after"));
    if (inJson.isDouble() && inJson.toDouble() == double(inJson.toInteger()))
        return seconds(inJson.toInteger());
    const QByteArray header = answer.retryAfter.trimmed();
    if (header.isEmpty()) return std::nullopt;
    bool number = false;
    const qint64 n = header.toLongLong(&number);
    if (number) return seconds(n);
    QDateTime at = QLocale::c().toDateTime(QString::fromLatin1(header),
                                           QStringLiteral("ddd, dd MMM yyyy HH:mm:ss 'GMT'"));
    if (!at.isValid()) return std::nullopt;
    at.setTimeZone(QTimeZone::utc());
    return seconds(std::max<qint64>(0, now.secsTo(at)));
}

void addPart(QStringList& parts, const QString& part)
{
    if (!part.trimmed().isEmpty()) parts << part;
}

}  // namespace

QStringList splitForTelegram(const QString& text, qsizetype limit)
{
    QStringList parts;
    QString part;
    bool open = false;  // `part` has a line in it, perhaps an empty one
    for (QStringView line : QStringView(text).split(u'\n')) {
        if (open && part.size() + 1 + line.size() <= limit) {
            part += u'\n';
            part += line;
            continue;
        }
        if (open) addPart(parts, part);
        while (line.size() > limit) {
            qsizetype cut = limit;
            if (cut > 1 && line[cut - 1].isHighSurrogate() && line[cut].isLowSurrogate()) --cut;
            addPart(parts, line.first(cut).toString());
            line = line.sliced(cut);
        }
        part = line.toString();
        open = true;
    }
    if (open) addPart(parts, part);
    return parts;
}

QByteArray telegramBody(const QString& chat, const QString& text)
{
    return QJsonDocument(QJsonObject{{QStringLiteral("chat_id"), chat},
                                     {QStringLiteral("text"), text},
                                     {QStringLiteral("disable_web_page_preview"), true}})
        .toJson(QJsonDocument::Compact);
}

QByteArray webhookBody(const ChannelMessage& message)
{
    return QJsonDocument(QJsonObject{{QStringLiteral("text"), message.text},
                                     {QStringLiteral("down"), hostsJson(message.down)},
                                     {QStringLiteral("up"), hostsJson(message.up)},
                                     {QStringLiteral("time"), isoTimeWithOffset(message.time)},
                                     {QStringLiteral("monitor"), message.monitor}})
        .toJson(QJsonDocument::Compact);
}

ReplyVerdict judgeReply(const HttpAnswer& answer, const QDateTime& now, const QStringList& secrets)
{
    using Kind = ReplyVerdict::Kind;
    ReplyVerdict out;
    const QString words = serverWords(answer.body, secrets);
    out.words = QStringLiteral("HTTP %1").arg(answer.status) +
                (words.isEmpty() ? QString() : QStringLiteral(": ") + words);
    if (answer.status >= 200 && answer.status <= 299)
        out.kind = Kind::Delivered;
    else if (answer.status == 429) {
        out.kind = Kind::Wait;
        out.wait = retryAfter(answer, now);
    } else if (answer.status >= 500 && answer.status <= 599)
        out.kind = Kind::Retry;
    else
        out.kind = Kind::GiveUp;
    return out;
}

QString serverWords(const QByteArray& body, const QStringList& secrets)
{
    const QJsonValue description = jsonObject(body).value(QStringLiteral("description"));
    QString words =
        description.isString()
            ? description.toString()
            : QString::fromUtf8(body.first(std::min<qsizetype>(body.size(), kMaxWords * 4)));
    words = maskSecrets(printableLine(words).simplified(), secrets);
    if (words.size() > kMaxWords) words = words.left(kMaxWords) + QStringLiteral("...");
    return words;
}

QString maskSecrets(QString text, const QStringList& secrets)
{
    for (const QString& secret : secrets) {
        if (secret.isEmpty()) continue;
        text.replace(secret, QStringLiteral("***"));
        text.replace(QString::fromLatin1(QUrl::toPercentEncoding(secret)), QStringLiteral("***"));
        if (secret.contains(u'/')) {
            QString escaped = secret;
            text.replace(escaped.replace(u'/', QStringLiteral("\\/")), QStringLiteral("***"));
        }
    }
    return text;
}

}  // namespace sentrok
