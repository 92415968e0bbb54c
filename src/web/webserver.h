#pragma once

#include "web/connections.h"
#include "web/endpoint.h"

#include <QObject>
#include <QString>

#include <memory>

class QThread;

namespace sentrok {
class Clock;
}

namespace sentrok::web {

class HttpFrontend;
class StatusProvider;

struct WebOptions {
    HttpEndpoint endpoint{};
    QString passwordFile{};         // empty: no password asked
    QString certFile{}, keyFile{};  // both, or neither (plain HTTP)
    WebLimits limits{};
};

// The web side of the monitoring: the status page, the JSON API, the metrics for Prometheus and
// /healthz, served by Qt's HTTP server on a thread of its own (at a lower priority than the
// passes). It only reads: every answer comes from the provider's newest snapshot, and what needs
// the database (a host's history, old events) is asked of the provider, which answers later.
//
// Every path but /healthz asks for the password when one is set (HTTP Basic, user "sentrok").
// Only GET and HEAD are answered (405 otherwise). Pages carry a Content-Security-Policy that
// allows the server's own style sheet and script and nothing inline; every text from the database
// is escaped for its place.
class WebServer final {
public:
    WebServer(StatusProvider& provider, const Clock& clock);
    ~WebServer();
    WebServer(const WebServer&) = delete;
    WebServer& operator=(const WebServer&) = delete;

    // Reads the password file, the certificate and the key, and listens. Empty when it listens;
    // otherwise the words for the user, and nothing runs.
    QString start(const WebOptions& options);
    void stop();
    bool running() const { return m_frontend != nullptr; }
    // Where it listens (the port the system gave, when 0 was asked for).
    quint16 port() const { return m_port; }
    bool secure() const { return m_secure; }
    // The connections open now, TLS handshakes under way included.
    int openConnections() const { return m_open ? m_open->load() : 0; }

private:
    StatusProvider& m_provider;
    const Clock& m_clock;
    std::unique_ptr<QThread> m_thread;
    std::unique_ptr<QObject> m_context;  // lives on m_thread: calls are made there through it
    HttpFrontend* m_frontend = nullptr;  // lives on m_thread
    OpenCount m_open;
    quint16 m_port = 0;
    bool m_secure = false;
};

}  // namespace sentrok::web
