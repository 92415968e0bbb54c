#pragma once

#include <QByteArrayList>
#include <QHash>
#include <QObject>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>

#include <memory>
#include <vector>

namespace sentrok::test {

// A scripted SMTP server on 127.0.0.1 for the client's tests. It greets, answers each command
// by its verb with a reply the test chose (said in pieces, with a pause between them, to make
// a reply arrive in several reads), and records what the client sent.
class SmtpPeer : public QObject {
    Q_OBJECT
public:
    struct Session {
        QPointer<QTcpSocket> socket{};
        QByteArray received{};      // every byte from the client
        QByteArrayList commands{};  // command lines outside the message, without CR LF
        QByteArray message{};       // what followed DATA, up to and including the final "."
        QByteArray pending{};       // received, not yet taken as a command or a message
        bool inMessage = false;
        bool closed = false;  // by either side
        // Commands received when the first and when the last piece of each reply went out.
        QList<QPair<int, int>> commandsAroundPieces{};
    };

    static constexpr int kPieceGapMs = 100;

    SmtpPeer();
    quint16 port() const { return m_port; }

    // The greeting and the reply to a verb ("RSET", "HELO", "MAIL", "RCPT", "DATA", "QUIT",
    // and "." for the end of the message). No pieces: say nothing.
    void setGreeting(QByteArrayList pieces) { m_greeting = std::move(pieces); }
    void setReply(const QByteArray& verb, QByteArrayList pieces)
    {
        m_replies[verb] = std::move(pieces);
    }
    // Hang up as soon as this verb has been received, without replying.
    void setHangUpOn(const QByteArray& verb) { m_hangUpOn = verb; }

    // Refuse connections on the port for a while, then take them again.
    void stopListening() { m_server.close(); }
    bool listen();

    void say(Session& session, const QByteArray& bytes);
    void hangUp(Session& session);

    std::vector<std::unique_ptr<Session>> sessions;

private:
    void accept();
    void onData(Session& session);
    void onCommand(Session& session, const QByteArray& line);
    void sayPieces(Session& session, QByteArrayList pieces, int firstCount);

    QTcpServer m_server;
    QByteArrayList m_greeting;
    QHash<QByteArray, QByteArrayList> m_replies;
    QByteArray m_hangUpOn;
    quint16 m_port = 0;
};

}  // namespace sentrok::test
