// bench_web: the web side over a database of many hosts (scripts/bench.sh web, inside a private
// network namespace; every address is on loopback and no probe leaves the process).
//
//   bench_web [HOSTS] [ROUNDS]        10,000 hosts and 30 requests of each kind unless given
//
// The database: HOSTS hosts on 127.x (one in a hundred the parent of the next 99), 30 days of
// daily and 25 hours of hourly totals for each, the log of the last pass, 100 hosts down, 1,000
// outages ended in the month, 2,000 events. Measured:
//   1. the provider's first snapshot (all totals read once) and a later one after a pass's checks;
//   2. /metrics, /api/v1/status and the page's first view: the median and 95th percentile over
//      ROUNDS requests answered from the snapshot's cache, then over requests that each follow a
//      new snapshot (made, not cached), each on a new connection;
//   3. a pass of all hosts run by the monitor on the main thread (a tenth of them going down, the
//      probe answering at once, so the pass is all recording), alone and then with 20 scrapes a
//      second (/metrics and /api/v1/status in turn): the main thread's worst stall (benchkit's
//      StallMeter) and the pass's time;
//   4. the process's CPU time over 5 s with no client, then with 200 idle open connections.

#include "benchkit.h"
#include "common/clock.h"
#include "common/datetext.h"
#include "monitor/monitor.h"
#include "store/database.h"
#include "store/schema.h"
#include "store/totals.h"
#include "web/storestatus.h"
#include "web/views.h"
#include "web/webserver.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSet>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTextStream>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <ctime>
#include <utility>
#include <vector>

using namespace sentrok;
using namespace sentrok::bench;

