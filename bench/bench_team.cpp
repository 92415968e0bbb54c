// A team's monitoring pass on each engine: 1,000 hosts, a tenth of them changing state, recorded
// by the monitor as sentrok-monitor runs it (the lease asked inside every transaction), with a
// probe that answers at once, so the time from the pass's start to passFinished is the database
// work: the host list read, the log rows, the outages opened or closed, the event rows.
//
// Three places for the database:
//   sqlite      a file, as a single desk keeps it
//   pg-socket   PostgreSQL on this machine, over its Unix socket
//   pg-wan      the same server over TCP through sentrok-delayproxy, DELAY ms each way: a server
//               across a slow link. The relay counts the monitor's round trips (a burst from the
//               client after the server last spoke), printed per pass; they include whatever the
//               monitor's one-second tick asks meanwhile.
//
// Each round runs two passes: the first tenth of the hosts goes down, then comes back. A pass with
// no change comes first and is not counted: it prepares the statements and fills the caches.
// Medians over the rounds; a PostgreSQL server of its own is started (as the tests do).
//
//   bench_team [HOSTS] [ROUNDS] [DELAY_MS]     1000 hosts, 5 rounds, 5 ms unless given

#include "alerts/sound.h"
#include "benchkit.h"
#include "common/clock.h"
#include "monitor/monitor.h"
#include "store/database.h"
#include "store/databaseurl.h"
#include "store/schema.h"
#include "support/pgserver.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QSet>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTextStream>
#include <QTimer>

#include <signal.h>

#include <algorithm>
#include <optional>
#include <utility>
#include <vector>

using namespace sentrok;
using namespace sentrok::bench;

namespace {

// Answers the probes asked for in one turn of the event loop all at once: "-1" for an address
// in `down`, "3" for the others.
class InstantProber final : public Prober {
public:
    QSet<QString> down;
    quint64 start(const ProbeRequest& r, Done done) override
    {
        m_asked.push_back({r.host, std::move(done)});
        if (m_asked.size() == 1)
            QTimer::singleShot(0, [this] {
                const auto asked = std::exchange(m_asked, {});
                for (const auto& [host, done] : asked)
                    done({down.contains(host) ? QStringLiteral("-1") : QStringLiteral("3"), {}});
            });
        return ++m_id;
    }
    void cancel(quint64) override {}

private:
    quint64 m_id = 0;
    std::vector<std::pair<QString, Done>> m_asked;
};

class NullView final : public MonitorView {
public:
    void PrintStat(const QString&, const QString&, const QString&, const QString&,
                   std::uint32_t) override
    {
        ++events;
    }
    QString panelText(int p) const override { return m_panels[p]; }
    void setPanelText(int p, const QString& t) override { m_panels[p] = t; }
    void setPanelToolTip(int, const QString&) override {}
    void setPanelEnabled(int, bool) override {}
    void setStartEnabled(bool) override {}
    void setBusy(bool) override {}
    void reportCheckFailure(const QString& m) override { failures << m; }
    void clearCheckFailures() override {}
    void setCondition(Condition, const QString& t) override
    {
        if (!t.isEmpty()) failures << t;
    }

