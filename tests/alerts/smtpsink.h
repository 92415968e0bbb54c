#pragma once

#include <QJsonObject>
#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>

namespace sentrok::test {

// Debian's aiosmtpd on 127.0.0.1, run by tests/alerts/smtpsink.py: started with the options
// of that script, stopped when this goes.
class SmtpSink {
public:
    static constexpr int kWaitMs = 10000;
    static inline const QString kPython = QStringLiteral("/usr/bin/python3");

    ~SmtpSink();
    // Empty when /usr/bin/python3 can import aiosmtpd, else why not.
    static QString unavailable();
    // Starts the server; false (with the reason in error()) when it does not come up.
    bool start(const QStringList& options = {});
    quint16 port() const { return m_port; }
    QString error() const { return m_error; }
    // What the server wrote of the last accepted message, and of its sessions so far (empty
    // objects when nothing yet).
    QJsonObject message() const;
    QJsonObject session() const;
    bool hasMessage() const;

private:
    QTemporaryDir m_dir;
    QProcess m_process;
    quint16 m_port = 0;
    QString m_error;
};

}  // namespace sentrok::test
