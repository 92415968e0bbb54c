#include "web/connections.h"

#include <QSslSocket>
#include <QTcpSocket>

#include <algorithm>
#include <optional>

#include <unistd.h>

namespace sentrok::web {

struct Connection::Pending {
    QHttpServerResponder responder;
    bool head = false;
    bool close = false;
    std::optional<Reply> reply;
};

namespace {

// Written by hand: these answer before (or instead of) the HTTP server reading a request.
QByteArray bareAnswer(const char* status, const QString& text)
{
    const QByteArray body = text.toUtf8() + '\n';
    return QByteArray("HTTP/1.1 ") + status +
           "\r\nContent-Type: text/plain; charset=utf-8\r\nConnection: close\r\nContent-Length: " +
           QByteArray::number(body.size()) + "\r\n\r\n" + body;
}

// Says its piece and goes; a client that does not read it is cut off soon after.
void sayAndClose(QTcpSocket* socket, const QByteArray& answer)
{
    socket->write(answer);
    socket->disconnectFromHost();
    QObject::connect(socket, &QAbstractSocket::disconnected, socket, &QObject::deleteLater);
    QTimer::singleShot(2000, socket, [socket] {
        socket->abort();
        socket->deleteLater();
    });
}

}  // namespace

Connection::Connection(QTcpSocket* socket, OpenCount open, const WebLimits& limits)
    : QObject(socket), m_socket(socket), m_open(std::move(open)), m_limits(limits)
{
    ++*m_open;
    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, &Connection::expire);
}

Connection::~Connection() { --*m_open; }

Connection* Connection::of(QTcpSocket* socket)
{
    return socket ? socket->findChild<Connection*>(QString(), Qt::FindDirectChildrenOnly) : nullptr;
}

void Connection::arm()
{
    // A request past the limit stops being read from the system at one byte over it.
    m_socket->setReadBufferSize(m_limits.maxRequestBytes + 1);
    connect(m_socket, &QIODevice::readyRead, this, &Connection::readyRead);
    connect(m_socket, &QIODevice::bytesWritten, this, &Connection::written);
    setPhase(Phase::Idle);
}

void Connection::setPhase(Phase phase)
{
    m_phase = phase;
    switch (phase) {
        case Phase::Idle:
            m_timer.start(m_limits.idleTimeoutMs);
            break;
        case Phase::Reading:
            m_timer.start(m_limits.requestTimeoutMs);
            break;
        case Phase::Answering:
            m_timer.stop();
            break;
        case Phase::Writing:
            m_timer.start(m_limits.writeTimeoutMs);
            break;
    }
}

void Connection::readyRead()
{
    if (m_refused) return;
    // The server has read everything before (inside its transaction), so what is there now is new.
    m_requestBytes += m_socket->bytesAvailable();
    if (m_requestBytes > m_limits.maxRequestBytes) {
        refuseTooLarge();
        return;
    }
    if (m_phase == Phase::Idle) setPhase(Phase::Reading);
}

void Connection::refuseTooLarge()
{
    m_refused = true;
    m_timer.stop();
    m_line.clear();
    m_sending.reset();
    sayAndClose(
        m_socket,
        bareAnswer("413 Content Too Large",
                   QStringLiteral("Запрос длиннее %1 байт.").arg(m_limits.maxRequestBytes)));
}

void Connection::expire()
{
    // Whatever it was doing, the client has had its time; the server deletes the socket.
    m_socket->abort();
}

Connection::Ticket Connection::take(QHttpServerResponder&& responder, bool head, bool close)
{
    m_requestBytes = 0;
    setPhase(Phase::Answering);
    auto ticket =
        std::make_shared<Pending>(Pending{std::move(responder), head, close, std::nullopt});
    m_line.push_back(ticket);
    return ticket;
}

void Connection::answer(const Ticket& ticket, Reply reply)
{
    ticket->reply = std::move(reply);
    flush();
}

