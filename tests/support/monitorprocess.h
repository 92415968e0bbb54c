#pragma once

#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

#include <utility>

namespace sentrok::test {

// One sentrok-monitor of SENTROK_BIN_DIR, its standard error gathered; killed at the end of the
// test if still running. `runAs` (a user name) starts it as that user through runuser; `options`
// come after the database, `environment` is added to the test's own.
class MonitorProcess {
public:
    static constexpr int kStartMs = 20'000;  // generous: a loaded machine, a server beside it
    static constexpr int kEndMs = 10'000;

    explicit MonitorProcess(const QString& database, const QString& runAs = {},
                            const QStringList& options = {},
                            const QList<std::pair<QString, QString>>& environment = {})
    {
        const QString program = qEnvironmentVariable("SENTROK_BIN_DIR") + "/sentrok-monitor";
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const auto& [name, value] : environment) env.insert(name, value);
        m_process.setProcessEnvironment(env);
        const QStringList arguments = QStringList{"--database", database} + options;
        if (runAs.isEmpty())
            m_process.start(program, arguments);
        else
            m_process.start("runuser", QStringList{"-u", runAs, "--", program} + arguments);
        if (m_process.waitForStarted(kStartMs))
            m_name = QStringLiteral(", pid %1").arg(m_process.processId());
    }
    ~MonitorProcess()
    {
        if (m_process.state() == QProcess::NotRunning) return;
        m_process.kill();
        m_process.waitForFinished(kEndMs);
    }
    QProcess& process() { return m_process; }
    bool started() const { return !m_name.isEmpty(); }
    // How the passes table names it (its end), also once it has ended.
    const QString& name() const { return m_name; }
    QString log()
    {
        m_log += QString::fromUtf8(m_process.readAllStandardError());
        return m_log;
    }
    bool runs() { return log().contains(QStringLiteral("проверки ведёт этот процесс")); }
    bool waits() { return log().contains(QStringLiteral("этот процесс ждёт")); }

private:
    QProcess m_process;
    QString m_log, m_name;
};

}  // namespace sentrok::test