namespace {

QTextStream out(stdout);

QString address(int i)
{
    return QStringLiteral("127.%1.%2.%3").arg(1 + (i >> 16)).arg((i >> 8) & 255).arg(i & 255);
}

void fill(const QString& file, int hosts, const QDateTime& now)
{
    Database db(file, Database::uniqueName(QStringLiteral("fill")));
    std::vector<qint64> ids;
    db.transaction([&] {
        for (int i = 0; i < hosts; ++i)
            ids.push_back(
                addHost(db, address(i), QStringLiteral("хост %1").arg(i, 5, 10, QLatin1Char('0'))));
        for (int i = 0; i < hosts; ++i)
            if (i % 100)
                db.execute(QStringLiteral("update address set parent = ? where id = ?"),
                           {ids[std::size_t(i / 100 * 100)], ids[std::size_t(i)]});
    });
    db.transaction([&] {
        for (int d = 30; d >= 0; --d) {
            const QString day = storedDateText(now.addDays(-d)).left(10);
            for (qint64 id : ids) {
                ReplyTotals t;
                for (int k = 0; k < 24; ++k)
                    t.addCheck(k == 5 && id % 7 == 0 ? -1 : 2 + (id + k) % 20);
                upsertTotals(db, kDailyTable, day, id, t);
            }
        }
        for (int h = 24; h >= 0; --h) {
            const QString hour = storedDateText(now.addSecs(-3600 * h)).left(13);
            for (qint64 id : ids) {
                ReplyTotals t;
                for (int k = 0; k < 60; ++k)
                    t.addCheck(k == 5 && id % 7 == 0 ? -1 : 2 + (id + k) % 20);
                upsertTotals(db, kHourlyTable, hour, id, t);
            }
        }
    });
    db.transaction([&] {
        const QString dt = storedDateText(now.addSecs(-60));
        for (qint64 id : ids)
            db.execute(QStringLiteral(
                           "insert into log (id_ip,time_echo,time_wait,dt) values (?,?,'1000',?)"),
                       {id, id % 50 == 0 ? -1 : 3 + id % 9, dt});
        for (std::size_t i = 0; i < ids.size(); i += ids.size() / 100)
            db.execute(QStringLiteral("insert into noconnect (id_ip,dt1) values (?,?)"),
                       {ids[i], storedDateText(now.addSecs(-7200))});
        for (int k = 0; k < 1000; ++k)
            db.execute(
                QStringLiteral("insert into noconnect (id_ip,dt1,dt2) values (?,?,?)"),
                {ids[std::size_t(k * 7) % ids.size()], storedDateText(now.addSecs(-k * 2000 - 600)),
                 storedDateText(now.addSecs(-k * 2000))});
        for (int k = 0; k < 2000; ++k)
            db.execute(QStringLiteral(
                           "insert into events (pass_id,id_ip,kind,dt,time_echo,time_wait) values "
                           "(1,?,?,?,'-1','1000')"),
                       {ids[std::size_t(k * 13) % ids.size()],
                        k % 2 ? QStringLiteral("up") : QStringLiteral("down"),
                        storedDateText(now.addSecs(-(2000 - k) * 60))});
        for (int k = 100; k > 0; --k)
            db.execute(QStringLiteral("insert into passes (monitor,started,finished,hosts,failed) "
                                      "values ('bench',?,?,?,?)"),
                       {storedDateText(now.addSecs(-k * 60 - 20)),
                        storedDateText(now.addSecs(-k * 60)), hosts, 100});
    });
}

// Requests on a thread of their own, each waited for: what a browser or Prometheus elsewhere sees.
class Client : public QThread {
public:
    explicit Client(quint16 port) : m_base(QStringLiteral("http://127.0.0.1:%1").arg(port)) {}
    // One at a time from the calling thread, `before` run ahead of each; the times in ms.
    std::vector<double> timed(const QString& path, int rounds,
                              const std::function<void()>& before = {})
    {
        std::vector<double> ms;
        for (int i = 0; i < rounds; ++i) {
            if (before) before();
            ms.push_back(once(path));
        }
        return ms;
    }
    // `perSecond` requests a second, paths in turn, until stop().
    void scrape(QStringList paths, int perSecond)
    {
        m_paths = std::move(paths);
        m_everyMs = 1000 / perSecond;
        m_stop = false;
        start();
    }
    std::vector<double> stop()
    {
        m_stop = true;
        wait();
        return std::exchange(m_times, {});
    }

protected:
    void run() override
    {
        QElapsedTimer clock;
        clock.start();
        qint64 next = 0;
        for (int i = 0; !m_stop; ++i) {
            m_times.push_back(once(m_paths[i % m_paths.size()]));
            next += m_everyMs;
            if (clock.elapsed() < next) msleep(unsigned(next - clock.elapsed()));
        }
    }

private:
    double once(const QString& path)
    {
        QNetworkAccessManager nam;  // a connection of its own each time, as a scraper's first
        QElapsedTimer t;
        t.start();
        QNetworkReply* reply = nam.get(QNetworkRequest(QUrl(m_base + path)));
        QEventLoop loop;
        QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
        loop.exec();
        const double ms = double(t.nsecsElapsed()) / 1e6;
        if (reply->error() != QNetworkReply::NoError)
            qFatal("%s: %s", qPrintable(path), qPrintable(reply->errorString()));
        reply->deleteLater();
        return ms;
    }

    QString m_base;
    QStringList m_paths;
    int m_everyMs = 50;
    std::atomic<bool> m_stop{false};
    std::vector<double> m_times;
};

double percentile(std::vector<double> v, double q)
{
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, std::size_t(q * double(v.size())))];
}

QString figures(const std::vector<double>& ms)
{
    return QStringLiteral("median %1 ms, 95% %2 ms, worst %3 ms")
        .arg(percentile(ms, 0.5), 0, 'f', 1)
        .arg(percentile(ms, 0.95), 0, 'f', 1)
        .arg(percentile(ms, 1.0), 0, 'f', 1);
}

qint64 processCpuMs()
{
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return qint64(ts.tv_sec) * 1000 + ts.tv_nsec / 1'000'000;
}

