#include "fakehttp.h"

#include <QHostAddress>

#include <chrono>

namespace sentrok::test {

FakeHttp::FakeHttp(const QList<Reply>& script, const QSslConfiguration& tls)
    : m_tls(!tls.localCertificate().isNull()), m_script(script)
{
    m_clock.start();
    if (m_tls) {
        auto* server = new QSslServer;
        server->setSslConfiguration(tls);
        connect(server, &QSslServer::startedEncryptionHandshake, this, [this] { ++connections; });
        m_server.reset(server);
    } else {
        m_server = std::make_unique<QTcpServer>();
    }
    connect(m_server.get(), &QTcpServer::pendingConnectionAvailable, this, &FakeHttp::onConnection);
    m_server->listen(QHostAddress(QHostAddress::LocalHost));
}

QString FakeHttp::url(const QString& path) const
{
    return QStringLiteral("%1://127.0.0.1:%2%3").arg(m_tls ? "https" : "http").arg(port()).arg(path);
}

void FakeHttp::onConnection()
{
    while (QTcpSocket* socket = m_server->nextPendingConnection()) {
        if (!m_tls) ++connections;
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { onData(socket); });
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        onData(socket);
    }
}

void FakeHttp::onData(QTcpSocket* socket)
{
    QByteArray buffered = socket->property("buffered").toByteArray() + socket->readAll();
    socket->setProperty("buffered", buffered);
    const qsizetype headEnd = buffered.indexOf("\r\n\r\n");
    if (headEnd < 0) return;
    const QByteArray head = buffered.first(headEnd);
    qsizetype length = 0;
    for (const QByteArray& line : head.split('\n'))
        if (line.toLower().startsWith("content-length:")) length = line.mid(15).trimmed().toLongLong();
    if (buffered.size() < headEnd + 4 + length) return;
    const QList<QByteArray> request = head.split('\n').first().trimmed().split(' ');
    seen << Seen{request.value(0), request.value(1), head, buffered.mid(headEnd + 4, length), m_clock.elapsed(),
                 std::chrono::steady_clock::now().time_since_epoch().count()};
    socket->setProperty("buffered", QByteArray());
    const Reply reply = m_script.isEmpty() ? Reply{} : m_script.takeFirst();
    if (reply.hang) m_hanging << socket;
    else answer(socket, reply);
}

void FakeHttp::answer(QTcpSocket* socket, const Reply& reply)
{
    socket->write("HTTP/1.1 " + QByteArray::number(reply.status) + " X\r\nContent-Type: application/json\r\n" +
                  reply.headers + "Content-Length: " + QByteArray::number(reply.body.size()) +
                  "\r\nConnection: close\r\n\r\n" + reply.body);
    socket->disconnectFromHost();
}

void FakeHttp::release(const Reply& reply)
{
    for (const QPointer<QTcpSocket>& s : std::exchange(m_hanging, {}))
        if (s) answer(s, reply);
}

}  // namespace sentrok::test