    int events = 0;
    QStringList failures;

private:
    QString m_panels[6] = {{},
                           QStringLiteral("0"),
                           QStringLiteral("0"),
                           QStringLiteral("0"),
                           QStringLiteral("0"),
                           QStringLiteral("0%")};
};

// The relay, started for one database server and stopped with this object.
class DelayProxy {
public:
    DelayProxy(int targetPort, int delayMs)
    {
        const QString tools =
            qEnvironmentVariableIsSet("SENTROK_TOOLS_DIR")
                ? qEnvironmentVariable("SENTROK_TOOLS_DIR")
                : QCoreApplication::applicationDirPath() + QStringLiteral("/../tools");
        m_process.setProgram(tools + QStringLiteral("/sentrok-delayproxy"));
        m_process.setArguments({QStringLiteral("--postgres"), QStringLiteral("0"),
                                QStringLiteral("127.0.0.1"), QString::number(targetPort),
                                QString::number(delayMs)});
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process.start();
        const QStringList ready = line().split(u' ');
        if (ready.size() != 2 || ready[0] != QLatin1String("ready"))
            qFatal("sentrok-delayproxy did not start (%s)", qPrintable(m_process.program()));
        m_port = ready[1].toInt();
    }
    ~DelayProxy()
    {
        m_process.terminate();
        m_process.waitForFinished(5000);
    }
    int port() const { return m_port; }
    struct Counts {
        qint64 turns = 0, statements = 0;
    };
    // The client's round trips and statements through the relay so far.
    Counts counts()
    {
        ::kill(pid_t(m_process.processId()), SIGUSR1);
        // "turns T up U down D statements S"
        const QStringList words = line().split(u' ');
        if (words.size() < 8 || words[0] != QLatin1String("turns"))
            qFatal("sentrok-delayproxy: no count");
        return {words[1].toLongLong(), words[7].toLongLong()};
    }

private:
    // The next line it prints; the event loop runs meanwhile (the monitor's tick goes on).
    QString line()
    {
        QElapsedTimer t;
        t.start();
        while (!m_process.canReadLine() && t.elapsed() < 10000) {
            if (m_process.state() == QProcess::NotRunning) break;
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
            m_process.waitForReadyRead(10);
        }
        return QString::fromLatin1(m_process.readLine()).trimmed();
    }

