#include "smtpsink.h"

#include <QFile>
#include <QJsonDocument>
#include <QTest>

namespace sentrok::test {

namespace {

QJsonObject readJson(const QString& path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) return {};
    return QJsonDocument::fromJson(f.readAll()).object();
}

}  // namespace

SmtpSink::~SmtpSink()
{
    if (m_process.state() == QProcess::NotRunning) return;
    m_process.closeWriteChannel();
    if (!m_process.waitForFinished(3000)) {
        m_process.kill();
        m_process.waitForFinished(3000);
    }
}

QString SmtpSink::unavailable()
{
    QProcess probe;
    probe.start(kPython, {QStringLiteral("-c"), QStringLiteral("import aiosmtpd")});
    if (!probe.waitForFinished(kWaitMs) || probe.exitStatus() != QProcess::NormalExit ||
        probe.exitCode() != 0)
        return QStringLiteral(
            "/usr/bin/python3 cannot import aiosmtpd (Debian package "
            "python3-aiosmtpd)");
    return {};
}

bool SmtpSink::start(const QStringList& options)
{
    m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_process.start(kPython, QStringList{QStringLiteral(SMTPSINK_SCRIPT),
                                         m_dir.filePath(QStringLiteral("received.json"))} +
                                 options);
    if (!m_process.waitForStarted(kWaitMs)) {
        m_error = m_process.errorString();
        return false;
    }
    if (!QTest::qWaitFor([&] { return m_process.canReadLine(); }, kWaitMs)) {
        m_error = QStringLiteral("the server printed no port");
        return false;
    }
    bool ok = false;
    m_port = m_process.readLine().trimmed().toUShort(&ok);
    if (!ok || m_port == 0) m_error = QStringLiteral("the server printed no port");
    return ok && m_port != 0;
}

bool SmtpSink::hasMessage() const
{
    return QFile::exists(m_dir.filePath(QStringLiteral("received.json")));
}

QJsonObject SmtpSink::message() const
{
    return readJson(m_dir.filePath(QStringLiteral("received.json")));
}

QJsonObject SmtpSink::session() const
{
    return readJson(m_dir.filePath(QStringLiteral("received.json.session.json")));
}

}  // namespace sentrok::test
