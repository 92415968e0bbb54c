#include "channels/channelrecord.h"

#include "common/conversions.h"
#include "common/inputrules.h"
#include "store/mailsettings.h"

#include <QRegularExpression>
#include <QUuid>

#include <algorithm>

namespace sentrok {

namespace {

bool hasControl(const QString& text)
{
    return std::any_of(text.cbegin(), text.cend(), [](QChar c) { return isControlCharacter(c); });
}

// An http(s) address with a host. `what` names it in the refusal.
std::optional<QUrl> httpUrl(const QString& text, const QString& what, QString* error)
{
    const QString trimmed = text.trimmed();
    if (trimmed.isEmpty()) {
        *error = QStringLiteral("Не задан %1").arg(what);
        return std::nullopt;
    }
    if (trimmed.size() > kMaxWebhookUrl || hasControl(trimmed)) {
        *error = QStringLiteral("%1 длиннее %2 знаков или содержит управляющие символы")
                     .arg(what)
                     .arg(kMaxWebhookUrl);
        return std::nullopt;
    }
    const QUrl url(trimmed, QUrl::StrictMode);
    if (!url.isValid() || (url.scheme() != u"http" && url.scheme() != u"https") ||
        url.host().isEmpty()) {
        // The text itself may hold a secret: it is not repeated.
        *error = QStringLiteral("%1 должен начинаться с http:// или https:// и называть сервер")
                     .arg(what);
        return std::nullopt;
    }
    return url;
}

// The Bot API's base as requests append to it. Nothing secret belongs there (the token is kept
// apart), so an address that holds a user, a query or a fragment is refused rather than stored.
std::optional<QString> apiBase(const QString& text, QString* error)
{
    if (text.trimmed().isEmpty()) return kTelegramApi;
    const std::optional<QUrl> url = httpUrl(text, QStringLiteral("адрес Bot API"), error);
    if (!url) return std::nullopt;
    if (!url->userInfo().isEmpty() || url->hasQuery() || url->hasFragment()) {
        *error = QStringLiteral(
            "Адрес Bot API не должен содержать имени, пароля, \"?\" и \"#\": "
            "токен бота задаётся отдельно");
        return std::nullopt;
    }
    QString base = url->toString(QUrl::FullyEncoded);
    while (base.endsWith(u'/')) base.chop(1);
    return base;
}

// A token goes into the request's path as it is: anything but its own alphabet could turn the
// request into another one (a "/" or "?" inside it) or break the line it is sent on.
bool tokenShape(const QString& token)
{
    static const QRegularExpression shape(QStringLiteral("^[0-9]{1,20}:[A-Za-z0-9_-]{20,100}$"));
    return shape.match(token).hasMatch();
}

bool chatShape(const QString& chat)
{
    static const QRegularExpression shape(
        QStringLiteral("^(-?[0-9]{1,20}|@[A-Za-z][A-Za-z0-9_]{3,31})$"));
    return shape.match(chat).hasMatch();
}

// The mail server's rule for a typed pin, so both accept and refuse the same texts.
std::optional<QString> normalisedPin(const QString& typed, QString* error)
{
    // The port is the mail's business; any will do.
    MailServerInput input;
    input.pin = typed;
    const std::optional<MailServerOptions> checked = checkMailServer(input, 25, error);
    if (!checked) return std::nullopt;
    return checked->pin;
}

}  // namespace

QString kindWord(ChannelKind kind)
{
    return kind == ChannelKind::Telegram ? QStringLiteral("telegram") : QStringLiteral("webhook");
}

std::optional<ChannelKind> kindFromWord(const QString& word)
{
    if (word == u"telegram") return ChannelKind::Telegram;
    if (word == u"webhook") return ChannelKind::Webhook;
    return std::nullopt;
}

QUrl requestUrl(const ChannelSettings& channel)
{
    if (channel.record.kind == ChannelKind::Webhook) return QUrl(channel.secret, QUrl::StrictMode);
    return QUrl(channel.record.apiUrl + QStringLiteral("/bot") + channel.secret +
                    QStringLiteral("/sendMessage"),
                QUrl::StrictMode);
}

QString shownUrl(const QUrl& url)
{
    if (!url.isValid() || url.host().isEmpty()) return QStringLiteral("***");
    QUrl shown;
    shown.setScheme(url.scheme());
    shown.setHost(url.host());
    shown.setPort(url.port());
    if (!url.userInfo().isEmpty()) shown.setUserName(QStringLiteral("***"));
    const bool rest =
        (!url.path().isEmpty() && url.path() != u"/") || url.hasQuery() || url.hasFragment();
    return shown.toString() + (rest ? QStringLiteral("/***") : QString());
}

QString shownAddress(const ChannelSettings& channel)
{
    if (channel.record.kind == ChannelKind::Webhook) return shownUrl(requestUrl(channel));
    return channel.record.apiUrl + QStringLiteral("/bot***/sendMessage");
}

QString channelTitle(const ChannelRecord& record)
{
    const bool telegram = record.kind == ChannelKind::Telegram;
    return QStringLiteral("%1 «%2» (%3)")
        .arg(telegram ? QStringLiteral("Telegram") : QStringLiteral("webhook"),
             printableText(record.name),
             telegram ? QStringLiteral("чат ") + printableText(record.target)
                      : printableText(record.target));
}

std::optional<ChannelAddInput> parseChannelAdd(const QStringList& args, QString* error)
{
    const auto refuse = [error](const QString& why) {
        *error = why;
        return std::nullopt;
    };
    if (args.isEmpty()) return refuse(QStringLiteral("Укажите вид канала: telegram или webhook"));
    const std::optional<ChannelKind> kind = kindFromWord(args[0]);
    if (!kind)
        return refuse(QStringLiteral("Неизвестный вид канала \"%1\": допустимы telegram и webhook")
                          .arg(printableText(args[0])));
    ChannelAddInput out;
    out.kind = *kind;
    const bool telegram = *kind == ChannelKind::Telegram;
    QStringList seen;
    for (qsizetype i = 1; i < args.size(); ++i) {
        const QString& a = args[i];
        if (seen.contains(a)) return refuse(QStringLiteral("%1 задан дважды").arg(a));
        if (a.startsWith(u"--")) seen << a;
        const auto value = [&](QString& into) {
            if (i + 1 >= args.size()) return false;
            into = args[++i];
            return true;
        };
        bool ok = true;
        if (a == u"--name")
            ok = value(out.name);
        else if (a == u"--pin")
            ok = value(out.pin);
        else if (telegram && a == u"--chat")
            ok = value(out.chat);
        else if (telegram && a == u"--api-url")
            ok = value(out.apiUrl);
        else if (telegram && a == u"--token-stdin")
            out.secretFromStdin = true;
        else if (!telegram && a == u"--url-stdin")
            out.secretFromStdin = true;
        else if (!telegram && !a.startsWith(u"--") && out.url.isNull())
            out.url = a;
        else
            return refuse(QStringLiteral("Лишний или неизвестный параметр \"%1\"")
                              .arg(a.startsWith(u"--") ? printableText(a) : QStringLiteral("***")));
        if (!ok) return refuse(QStringLiteral("После %1 нужно значение").arg(a));
    }
    if (telegram && out.chat.isNull())
        return refuse(QStringLiteral("Укажите чат: --chat ID (число или @имя канала)"));
    if (telegram && !out.secretFromStdin)
        return refuse(
            QStringLiteral("Токен бота передаётся только на стандартный ввод: укажите "
                           "--token-stdin"));
    if (!telegram && out.url.isNull() == !out.secretFromStdin)
        return refuse(QStringLiteral("Укажите адрес webhook: URL или --url-stdin"));
    return out;
}

std::optional<ChannelSettings> makeChannel(const ChannelAddInput& input, const QString& secretLine,
                                           QString* error)
{
    const auto refuse = [error](const QString& why) {
        *error = why;
        return std::nullopt;
    };
    ChannelSettings out;
    ChannelRecord& r = out.record;
    r.kind = input.kind;
    r.secretRef = QStringLiteral("channel:") + QUuid::createUuid().toString(QUuid::WithoutBraces);
    QUrl target;
    if (input.kind == ChannelKind::Telegram) {
        r.target = input.chat.trimmed();
        if (!chatShape(r.target))
            return refuse(
                QStringLiteral("Чат Telegram — это число (например, -1001234567890) или "
                               "@имя канала"));
        const std::optional<QString> base = apiBase(input.apiUrl, error);
        if (!base) return std::nullopt;
        r.apiUrl = *base;
        out.secret = secretLine.trimmed();
        if (!tokenShape(out.secret))
            return refuse(
                QStringLiteral("Токен бота неверен: он выглядит как 123456789:AAH... "
                               "(число, двоеточие, буквы, цифры, «_» и «-»)"));
        target = QUrl(r.apiUrl);
    } else {
        const QString given = input.secretFromStdin ? secretLine : input.url;
        const std::optional<QUrl> url = httpUrl(given, QStringLiteral("адрес webhook"), error);
        if (!url) return std::nullopt;
        out.secret = url->toString(QUrl::FullyEncoded);
        r.target = shownUrl(*url);
        target = *url;
    }
    const std::optional<QString> pin = normalisedPin(input.pin, error);
    if (!pin) return std::nullopt;
    r.pin = *pin;
    if (!r.pin.isEmpty() && target.scheme() != u"https")
        return refuse(QStringLiteral("Отпечаток сертификата задаётся только для адреса https"));
    r.name = input.name.trimmed();
    if (r.name.isEmpty())
        r.name = input.kind == ChannelKind::Telegram ? QStringLiteral("Telegram ") + r.target
                                                     : target.host();
    if (r.name.size() > kMaxChannelName)
        return refuse(
            QStringLiteral("Имя канала должно быть не длиннее %1 знаков").arg(kMaxChannelName));
    if (hasControl(r.name))
        return refuse(QStringLiteral("Имя канала не должно содержать управляющих символов"));
    return out;
}

std::optional<qint64> parseChannelId(const QString& text, QString* error)
{
    bool ok = false;
    const qint64 id = text.toLongLong(&ok);
    if (!ok || id < 1) {
        *error = QStringLiteral("Номер канала должен быть целым числом больше нуля");
        return std::nullopt;
    }
    return id;
}

}  // namespace sentrok