    QProcess m_process;
    int m_port = 0;
};

struct Figures {
    std::vector<double> ms;
    std::vector<qint64> turns, statements;
    int events = 0;
    QStringList failures;
};

void addHosts(const QString& location, int hosts)
{
    Database db(location, Database::uniqueName(QStringLiteral("setup")));
    db.transaction([&] {
        for (int i = 0; i < hosts; ++i)
            addHost(db, QStringLiteral("10.%1.%2.%3").arg(i >> 16).arg((i >> 8) & 255).arg(i & 255),
                    QStringLiteral("host %1").arg(i, 5, 10, QLatin1Char('0')));
    });
}

// `location`: where the monitor writes; the hosts are there already.
Figures runPasses(const QString& location, int hosts, int rounds, DelayProxy* proxy)
{
    SystemClock clock;
    SilentPlayer player;
    Sound sound(player, QCoreApplication::applicationDirPath());
    NullView view;
    InstantProber prober;
    Monitor monitor({.database = location,
                     .prober = &prober,
                     .view = &view,
                     .clock = &clock,
                     .getNoCon = [] {}},
                    3600);
    // What a program's session makes of the changes: the row and the sound (the mail has no
    // server).
    QObject::connect(&monitor, &Monitor::changeAnnounced, [&](const HostChange& c) {
        showChange(view, c);
        soundChange(sound, c);
    });
    monitor.setMaxInFlight(hosts);
    monitor.setLeased(QStringLiteral("bench_team"));
    QSignalSpy lease(&monitor, &Monitor::leaseChanged);
    monitor.start();
    while (!monitor.active()) {
        if (lease.isEmpty() && !lease.wait(30000)) qFatal("the lease was not taken");
        lease.clear();
    }

    QSet<QString> tenth;
    for (int i = 0; i < hosts / 10; ++i)
        tenth.insert(QStringLiteral("10.%1.%2.%3").arg(i >> 16).arg((i >> 8) & 255).arg(i & 255));
    Figures out;
    const auto pass = [&](bool counted) {
        const DelayProxy::Counts before = proxy ? proxy->counts() : DelayProxy::Counts{};
        QSignalSpy done(&monitor, &Monitor::passFinished);
        QElapsedTimer t;
        t.start();
        if (!monitor.RunCheckPass()) qFatal("a pass did not start");
        while (done.isEmpty()) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        const double ms = t.nsecsElapsed() / 1e6;
        if (!counted) return;
        out.ms.push_back(ms);
        if (proxy) {
            const DelayProxy::Counts after = proxy->counts();
            out.turns.push_back(after.turns - before.turns);
            out.statements.push_back(after.statements - before.statements);
        }
    };
    pass(false);
    view.events = 0;
    for (int r = 0; r < rounds; ++r) {
        prober.down = tenth;
        pass(true);
        prober.down.clear();
        pass(true);
    }
    out.events = view.events;
    out.failures = view.failures;
    return out;
}

template <typename T>
T median(std::vector<T> v)
{
    if (v.empty()) return T();
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const int hosts = argc > 1 ? QString::fromLocal8Bit(argv[1]).toInt() : 1000;
    const int rounds = argc > 2 ? QString::fromLocal8Bit(argv[2]).toInt() : 5;
    const int delayMs = argc > 3 ? QString::fromLocal8Bit(argv[3]).toInt() : 5;
    QTextStream out(stdout);
    out << "hosts: " << hosts << ", " << hosts / 10 << " changing in each pass, " << rounds
        << " rounds of two passes (down, back); relay delay " << delayMs << " ms each way\n";
    out.flush();

    struct Row {
        QString engine;
        std::optional<Figures> figures;
        QString why;
    };
    std::vector<Row> rows;
    {
        QTemporaryDir dir;
        const QString file = Database::fileIn(dir.path());
        createDatabase(file);
        addHosts(file, hosts);
        rows.push_back({QStringLiteral("sqlite"), runPasses(file, hosts, rounds, nullptr), {}});
    }
    test::PgServer& server = test::PgServer::instance();
    if (!server.unavailable().isEmpty()) {
        rows.push_back({QStringLiteral("pg-socket"), {}, server.unavailable()});
        rows.push_back({QStringLiteral("pg-wan"), {}, server.unavailable()});
    } else {
        const QString socketUrl = server.newDatabase();
        createDatabase(socketUrl);
        addHosts(socketUrl, hosts);
        rows.push_back(
            {QStringLiteral("pg-socket"), runPasses(socketUrl, hosts, rounds, nullptr), {}});

        const QString wanDb = server.newDatabase();
        createDatabase(wanDb);
        addHosts(wanDb, hosts);
        DelayProxy proxy(server.port(), delayMs);
        const QString wanUrl = QStringLiteral("postgresql://postgres@127.0.0.1:%1/%2")
                                   .arg(proxy.port())
                                   .arg(DatabaseUrl::parse(wanDb).name);
        rows.push_back({QStringLiteral("pg-wan %1 ms").arg(2 * delayMs),
                        runPasses(wanUrl, hosts, rounds, &proxy),
                        {}});
    }

    out << QStringLiteral("%1 %2 %3 %4 %5 %6\n")
               .arg(QStringLiteral("engine"), -14)
               .arg(QStringLiteral("ms/pass"), 9)
               .arg(QStringLiteral("µs/host"), 9)
               .arg(QStringLiteral("worst ms"), 9)
               .arg(QStringLiteral("round trips/pass"), 17)
               .arg(QStringLiteral("statements/pass"), 16);
    for (const Row& r : rows) {
        if (!r.figures) {
            out << QStringLiteral("%1 not run: %2\n").arg(r.engine, -14).arg(r.why);
            continue;
        }
        const Figures& f = *r.figures;
        const double ms = median(f.ms);
        out << QStringLiteral("%1 %2 %3 %4 %5 %6\n")
                   .arg(r.engine, -14)
                   .arg(ms, 9, 'f', 1)
                   .arg(ms * 1000 / hosts, 9, 'f', 1)
                   .arg(*std::max_element(f.ms.begin(), f.ms.end()), 9, 'f', 1)
                   .arg(f.turns.empty() ? QStringLiteral("-") : QString::number(median(f.turns)),
                        17)
                   .arg(f.statements.empty() ? QStringLiteral("-")
                                             : QString::number(median(f.statements)),
                        16);
        // Every change announced, or the figures are not those of the work asked for.
        if (f.events != 2 * rounds * (hosts / 10))
            out << QStringLiteral("  %1 changes announced, %2 expected\n")
                       .arg(f.events)
                       .arg(2 * rounds * (hosts / 10));
        for (const QString& m : f.failures) out << "  failure: " << m << "\n";
    }
    out << "load average: " << QString::fromLatin1(QByteArray([] {
        QFile f(QStringLiteral("/proc/loadavg"));
        return f.open(QIODevice::ReadOnly) ? f.readAll().trimmed() : QByteArray("?");
    }()))
        << "\n";
    return 0;
}
