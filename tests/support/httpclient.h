#pragma once

// A real HTTP client (Qt's own) for the tests of the web side: one request at a time, waited for.

#include <QEventLoop>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>
#include <QUrl>

#include <memory>

namespace sentrok::test {

struct HttpAnswer {
    int status = 0;  // 0: no answer (refused, closed, timed out)
    QByteArray body;
    QList<QNetworkReply::RawHeaderPair> headers;
    QString error;
    QByteArray header(const QByteArray& name) const
    {
        for (const auto& [k, v] : headers)
            if (k.compare(name, Qt::CaseInsensitive) == 0) return v;
        return {};
    }
};

// A real client (Qt's own): waits for each answer, at most `waitMs`.
class HttpClient {
public:
    explicit HttpClient(QString base) : m_base(std::move(base)) {}
    void setPassword(const QByteArray& password)
    {
        m_auth = "Basic " + (QByteArray("sentrok:") + password).toBase64();
    }
    HttpAnswer get(const QString& path, const QByteArray& verb = "GET",
                   const QList<std::pair<QByteArray, QByteArray>>& headers = {}, int waitMs = 15000)
    {
        QNetworkRequest request(QUrl(m_base + path));
        request.setAttribute(QNetworkRequest::CacheLoadControlAttribute,
                             QNetworkRequest::AlwaysNetwork);
        if (!m_auth.isEmpty()) request.setRawHeader("Authorization", m_auth);
        for (const auto& [k, v] : headers) request.setRawHeader(k, v);
        QNetworkReply* reply = m_nam->sendCustomRequest(request, verb);
        reply->ignoreSslErrors();  // the tests' own certificate
        QEventLoop loop;
        QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
        QTimer::singleShot(waitMs, &loop, &QEventLoop::quit);
        loop.exec();
        HttpAnswer a;
        if (!reply->isFinished()) reply->abort();
        a.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        a.body = reply->readAll();
        a.headers = reply->rawHeaderPairs();
        if (reply->error() != QNetworkReply::NoError && a.status == 0)
            a.error = reply->errorString();
        reply->deleteLater();
        return a;
    }

private:
    QString m_base;
    QByteArray m_auth;
    std::unique_ptr<QNetworkAccessManager> m_nam = std::make_unique<QNetworkAccessManager>();
};

}  // namespace sentrok::test
