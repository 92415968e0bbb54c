#pragma once

#include "web/connections.h"
#include "web/websecrets.h"

#include <QAbstractHttpServer>
#include <QHash>

#include <functional>
#include <optional>

namespace sentrok {
class Clock;
}

namespace sentrok::web {

class StatusProvider;
struct StatusSnapshot;

// Qt's HTTP server parses the requests; this answers them. Lives on the web server's thread.
class HttpFrontend final : public QAbstractHttpServer {
public:
    HttpFrontend(StatusProvider& provider, const Clock& clock, std::optional<BasicAuth> auth);

protected:
    bool handleRequest(const QHttpServerRequest& request, QTcpSocket* socket) override;
    void missingHandler(const QHttpServerRequest& request, QTcpSocket* socket) override;

private:
    using Answer = std::function<void(Reply)>;
    void route(const QHttpServerRequest& request, const Answer& answer);
    void routeAuthorised(const QString& path, const QHttpServerRequest& request,
                         const Answer& answer);
    Reply healthz();
    Reply cachedView(const QHttpServerRequest& request, int which);
    Reply staticFile(const QString& name);
    void events(const QHttpServerRequest& request, const Answer& answer);
    void history(qint64 id, const QHttpServerRequest& request, const Answer& answer);
    void hostPage(qint64 id, const QHttpServerRequest& request, const Answer& answer);

    StatusProvider& m_provider;
    const Clock& m_clock;
    std::optional<BasicAuth> m_auth;
    qint64 m_startedMs;
    // The answers made from the newest snapshot, each made once when first asked.
    struct Views {
        quint64 generation = 0;
        QByteArray made[3];
    } m_views;
    struct StaticFile {
        QByteArray bytes, type, etag;
    };
    QHash<QString, StaticFile> m_static;
};

}  // namespace sentrok::web
