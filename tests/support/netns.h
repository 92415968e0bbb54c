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

// The flood tool (tools/flood) sending ICMP at 127.0.0.1 while it lives.
class Flood {
public:
    Flood(const QString& kind, int rate);
    ~Flood();
    Flood(const Flood&) = delete;
    Flood& operator=(const Flood&) = delete;

    const QString& error() const { return m_error; }
    // Stops it; the packets it sent.
    qint64 stop();

private:
    QProcess m_process;
    QString m_error;
};

// While it lives, `target` shows `content` instead of its own, to this mount namespace only
// (tests/netns-run.sh gives each test one of its own).
class BindMount {
public:
    BindMount(const QString& target, const QByteArray& content);
    ~BindMount();
    BindMount(const BindMount&) = delete;
    BindMount& operator=(const BindMount&) = delete;
    const QString& error() const { return m_error; }

private:
    QString m_target, m_file, m_error;
    bool m_mounted = false;
};

}  // namespace sentrok::test
