#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QList>
#include <QPointer>
#include <QSslConfiguration>
#include <QSslServer>
#include <QTcpSocket>

#include <memory>

namespace sentrok::test {

// A scripted HTTP/1.1 server on 127.0.0.1 playing the Bot API, a webhook receiver or a proxy:
// each request gets the next reply of the script (200 {"ok":true} once it is used up), on a
// connection that is then closed. A reply may hang: no answer until release(). With a TLS
// configuration it speaks TLS from the first byte.
class FakeHttp : public QObject {
public:
    struct Reply {
        Reply(int status = 200, QByteArray body = "{\"ok\":true}", QByteArray headers = {})
            : status(status), body(std::move(body)), headers(std::move(headers)) {}
        static Reply hanging()
        {
            Reply r;
            r.hang = true;
            return r;
        }
        int status;
        QByteArray body;
        QByteArray headers;  // extra header lines, each ending in \r\n
        bool hang = false;
    };
    struct Seen {
        QByteArray method, target, headers, body;
        qint64 ms = 0;        // since the server started
        qint64 steadyNs = 0;  // std::chrono::steady_clock, for a benchmark's latency
    };

    explicit FakeHttp(const QList<Reply>& script = {}, const QSslConfiguration& tls = {});
    quint16 port() const { return m_server->serverPort(); }
    QString url(const QString& path = {}) const;
    // Requests in full, in the order they arrived.
    QList<Seen> seen;
    // Connections made, with or without a request (for TLS: handshakes begun).
    int connections = 0;
    // Answers the hanging requests with `reply`.
    void release(const Reply& reply = {});

private:
    void onConnection();
    void onData(QTcpSocket* socket);
    void answer(QTcpSocket* socket, const Reply& reply);

    bool m_tls;
    std::unique_ptr<QTcpServer> m_server;
    QList<Reply> m_script;
    QList<QPointer<QTcpSocket>> m_hanging;
    QElapsedTimer m_clock;
};

}  // namespace sentrok::test