// Waits for the provider's next snapshot with the event loop running.
void nextSnapshot(web::StoreStatusProvider& provider, bool ask)
{
    QSignalSpy published(&provider, &web::StoreStatusProvider::published);
    if (ask) provider.refresh();
    if (!published.wait(120'000)) qFatal("no snapshot");
}

class Answering final : public Prober {
public:
    QSet<QString> down;
    quint64 start(const ProbeRequest& r, Done done) override
    {
        m_asked.push_back({r.host, std::move(done)});
        if (m_asked.size() == 1)
            QTimer::singleShot(0, [this] {
                for (auto& [host, done] : std::exchange(m_asked, {}))
                    done({down.contains(host) ? QStringLiteral("-1") : QStringLiteral("3"), {}});
            });
        return ++m_id;
    }
    void cancel(quint64) override {}

private:
    quint64 m_id = 0;
    std::vector<std::pair<QString, Done>> m_asked;
};

class QuietView final : public MonitorView {
public:
    void PrintStat(const QString&, const QString&, const QString&, const QString&,
                   std::uint32_t) override
    {
    }
    QString panelText(int) const override { return {}; }
    void setPanelText(int, const QString&) override {}
    void setPanelToolTip(int, const QString&) override {}
    void setPanelEnabled(int, bool) override {}
    void setStartEnabled(bool) override {}
    void setBusy(bool) override {}
    void reportCheckFailure(const QString&) override {}
    void clearCheckFailures() override {}
    void setCondition(Condition, const QString&) override {}
};

struct PassFigures {
    double stallMs = 0;  // the main thread's worst lateness, waiting for a core included
    double turnMs = 0;   // its worst CPU time between two ticks: the longest turn of its loop
    double passMs = 0;
};

// One pass of every host, measured.
PassFigures pass(Monitor& monitor)
{
    StallMeter meter;
    QSignalSpy done(&monitor, &Monitor::passFinished);
    QElapsedTimer t;
    t.start();
    meter.start();
    if (!monitor.RunCheckPass()) qFatal("a pass did not start");
    while (done.isEmpty()) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    const double ms = double(t.nsecsElapsed()) / 1e6;
    const double stall = meter.stopMs();
    return {stall, meter.worstCpuMs(), ms};
}

QString passText(const std::vector<PassFigures>& passes)
{
    QStringList parts;
    for (const PassFigures& p : passes)
        parts << QStringLiteral("stall %1 ms, turn %2 ms, pass %3 s")
                     .arg(p.stallMs, 0, 'f', 1)
                     .arg(p.turnMs, 0, 'f', 1)
                     .arg(p.passMs / 1000, 0, 'f', 1);
    return parts.join(QStringLiteral("; "));
}

// Runs the event loop for `ms`, sleeping while there is nothing to do.
void idleFor(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

}  // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const int hosts = argc > 1 ? QString::fromLocal8Bit(argv[1]).toInt() : 10'000;
    const int rounds = argc > 2 ? QString::fromLocal8Bit(argv[2]).toInt() : 30;
    QTemporaryDir dir;
    const QString file = Database::fileIn(dir.path());
    createDatabase(file);
    const QDateTime now = QDateTime::currentDateTime();
    QElapsedTimer t;
    t.start();
    fill(file, hosts, now);
    out << "hosts: " << hosts << " (database made in " << t.elapsed() / 1000 << " s)\n";
    out.flush();

    SystemClock clock;
    web::StoreStatusProvider provider(file, clock);
    t.restart();
    {
        QSignalSpy published(&provider, &web::StoreStatusProvider::published);
        provider.start();
        if (!published.wait(300'000)) qFatal("no first snapshot");
    }
    out << "1. first snapshot: " << t.elapsed() << " ms; ";
    {
        Database db(file, Database::uniqueName(QStringLiteral("pass")));
        db.transaction([&] {
            const QString dt = storedDateText(now);
            for (const web::HostStatus& h : provider.snapshot()->hosts)
                db.execute(
                    QStringLiteral(
                        "insert into log (id_ip,time_echo,time_wait,dt) values (?,5,'1000',?)"),
                    {h.id, dt});
        });
    }
    t.restart();
    nextSnapshot(provider, true);
    out << "after a pass's " << hosts << " checks: " << t.elapsed() << " ms\n";
    out.flush();

    {
        const auto s = provider.snapshot();
        const auto made = [&](const char* what, auto&& make) {
            std::vector<double> ms;
            qsizetype bytes = 0;
            for (int i = 0; i < 5; ++i) {
                QElapsedTimer m;
                m.start();
                bytes = make().size();
                ms.push_back(double(m.nsecsElapsed()) / 1e6);
            }
            out << what << " " << QString::number(percentile(ms, 0.5), 'f', 1) << " ms ("
                << bytes / 1024 << " KB)";
        };
        out << "   made on their own: ";
        made("metrics", [&] { return web::metricsText(*s); });
        out << ", ";
        made("status", [&] { return web::statusJson(*s); });
        out << ", ";
        made("page", [&] { return web::statusPage(s.get()); });
        out << "\n";
        out.flush();
    }
    web::WebServer server(provider, clock);
    web::WebOptions options;
    options.endpoint = {QHostAddress(QHostAddress::LocalHost), 0};
    if (const QString error = server.start(options); !error.isEmpty())
        qFatal("%s", qPrintable(error));
    Client client(server.port());
    out << "2. answers (each request waited for before the next):\n";
    for (const QString& path :
         {QStringLiteral("/metrics"), QStringLiteral("/api/v1/status"), QStringLiteral("/")}) {
        client.timed(path, 1);  // made once for the snapshot
        out << "   " << path << ": cached " << figures(client.timed(path, rounds));
        out.flush();
        out << "; made anew " << figures(client.timed(path, std::max(5, rounds / 3), [&] {
            nextSnapshot(provider, true);
        })) << "\n";
        out.flush();
    }

    QuietView view;
    Answering prober;
    MonitorDeps deps{
        .database = file, .prober = &prober, .view = &view, .clock = &clock, .getNoCon = [] {}};
    Monitor monitor(std::move(deps), 3600);
    monitor.setLeased(QStringLiteral("bench_web"));
    QSignalSpy lease(&monitor, &Monitor::leaseChanged);
    monitor.start();
    while (!monitor.active())
        if (!lease.wait(30'000)) qFatal("the lease was not taken");
    provider.setMonitoring(true);
    pass(monitor);  // the statements prepared, the caches filled
    // Each measured pass turns a tenth of the hosts down or back up: changes for the provider.
    const auto measured = [&](int n) {
        std::vector<PassFigures> out;
        for (int k = 0; k < n; ++k) {
            if (prober.down.isEmpty())
                for (int i = 0; i < hosts / 10; ++i) prober.down.insert(address(i));
            else
                prober.down.clear();
            out.push_back(pass(monitor));
            idleFor(2000);  // the provider's snapshot of the pass
        }
        return out;
    };
    const std::vector<PassFigures> alone = measured(3);
    client.scrape({QStringLiteral("/metrics"), QStringLiteral("/api/v1/status")}, 20);
    const std::vector<PassFigures> scraped = measured(3);
    const std::vector<double> during = client.stop();
    out << "3. passes of " << hosts << " hosts, alone: " << passText(alone)
        << "\n   with 20 scrapes a second: " << passText(scraped) << "\n   the scrapes ("
        << during.size() << "): " << figures(during) << "\n";
    out.flush();

    const auto cpuOver = [](int ms) {
        const qint64 before = processCpuMs();
        idleFor(ms);
        return processCpuMs() - before;
    };
    const qint64 idle = cpuOver(5000);
    std::vector<std::unique_ptr<QTcpSocket>> open;
    for (int i = 0; i < 200; ++i) {
        open.push_back(std::make_unique<QTcpSocket>());
        open.back()->connectToHost(QStringLiteral("127.0.0.1"), server.port());
        if (!open.back()->waitForConnected(5000)) qFatal("connection %d refused", i);
    }
    cpuOver(500);  // the accepting done
    const qint64 withOpen = cpuOver(5000);
    out << "4. process CPU over 5 s: " << idle << " ms with no client, " << withOpen << " ms with "
        << server.openConnections() << " idle connections open\n";
    return 0;
}
