#include "smtppeer.h"

#include <QTimer>

namespace sentrok::test {

SmtpPeer::SmtpPeer()
    : m_greeting{"220 peer.test ready\r\n"}, m_replies{{"RSET", {"250 OK\r\n"}},
                                                       {"HELO", {"250 peer.test\r\n"}},
                                                       {"MAIL", {"250 OK\r\n"}},
                                                       {"RCPT", {"250 OK\r\n"}},
                                                       {"DATA", {"354 go ahead\r\n"}},
                                                       {".", {"250 queued\r\n"}},
                                                       {"QUIT", {"221 bye\r\n"}}}
{
    connect(&m_server, &QTcpServer::newConnection, this, &SmtpPeer::accept);
    if (!listen())
        qFatal("SmtpPeer: cannot listen on 127.0.0.1: %s", qPrintable(m_server.errorString()));
    m_port = m_server.serverPort();
}

bool SmtpPeer::listen()
{
    return m_server.isListening() || m_server.listen(QHostAddress::LocalHost, m_port);
}

void SmtpPeer::accept()
{
    while (QTcpSocket* socket = m_server.nextPendingConnection()) {
        sessions.push_back(std::make_unique<Session>());
        Session& s = *sessions.back();
        s.socket = socket;
        socket->setParent(this);
        connect(socket, &QTcpSocket::readyRead, this, [this, &s] { onData(s); });
        connect(socket, &QTcpSocket::disconnected, this, [&s] { s.closed = true; });
        sayPieces(s, m_greeting, 0);
    }
}

void SmtpPeer::onData(Session& s)
{
    const QByteArray bytes = s.socket->readAll();
    s.received += bytes;
    s.pending += bytes;
    while (s.socket && s.socket->state() == QAbstractSocket::ConnectedState) {
        if (s.inMessage) {
            qsizetype end = -1;
            if (s.pending.startsWith(".\r\n"))
                end = 3;
            else if (const qsizetype i = s.pending.indexOf("\r\n.\r\n"); i >= 0)
                end = i + 5;
            if (end < 0) return;
            s.message = s.pending.left(end);
            s.pending.remove(0, end);
            s.inMessage = false;
            sayPieces(s, m_replies.value("."), int(s.commands.size()));
            continue;
        }
        const qsizetype eol = s.pending.indexOf("\r\n");
        if (eol < 0) return;
        const QByteArray line = s.pending.left(eol);
        s.pending.remove(0, eol + 2);
        onCommand(s, line);
    }
}

void SmtpPeer::onCommand(Session& s, const QByteArray& line)
{
    s.commands << line;
    const QByteArray verb = line.split(' ').first().toUpper();
    if (!m_hangUpOn.isEmpty() && verb == m_hangUpOn) {
        hangUp(s);
        return;
    }
    const QByteArrayList reply = m_replies.value(verb, {"500 unknown\r\n"});
    if (verb == "DATA" && !reply.isEmpty() && reply.first().startsWith("354")) s.inMessage = true;
    sayPieces(s, reply, int(s.commands.size()));
}

void SmtpPeer::sayPieces(Session& s, QByteArrayList pieces, int firstCount)
{
    if (pieces.isEmpty()) return;
    say(s, pieces.takeFirst());
    if (pieces.isEmpty()) {
        s.commandsAroundPieces << qMakePair(firstCount, int(s.commands.size()));
        return;
    }
    QTimer::singleShot(kPieceGapMs, this,
                       [this, &s, pieces, firstCount] { sayPieces(s, pieces, firstCount); });
}

void SmtpPeer::say(Session& s, const QByteArray& bytes)
{
    if (!s.socket) return;
    s.socket->write(bytes);
    s.socket->flush();
}

void SmtpPeer::hangUp(Session& s)
{
    if (s.socket) s.socket->disconnectFromHost();
}

}  // namespace sentrok::test