// An answer leaves a piece at a time, as the client takes it: a client that reads slowly, or not
// at all, holds a piece of it in memory, never the whole (the metrics of ten thousand hosts are
// megabytes, made once and shared by every client that asks).
void Connection::flush()
{
    while (!m_refused) {
        if (m_sending) {
            if (!sendMore()) return;
            continue;
        }
        if (m_line.empty() || !m_line.front()->reply) break;
        m_sending = m_line.front();
        m_line.pop_front();
        if (m_socket->state() != QAbstractSocket::ConnectedState) {
            m_sending.reset();
            continue;
        }
        const Reply& r = *m_sending->reply;
        QHttpServerResponder& out = m_sending->responder;
        out.writeStatusLine(r.status);
        for (const auto& [name, value] : r.headers) out.writeHeader(name, value);
        // "Not modified" has no body, and its length would be the unsent one's.
        if (r.status != QHttpServerResponder::StatusCode::NotModified) {
            out.writeHeader(QByteArrayLiteral("Content-Type"), r.contentType);
            out.writeHeader(QByteArrayLiteral("Content-Length"), QByteArray::number(r.body.size()));
        }
        if (m_sending->close)
            out.writeHeader(QByteArrayLiteral("Connection"), QByteArrayLiteral("close"));
        out.writeBody(QByteArray());  // the end of the headers
        m_sent = 0;
    }
    if (m_refused) return;
    if (!m_line.empty()) {
        setPhase(Phase::Answering);  // the next answer is still being made
    } else if (m_close) {
        m_socket->disconnectFromHost();
        setPhase(Phase::Writing);
    } else {
        setPhase(m_socket->bytesToWrite() > 0 ? Phase::Writing : Phase::Idle);
    }
}

bool Connection::sendMore()
{
    constexpr qint64 kPiece = 64 * 1024;
    const QByteArray& body = m_sending->reply->body;
    const qint64 size = m_sending->head ? 0 : body.size();
    while (m_sent < size && m_socket->bytesToWrite() < kPiece) {
        const qint64 n = std::min(kPiece, size - m_sent);
        m_sending->responder.writeBody(body.constData() + m_sent, n);
        m_sent += n;
    }
    if (m_sent < size) {
        setPhase(Phase::Writing);
        return false;
    }
    m_close = m_close || m_sending->close;
    m_sending.reset();
    return true;
}

void Connection::written()
{
    if (m_sending) {
        setPhase(Phase::Writing);  // it takes the answer: more time, and the next piece
        flush();
    } else if (m_phase == Phase::Writing) {
        setPhase(m_socket->bytesToWrite() > 0 ? Phase::Writing : Phase::Idle);
    }
}

GatedTcpServer::GatedTcpServer(const WebLimits& limits, OpenCount open, QObject* parent)
    : QTcpServer(parent), m_limits(limits), m_open(std::move(open))
{
}

void GatedTcpServer::incomingConnection(qintptr handle)
{
    auto* socket = new QTcpSocket(this);
    if (!socket->setSocketDescriptor(handle)) {
        delete socket;
        return;
    }
    if (*m_open >= m_limits.maxConnections) {
        sayAndClose(socket,
                    bareAnswer("503 Service Unavailable",
                               QStringLiteral("Слишком много соединений (%1), повторите позже.")
                                   .arg(m_limits.maxConnections)));
        return;
    }
    new Connection(socket, m_open, m_limits);
    addPendingConnection(socket);
}

QTcpSocket* GatedTcpServer::nextPendingConnection()
{
    QTcpSocket* socket = QTcpServer::nextPendingConnection();
    if (Connection* c = Connection::of(socket)) c->arm();
    return socket;
}

GatedSslServer::GatedSslServer(const WebLimits& limits, OpenCount open, QObject* parent)
    : QSslServer(parent), m_limits(limits), m_open(std::move(open))
{
    setHandshakeTimeout(limits.handshakeTimeoutMs);
}

void GatedSslServer::incomingConnection(qintptr handle)
{
    if (*m_open >= m_limits.maxConnections) {
        ::close(int(handle));
        return;
    }
    QSslServer::incomingConnection(handle);
    // Counted from its start: a crowd of clients that never begin a handshake (Qt's server waits
    // for their first bytes before it says one has begun) is as many connections as any other.
    for (QSslSocket* socket : findChildren<QSslSocket*>(QString(), Qt::FindDirectChildrenOnly))
        if (!Connection::of(socket)) new Connection(socket, m_open, m_limits);
}

QTcpSocket* GatedSslServer::nextPendingConnection()
{
    QTcpSocket* socket = QSslServer::nextPendingConnection();
    if (Connection* c = Connection::of(socket)) c->arm();
    return socket;
}

}  // namespace sentrok::web
