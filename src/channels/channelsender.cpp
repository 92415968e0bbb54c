#include "channels/channelsender.h"

#include "alerts/certificatepin.h"
#include "common/conversions.h"
#include "store/mailsettings.h"

#include <QNetworkProxyFactory>
#include <QNetworkReply>
#include <QSslCertificate>
#include <QSslConfiguration>

#include <algorithm>

namespace sentrok {

namespace {

class SystemProxies final : public QNetworkProxyFactory {
public:
    QList<QNetworkProxy> queryProxy(const QNetworkProxyQuery& query) override
    {
        return systemProxyForQuery(query);
    }
};

// Every form in which a request's secret could come back in words.
QStringList secretsOf(const ChannelSettings& channel, const QUrl& url)
{
    QStringList out{channel.secret};
    if (channel.record.kind == ChannelKind::Webhook) {
        out << url.toString(QUrl::FullyEncoded) << url.toString(QUrl::PrettyDecoded)
            << url.password() << url.userName() << url.query() << url.fragment();
        if (url.path().size() > 1)
            out << url.path(QUrl::FullyEncoded) << url.path()
                << url.toString(QUrl::RemoveScheme | QUrl::RemoveAuthority | QUrl::FullyEncoded);
    }
    out.removeAll(QString());
    out.removeDuplicates();
    // A whole URL before its parts: masked part by part it would leave the rest showing.
    std::sort(out.begin(), out.end(),
              [](const QString& a, const QString& b) { return a.size() > b.size(); });
    return out;
}

// What went wrong below HTTP, in words. Qt's own words may name the whole URL: they are used
// only for what is not listed here, and masked.
QString networkWords(const QNetworkReply& reply, const QStringList& secrets)
{
    switch (reply.error()) {
        case QNetworkReply::ConnectionRefusedError:
            return QStringLiteral("сервер отказал в соединении");
        case QNetworkReply::RemoteHostClosedError:
            return QStringLiteral("сервер закрыл соединение");
        case QNetworkReply::HostNotFoundError:
            return QStringLiteral("имя сервера не найдено");
        case QNetworkReply::TimeoutError:
            return QStringLiteral("сервер не ответил вовремя");
        case QNetworkReply::SslHandshakeFailedError:
            return QStringLiteral("TLS-соединение не установлено");
        case QNetworkReply::TemporaryNetworkFailureError:
        case QNetworkReply::NetworkSessionFailedError:
            return QStringLiteral("сеть недоступна");
        case QNetworkReply::ProxyConnectionRefusedError:
        case QNetworkReply::ProxyConnectionClosedError:
        case QNetworkReply::ProxyNotFoundError:
        case QNetworkReply::ProxyTimeoutError:
            return QStringLiteral("прокси-сервер из настроек системы недоступен");
        case QNetworkReply::ProxyAuthenticationRequiredError:
            return QStringLiteral("прокси-сервер из настроек системы требует входа");
        default:
            break;
    }
    return QStringLiteral("ошибка сети: ") +
           maskSecrets(printableLine(reply.errorString()), secrets);
}

QString secondsText(std::chrono::milliseconds ms) { return QString::number(ms.count() / 1000.0); }

}  // namespace

ChannelSender::ChannelSender(ChannelSettings channel, ChannelTiming timing, QObject* parent)
    : QObject(parent),
      m_channel(std::move(channel)),
      m_timing(timing),
      m_url(requestUrl(m_channel)),
      m_secrets(secretsOf(m_channel, m_url)),
      m_backoff(timing.firstBackoff)
{
    m_nam.setProxyFactory(new SystemProxies);
    // Redirects are answers like any other (given up): one could take the request elsewhere.
    m_nam.setRedirectPolicy(QNetworkRequest::ManualRedirectPolicy);
    m_timeout.setSingleShot(true);
    m_wait.setSingleShot(true);
    connect(&m_timeout, &QTimer::timeout, this, [this] {
        if (!m_reply) return;
        m_timedOut = true;
        m_reply->abort();
    });
    connect(&m_wait, &QTimer::timeout, this, &ChannelSender::pump);
    connect(&m_nam, &QNetworkAccessManager::finished, this, &ChannelSender::onFinished);
    connect(&m_nam, &QNetworkAccessManager::sslErrors, this, &ChannelSender::onSslErrors);
    connect(&m_nam, &QNetworkAccessManager::encrypted, this, &ChannelSender::onEncrypted);
}

ChannelSender::~ChannelSender()
{
    if (m_reply) {
        m_nam.disconnect(this);
        m_reply->abort();
    }
}

void ChannelSender::send(const ChannelMessage& message)
{
    const quint64 number = ++m_messages;
    const QDeadlineTimer retryUntil(m_timing.retryWindow);
    if (m_channel.record.kind == ChannelKind::Telegram) {
        for (const QString& part : splitForTelegram(message.text))
            m_queue.push_back({telegramBody(m_channel.record.target, part), retryUntil, number});
    } else {
        m_queue.push_back({webhookBody(message), retryUntil, number});
    }
    qsizetype dropped = 0;
    while (messagesWaiting() > kMaxQueuedMessages) {
        // The message under way, or waiting to be sent again, stays; the next oldest goes.
        quint64 oldest = m_queue.front().message;
        if (m_reply || m_wait.isActive())
            oldest = std::find_if(m_queue.cbegin(), m_queue.cend(), [&](const Request& r) {
                         return r.message != oldest;
                     })->message;
        dropMessage(oldest);
        ++dropped;
    }
    if (dropped)
        emit failed(
            report(QStringLiteral("в очереди больше %1 сообщений, старейших не отправлено: %2")
                       .arg(kMaxQueuedMessages)
                       .arg(dropped)));
    schedulePump();
}

// The next request starts on a later turn of the loop: never inside the caller's send(), nor
// inside a signal of the reply that just ended.
void ChannelSender::schedulePump()
{
    if (m_pumpQueued) return;
    m_pumpQueued = true;
    QTimer::singleShot(0, this, [this] {
        m_pumpQueued = false;
        pump();
    });
}

void ChannelSender::pump()
{
    if (m_reply || m_wait.isActive() || m_queue.empty()) return;
    QNetworkRequest request(m_url);
    request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/json"));
    request.setHeader(QNetworkRequest::UserAgentHeader, QByteArrayLiteral("Sentrok"));
    m_timedOut = false;
    m_refusal.clear();
    m_reply = m_nam.post(request, m_queue.front().body);
    m_timeout.start(m_timing.requestTimeout);
}

void ChannelSender::onSslErrors(QNetworkReply* reply, const QList<QSslError>& errors)
{
    if (reply != m_reply) return;
    const QSslCertificate got = reply->sslConfiguration().peerCertificate();
    // The pinned certificate is trusted whoever signed it; any other is not.
    if (!m_channel.record.pin.isEmpty() && matchesPin(got, m_channel.record.pin)) {
        reply->ignoreSslErrors();
        return;
    }
    m_refusal = certificateWords(got, errors);
}

void ChannelSender::onEncrypted(QNetworkReply* reply)
{
    // A certificate the system trusts is still not the one pinned.
    if (reply != m_reply ||
        matchesPin(reply->sslConfiguration().peerCertificate(), m_channel.record.pin))
        return;
    m_refusal = certificateWords(reply->sslConfiguration().peerCertificate(), {});
    reply->abort();
    // Nothing of this connection is used again.
    m_nam.clearConnectionCache();
}

QString ChannelSender::certificateWords(const QSslCertificate& got,
                                        const QList<QSslError>& errors) const
{
    const QString host = printableText(m_url.host());
    const QString fingerprint = pinForDisplay(certificatePin(got));
    if (!m_channel.record.pin.isEmpty())
        return QStringLiteral(
                   "отпечаток сертификата сервера %1 не совпадает с заданным для канала, "
                   "соединение прервано. Задан: %2. Получен: %3")
            .arg(host, pinForDisplay(m_channel.record.pin), fingerprint);
    QStringList why;
    for (const QSslError& e : errors) why << maskSecrets(e.errorString(), m_secrets);
    return QStringLiteral(
               "сертификат сервера %1 не прошёл проверку: %2. Если это сертификат вашего "
               "сервера, задайте для канала его отпечаток SHA-256: %3")
        .arg(host, why.join(QStringLiteral("; ")), fingerprint);
}

void ChannelSender::onFinished(QNetworkReply* reply)
{
    reply->deleteLater();
    if (reply != m_reply) return;
    m_reply = nullptr;
    m_timeout.stop();
    if (m_queue.empty()) return;
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (!m_refusal.isEmpty())
        giveUp(m_refusal);
    else if (m_timedOut)
        retryLater(
            m_backoff,
            QStringLiteral("нет ответа сервера за %1 с").arg(secondsText(m_timing.requestTimeout)));
    else if (status.isValid())
        answered({status.toInt(), reply->read(kMaxReplyBytes), reply->rawHeader("Retry-After")});
    else
        retryLater(m_backoff, networkWords(*reply, m_secrets));
}

void ChannelSender::answered(const HttpAnswer& answer)
{
    const ReplyVerdict verdict = judgeReply(answer, QDateTime::currentDateTimeUtc(), m_secrets);
    switch (verdict.kind) {
        case ReplyVerdict::Kind::Delivered:
            m_queue.pop_front();
            m_backoff = m_timing.firstBackoff;
            emit delivered(verdict.words);
            schedulePump();
            return;
        case ReplyVerdict::Kind::Wait:
            // A server asking for no wait at all still gets the back-off: it would be asked again
            // at once, and again.
            retryLater(verdict.wait ? std::max<std::chrono::milliseconds>(*verdict.wait,
                                                                          m_timing.firstBackoff)
                                    : m_backoff,
                       verdict.words);
            return;
        case ReplyVerdict::Kind::Retry:
            retryLater(m_backoff, verdict.words);
            return;
        case ReplyVerdict::Kind::GiveUp:
            giveUp(verdict.words);
            return;
    }
}

void ChannelSender::retryLater(std::chrono::milliseconds wait, const QString& why)
{
    const QDeadlineTimer& until = m_queue.front().retryUntil;
    if (until.hasExpired() || until.remainingTimeAsDuration() < wait) {
        giveUp(why + QStringLiteral("; повторные попытки в течение %1 с не помогли")
                         .arg(secondsText(m_timing.retryWindow)));
        return;
    }
    m_backoff = std::min(m_backoff * 2, m_timing.maxBackoff);
    m_wait.start(wait);
}

void ChannelSender::giveUp(const QString& why)
{
    dropMessage(m_queue.front().message);
    m_backoff = m_timing.firstBackoff;
    emit failed(report(why));
    schedulePump();
}

qsizetype ChannelSender::messagesWaiting() const
{
    qsizetype n = 0;
    for (std::size_t i = 0; i < m_queue.size(); ++i)
        if (i == 0 || m_queue[i].message != m_queue[i - 1].message) ++n;
    return n;
}

void ChannelSender::dropMessage(quint64 message)
{
    std::erase_if(m_queue, [message](const Request& r) { return r.message == message; });
}

QString ChannelSender::title() const
{
    const ChannelRecord& r = m_channel.record;
    if (r.kind == ChannelKind::Webhook)
        return QStringLiteral("webhook «%1» (%2)")
            .arg(printableText(r.name), shownAddress(m_channel));
    return QStringLiteral("Telegram «%1» (чат %2, %3)")
        .arg(printableText(r.name), printableText(r.target), shownAddress(m_channel));
}

QString ChannelSender::report(const QString& why) const
{
    return maskSecrets(QStringLiteral("Сообщение в канал %1 не доставлено: %2").arg(title(), why),
                       m_secrets);
}

void testChannel(const ChannelSettings& channel, const QString& monitor, QObject* context,
                 std::function<void(ChannelTestOutcome)> done, ChannelTiming timing)
{
    timing.retryWindow = std::chrono::milliseconds(0);
    auto* sender = new ChannelSender(channel, timing, context);
    const auto finish = [sender, done = std::move(done)](bool delivered, const QString& words) {
        sender->disconnect();
        sender->deleteLater();
        done({delivered, words});
    };
    QObject::connect(sender, &ChannelSender::delivered, sender,
                     [finish](const QString& words) { finish(true, words); });
    QObject::connect(sender, &ChannelSender::failed, sender,
                     [finish](const QString& text) { finish(false, text); });
    sender->send(channelTestMessage(QDateTime::currentDateTime(), monitor));
}

}  // namespace sentrok
