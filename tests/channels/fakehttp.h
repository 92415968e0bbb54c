#pragma once

#include <QHostAddress>
#include <QList>
#include <QPointer>
#include <QSslServer>
#include <QTcpSocket>

#include <chrono>
#include <memory>

namespace sentrok::test {

// A scripted HTTP/1.1 server on 127.0.0.1 playing the Bot API, a webhook receiver or a proxy:
// each request gets the next reply of the script (200 {"ok":true} once it is used up), on a
// connection then closed. A reply may hang until release(). With a certificate it speaks TLS.
class FakeHttp : public QObject {
public:
    struct Reply {
        Reply(int status = 200, QByteArray body = "{\"ok\":true}", QByteArray headers = {})
            : status(status), body(std::move(body)), headers(std::move(headers))
        {
        }
        static Reply hanging()
        {
            Reply r;
            r.hang = true;
            return r;
        }
        int status;
        QByteArray body, headers;  // headers: extra lines, each ending in \r\n
        bool hang = false;
    };
    struct Seen {
        QByteArray method, target, head, body;
        qint64 steadyNs = 0;  // when it had come whole
    };

    explicit FakeHttp(const QList<Reply>& script = {}, const QSslConfiguration& tls = {})
        : m_tls(!tls.localCertificate().isNull()), m_script(script)
    {
        if (m_tls) {
            auto* server = new QSslServer;
            server->setSslConfiguration(tls);
            connect(server, &QSslServer::startedEncryptionHandshake, this,
                    [this] { ++connections; });
            m_server.reset(server);
        } else {
            m_server = std::make_unique<QTcpServer>();
        }
        connect(m_server.get(), &QTcpServer::pendingConnectionAvailable, this, [this] {
            while (QTcpSocket* s = m_server->nextPendingConnection()) {
                connections += !m_tls;
                connect(s, &QTcpSocket::readyRead, this, [this, s] { onData(s); });
                connect(s, &QTcpSocket::disconnected, s, &QObject::deleteLater);
                onData(s);
            }
        });
        m_server->listen(QHostAddress(QHostAddress::LocalHost));
    }
    QString url(const QString& path = {}) const
    {
        return QStringLiteral("%1://127.0.0.1:%2%3")
            .arg(m_tls ? "https" : "http")
            .arg(m_server->serverPort())
            .arg(path);
    }
    void release(const Reply& reply = {})
    {
        for (const QPointer<QTcpSocket>& s : std::exchange(m_hanging, {}))
            if (s) answer(s, reply);
    }

    QList<Seen> seen;     // requests in full, in order
    int connections = 0;  // with or without a request; for TLS, handshakes begun

private:
    void onData(QTcpSocket* s)
    {
        const QByteArray in = s->property("in").toByteArray() + s->readAll();
        s->setProperty("in", in);
        const qsizetype headEnd = in.indexOf("\r\n\r\n");
        if (headEnd < 0) return;
        const QByteArray head = in.first(headEnd);
        qsizetype length = 0;
        for (const QByteArray& line : head.split('\n'))
            if (line.toLower().startsWith("content-length:"))
                length = line.mid(15).trimmed().toLongLong();
        if (in.size() < headEnd + 4 + length) return;
        const QList<QByteArray> request = head.first(head.indexOf('\r')).split(' ');
        seen << Seen{request.value(0), request.value(1), head, in.mid(headEnd + 4, length),
                     std::chrono::steady_clock::now().time_since_epoch().count()};
        const Reply reply = m_script.isEmpty() ? Reply{} : m_script.takeFirst();
        if (reply.hang)
            m_hanging << s;
        else
            answer(s, reply);
    }
    static void answer(QTcpSocket* s, const Reply& r)
    {
        s->write("HTTP/1.1 " + QByteArray::number(r.status) + " X\r\n" + r.headers +
                 "Content-Length: " + QByteArray::number(r.body.size()) +
                 "\r\nConnection: close\r\n\r\n" + r.body);
        s->disconnectFromHost();
    }

    bool m_tls;
    std::unique_ptr<QTcpServer> m_server;
    QList<Reply> m_script;
    QList<QPointer<QTcpSocket>> m_hanging;
};

}  // namespace sentrok::test
