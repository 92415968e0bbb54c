#pragma once

#include <QHttpServerResponder>
#include <QList>
#include <QObject>
#include <QSslServer>
#include <QTcpServer>
#include <QTimer>

#include <atomic>
#include <deque>
#include <memory>
#include <utility>

class QTcpSocket;

namespace sentrok::web {

// The connections open now: counted on the server's thread, read from any.
using OpenCount = std::shared_ptr<std::atomic<int>>;

// What one client may cost. Qt's HTTP server (6.4) reads whatever a client sends and keeps a
// connection as long as the client likes; these bounds are kept around it.
struct WebLimits {
    int maxConnections = 256;            // open at once, TLS handshakes included
    qint64 maxRequestBytes = 16 * 1024;  // request line, headers and body together
    int idleTimeoutMs = 60'000;          // between requests
    int requestTimeoutMs = 10'000;       // to send a whole request once it has begun
    int writeTimeoutMs = 30'000;         // for the client to take any of an answer
    int handshakeTimeoutMs = 10'000;     // for a TLS handshake
};

// An answer, written as one piece when its turn comes.
struct Reply {
    QHttpServerResponder::StatusCode status = QHttpServerResponder::StatusCode::Ok;
    QByteArray contentType{};
    QByteArray body{};
    QList<std::pair<QByteArray, QByteArray>> headers{};
};

// The watch over one accepted connection, living as the socket's child: it counts toward the
// limit while it lives, closes the connection when a request grows past its size or a client
// dawdles, and writes answers in the order of the requests, whichever is ready first (a question
// to the database answers later than the status, and a client may send both before reading), a
// piece at a time as the client takes them.
//
// A connection is idle (idleTimeoutMs) until a request begins; then the whole request must arrive
// within requestTimeoutMs; its answer is being made (no time limit of its own: the questions that
// wait are few and bounded); then the answer must leave, each piece taken within writeTimeoutMs.
class Connection final : public QObject {
    Q_OBJECT
public:
    Connection(QTcpSocket* socket, OpenCount open, const WebLimits& limits);
    ~Connection() override;
    static Connection* of(QTcpSocket* socket);

    // Once the HTTP server has the socket. Connected before the server's own reading, so a request
    // too large is refused before the server has looked at it.
    void arm();
    // The request was refused as too large: what the server makes of its bytes is dropped.
    bool refused() const { return m_refused; }

    struct Pending;
    using Ticket = std::shared_ptr<Pending>;
    // A request has been read whole; its answer takes the next place in line. `head`: the answer
    // goes without its body; `close`: the client asked for the connection to end after it.
    Ticket take(QHttpServerResponder&& responder, bool head, bool close);
    void answer(const Ticket& ticket, Reply reply);

private:
    enum class Phase { Idle, Reading, Answering, Writing };
    void readyRead();
    void written();
    void flush();
    // Writes the next pieces of the answer being sent; true once all of it is written.
    bool sendMore();
    void expire();
    void refuseTooLarge();
    void setPhase(Phase phase);

    QTcpSocket* m_socket;
    OpenCount m_open;
    WebLimits m_limits;
    Phase m_phase = Phase::Idle;
    qint64 m_requestBytes = 0;
    bool m_refused = false;
    QTimer m_timer;
    std::deque<Ticket> m_line;
    Ticket m_sending;      // the answer leaving now
    qint64 m_sent = 0;     // of its body
    bool m_close = false;  // once everything is written
};

// Refuses connections past the limit at once: a plain one with a 503 and its reason, a TLS one by
// closing it (there is no way to speak to it before a handshake).
class GatedTcpServer final : public QTcpServer {
    Q_OBJECT
public:
    GatedTcpServer(const WebLimits& limits, OpenCount open, QObject* parent = nullptr);
    QTcpSocket* nextPendingConnection() override;

protected:
    void incomingConnection(qintptr handle) override;

private:
    WebLimits m_limits;
    OpenCount m_open;
};

class GatedSslServer final : public QSslServer {
    Q_OBJECT
public:
    GatedSslServer(const WebLimits& limits, OpenCount open, QObject* parent = nullptr);
    QTcpSocket* nextPendingConnection() override;

protected:
    void incomingConnection(qintptr handle) override;

private:
    WebLimits m_limits;
    OpenCount m_open;
};

}  // namespace sentrok::web
