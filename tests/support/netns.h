#pragma once

#include <QList>
#include <QProcess>
#include <QString>
#include <QStringList>

namespace sentrok::test {

// Why tests that send packets must not run here; empty when they may: inside the private
// namespace that tests/netns-run.sh prepared, whose only interface is loopback.
QString netnsUnavailable();

// One echo request as the responder saw it on the wire.
struct SeenRequest {
    QString source, destination;
    int id = 0, sequence = 0, ttl = 0, payloadLength = 0;
    qint64 us = 0;  // monotonic clock, microseconds
};

// The test responder (tools/responder) answering as the given rules say; stopped when this
// goes. See tools/responder/responder.cpp for the rules.
class Responder {
public:
    explicit Responder(const QStringList& rules);
    ~Responder();
    Responder(const Responder&) = delete;
    Responder& operator=(const Responder&) = delete;

    // Empty when it listens; otherwise what went wrong.
    const QString& error() const { return m_error; }
    // Every request seen so far (reads what it has printed since the last call).
    const QList<SeenRequest>& seen();
    QList<SeenRequest> seenBy(const QString& destination);

private:
    QProcess m_process;
    QString m_error;
    QByteArray m_pending;
    QList<SeenRequest> m_seen;
};

}  // namespace sentrok::test
