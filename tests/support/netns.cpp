#include "support/netns.h"

#include <QFile>
#include <QRegularExpression>
#include <QTemporaryFile>

#include <sys/mount.h>

#include <cerrno>
#include <cstring>

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

QString ipv6Unavailable()
{
    if (const QString why = netnsUnavailable(); !why.isEmpty()) return why;
    return qEnvironmentVariable("SENTROK_NO_IPV6");
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
    static const QRegularExpression line(
        QStringLiteral("^request src=(\\S+) dst=(\\S+) id=(\\d+) seq=(\\d+) ttl=(\\d+) len=(\\d+) "
                       "action=\\S+ us=(\\d+)$"));
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

namespace {

// Starts a helper of tools/ and waits for its "ready"; empty when it runs, else why not.
QString startHelper(QProcess& process, const QString& name, const QStringList& args)
{
    const QString program = qEnvironmentVariable("SENTROK_TOOLS_DIR") + u'/' + name;
    process.start(program, args);
    if (!process.waitForStarted(5000))
        return QStringLiteral("cannot start %1: %2").arg(program, process.errorString());
    QByteArray out;
    while (!out.contains("ready\n")) {
        if (!process.waitForReadyRead(5000))
            return QStringLiteral("%1 did not get ready (%2)").arg(name, args.join(u' '));
        out += process.readAllStandardOutput();
    }
    return {};
}

}  // namespace

Flood::Flood(const QString& kind, int rate)
{
    m_error = startHelper(
        m_process, QStringLiteral("sentrok-flood"),
        {QStringLiteral("--kind"), kind, QStringLiteral("--rate"), QString::number(rate)});
}

Flood::~Flood() { stop(); }

qint64 Flood::stop()
{
    if (m_process.state() == QProcess::NotRunning) return 0;
    m_process.terminate();
    if (!m_process.waitForFinished(5000)) m_process.kill();
    m_process.waitForFinished(2000);
    static const QRegularExpression sent(QStringLiteral("sent (\\d+)"));
    return sent.match(QString::fromLatin1(m_process.readAllStandardError()))
        .captured(1)
        .toLongLong();
}

BindMount::BindMount(const QString& target, const QByteArray& content) : m_target(target)
{
    QTemporaryFile file;
    file.setAutoRemove(false);
    if (!file.open() || file.write(content) != content.size() || !file.flush()) {
        m_error = QStringLiteral("cannot write a temporary file");
        return;
    }
    m_file = file.fileName();
    file.close();
    if (::mount(QFile::encodeName(m_file).constData(), QFile::encodeName(target).constData(),
                nullptr, MS_BIND, nullptr) != 0) {
        m_error = QStringLiteral("cannot bind %1 over %2: %3")
                      .arg(m_file, target, QString::fromLocal8Bit(strerror(errno)));
        return;
    }
    m_mounted = true;
}

BindMount::~BindMount()
{
    if (m_mounted) ::umount2(QFile::encodeName(m_target).constData(), MNT_DETACH);
    if (!m_file.isEmpty()) QFile::remove(m_file);
}

}  // namespace sentrok::test
