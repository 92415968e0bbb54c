#include "support/netns.h"

#include <QFile>
#include <QRegularExpression>

namespace sentrok::test {

QString netnsUnavailable()
{
    if (qEnvironmentVariable("SENTROK_NETNS") != QLatin1String("1")) {
        const QString why = qEnvironmentVariable("SENTROK_NO_NETNS");
        return why.isEmpty() ? QStringLiteral("not started through tests/netns-run.sh") : why;
    }
    // Belt and braces: a namespace with any interface but loopback could reach the world.
    QFile dev(QStringLiteral("/proc/self/net/dev"));
    if (!dev.open(QIODevice::ReadOnly)) return QStringLiteral("cannot read /proc/self/net/dev");
    const QList<QByteArray> lines = dev.readAll().split('\n');
    for (qsizetype i = 2; i < lines.size(); ++i) {
        const QByteArray name = lines[i].trimmed().split(':').value(0);
        if (!name.isEmpty() && name != "lo")
            return QStringLiteral("the network namespace has an interface besides loopback: ") +
                   QString::fromLatin1(name);
    }
    return {};
}

Responder::Responder(const QStringList& rules)
{
    const QString program = qEnvironmentVariable("SENTROK_TOOLS_DIR") + "/sentrok-responder";
    m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_process.start(program, rules);
    if (!m_process.waitForStarted(5000)) {
        m_error = QStringLiteral("cannot start %1: %2").arg(program, m_process.errorString());
        return;
    }
    while (!m_pending.contains("ready\n")) {
        if (!m_process.waitForReadyRead(5000)) {
            m_error = QStringLiteral("the responder did not get ready (rules: %1)")
                          .arg(rules.join(QLatin1String("; ")));
            return;
        }
        m_pending += m_process.readAllStandardOutput();
    }
    m_pending.remove(0, m_pending.indexOf("ready\n") + 6);
}

Responder::~Responder()
{
    if (m_process.state() == QProcess::NotRunning) return;
    m_process.terminate();
    if (!m_process.waitForFinished(2000)) m_process.kill();
    m_process.waitForFinished(2000);
}

const QList<SeenRequest>& Responder::seen()
{
    static const QRegularExpression line(QStringLiteral(
        "^request src=(\\S+) dst=(\\S+) id=(\\d+) seq=(\\d+) ttl=(\\d+) len=(\\d+) action=\\S+ us=(\\d+)$"));
    m_pending += m_process.readAllStandardOutput();
    qsizetype end;
    while ((end = m_pending.indexOf('\n')) >= 0) {
        const QString text = QString::fromLatin1(m_pending.left(end));
        m_pending.remove(0, end + 1);
        const auto m = line.match(text);
        if (!m.hasMatch()) continue;
        m_seen.append({m.captured(1), m.captured(2), m.captured(3).toInt(), m.captured(4).toInt(),
                       m.captured(5).toInt(), m.captured(6).toInt(), m.captured(7).toLongLong()});
    }
    return m_seen;
}

QList<SeenRequest> Responder::seenBy(const QString& destination)
{
    QList<SeenRequest> out;
    for (const SeenRequest& r : seen())
        if (r.destination == destination) out << r;
    return out;
}

}  // namespace sentrok::test
