#include "session/session.h"

#include "alerts/mailalert.h"
#include "alerts/sound.h"
#include "common/conversions.h"
#include "history/retention.h"
#include "monitor/monitor.h"
#include "monitor/viewer.h"
#include "secrets/dbpassword.h"
#include "session/chatalerts.h"
#include "store/database.h"
#include "store/databaseurl.h"
#include "store/dbworker.h"
#include "store/defaultdatabase.h"
#include "store/lease.h"
#include "web/storestatus.h"

#include <QEventLoop>
#include <QTextStream>

#include <map>

namespace sentrok {

namespace {

// The log is thinned at start and then hourly.
constexpr int kThinEveryMs = 3600 * 1000;

// The conditions under which checks are not made or not recorded: /healthz answers 503 while one
// lasts. Following another process and a new empty database are how things are, not faults; a
// chat channel that fails does not keep a check out either (the mail and the page still go).
bool keepsChecksOut(Condition condition)
{
    switch (condition) {
        case Condition::RecordingWaits:
        case Condition::DatabaseGone:
        case Condition::NoIcmpSocket:
        case Condition::NoLease:
            return true;
        case Condition::Viewing:
        case Condition::NewDatabase:
        case Condition::ChannelsFailing:
            return false;
    }
    return false;
}

}  // namespace

// The program's view, as the monitor and the viewer see it: everything goes on to it, and the
// lasting conditions are kept to be told to the web as well.
class ViewTap final : public MonitorView {
public:
    ViewTap(MonitorView* view, std::function<void()> changed)
        : m_view(view), m_changed(std::move(changed))
    {
    }
    void PrintStat(const QString& ip, const QString& desc, const QString& pto, const QString& v_w,
                   std::uint32_t color) override
    {
        if (m_view) m_view->PrintStat(ip, desc, pto, v_w, color);
    }
    QString panelText(int panel) const override
    {
        return m_view ? m_view->panelText(panel) : QString();
    }
    void setPanelText(int panel, const QString& text) override
    {
        if (m_view) m_view->setPanelText(panel, text);
    }
    void setPanelToolTip(int panel, const QString& text) override
    {
        if (m_view) m_view->setPanelToolTip(panel, text);
    }
    void setPanelEnabled(int panel, bool enabled) override
    {
        if (m_view) m_view->setPanelEnabled(panel, enabled);
    }
    void setStartEnabled(bool enabled) override
    {
        if (m_view) m_view->setStartEnabled(enabled);
    }
    void setBusy(bool busy) override
    {
        if (m_view) m_view->setBusy(busy);
    }
    void reportCheckFailure(const QString& message) override
    {
        if (m_view) m_view->reportCheckFailure(message);
    }
    void clearCheckFailures() override
    {
        if (m_view) m_view->clearCheckFailures();
    }
    void setCondition(Condition condition, const QString& text) override
    {
        if (m_view) m_view->setCondition(condition, text);
        if (!keepsChecksOut(condition)) return;
        const QString before = m_problems[condition];
        if (text.isEmpty())
            m_problems.erase(condition);
        else
            m_problems[condition] = text;
        if (before != text) m_changed();
    }
    // The conditions that keep checks out, each by its first line.
    QStringList problems() const
    {
        QStringList out;
        for (const auto& [condition, text] : m_problems) out << text.section(u'\n', 0, 0).trimmed();
        return out;
    }

private:
    MonitorView* m_view;
    std::function<void()> m_changed;
    std::map<Condition, QString> m_problems;
};

Session::Session(SessionDeps deps, QObject* parent) : QObject(parent), m_deps(std::move(deps))
{
    qRegisterMetaType<sentrok::HostChange>();
    qRegisterMetaType<sentrok::PassReport>();
}

Session::~Session() { stop(); }

QString Session::chooseLocation(const QStringList& arguments, const QString& programFolder,
                                QString* problem)
{
    return withStoredPassword(chooseDatabase(arguments, programFolder), nullptr, 60'000, problem);
}

QString Session::location() const
{
    return Database::locationOr(m_deps.database, m_deps.programFolder);
}

Database& Session::database() const
{
    if (!m_db) throw DbError(dbcode::CantOpen, QStringLiteral("база данных не открыта"));
    return *m_db;
}

bool Session::open(const UpgradeProgress& progress)
{
    if (m_deps.makeOwnDatabase)
        m_madeOwn = createOwnDatabase(location(), defaultDatabase(m_deps.programFolder));
    if (!upgradeAtStart(progress)) return false;
    auto db = std::make_unique<Database>(location(), Database::uniqueName(m_deps.program));
    // The checks cannot run without their settings; a tool that makes none does not need them.
    if (m_deps.prober) m_settings = readMainSettings(*db);
    if (m_deps.player) {
        m_sound = std::make_unique<Sound>(*m_deps.player, m_deps.programFolder);
        m_sound->setNames(m_settings.sndUp, m_settings.sndDown);
    }
    m_mail = std::make_unique<MailAlert>(*db, *m_deps.boxes, *m_deps.clock, m_deps.smtpPort);
    m_db = std::move(db);
    return true;
}

// Brings the database up to this program's version before anything else of the program opens it.
// The work runs on a thread of its own, so the event loop goes on: a window keeps answering.
bool Session::upgradeAtStart(const UpgradeProgress& progress)
{
    m_cancelUpgrade = false;
    {
        Database db(location(), Database::uniqueName(QStringLiteral("version")));
        const int from = schemaVersion(db);
        if (from >= kSchemaVersion) return true;
        if (progress.begins) progress.begins(from, kSchemaVersion);
    }
    std::optional<DbError> error;
    QEventLoop loop;
    {
        QObject here;  // the reports come back to this thread through it
        DbWorker worker(location(), {.connectionBase = QStringLiteral("upgrade"),
                                     .database = {},
                                     .nice = DbWorker::kBackgroundNice});
        worker.run<bool>(
            &here,
            [this, report = progress.report, to = &here](Database& db) {
                upgradeSchema(db, [&](int version, const QString& what, qint64 done, qint64 total) {
                    if (m_cancelUpgrade) throw UpgradeCancelled();
                    if (report)
                        QMetaObject::invokeMethod(
                            to,
                            [report, version, what, done, total] {
                                report(version, what, done, total);
                            },
                            Qt::QueuedConnection);
                });
                return true;
            },
            [&loop](bool) { loop.quit(); },
            [&loop, &error](const DbError& e) {
                error = e;
                loop.quit();
            });
        loop.exec();
    }
    if (progress.ends) progress.ends();
    if (m_cancelUpgrade) return false;
    if (error) throw *error;
    return true;
}

void Session::start(MonitorView* view, std::function<void()> getNoCon)
{
    if (m_started || !m_db) return;
    m_started = true;
    m_view = view;
    m_tap = std::make_unique<ViewTap>(view, [this] { conditionsChanged(); });
    m_getNoCon = std::move(getNoCon);
    // The event row and the sound of every change, whoever checked.
    connect(this, &Session::changeAnnounced, this, [this](const HostChange& change) {
        if (m_view) showChange(*m_view, change);
        if (m_sound) soundChange(*m_sound, change);
    });
    connect(this, &Session::passAnnounced, this, [this](const PassReport& report) {
        m_lastReport = report;
        // The page and the metrics show the pass at once rather than at the provider's next look.
        if (m_provider) m_provider->refresh();
    });
    startWeb();

    m_monitor = std::make_unique<Monitor>(MonitorDeps{.database = m_db->location(),
                                                      .prober = m_deps.prober,
                                                      .view = m_tap.get(),
                                                      .clock = m_deps.clock,
                                                      .getNoCon = m_getNoCon},
                                          m_settings.checkInterval);
    // The mail goes out only where this process checks, before anyone else hears of the pass.
    connect(m_monitor.get(), &Monitor::passAnnounced, this, &Session::sendAlert);
    connect(m_monitor.get(), &Monitor::changeAnnounced, this, &Session::changeAnnounced);
    connect(m_monitor.get(), &Monitor::passAnnounced, this, &Session::passAnnounced);
    if (!m_deps.leaseHolder.isEmpty()) {
        connect(m_monitor.get(), &Monitor::leaseChanged, this, &Session::onLease);
        m_monitor->setLeased(m_deps.leaseHolder);
    } else {
        startChats();
    }
    m_monitor->start();  // LastPassTime = now: the first pass comes one interval from now

    if (m_deps.thinLog) {
        // Detailed log rows older than the kept days go in small batches, at start and hourly.
        m_retention = std::make_unique<LogRetention>(location(), *m_deps.clock);
        connect(m_retention.get(), &LogRetention::failed, this, [this](const QString& message) {
            say(QStringLiteral("журнал не прорежен: %1").arg(message));
        });
        m_retentionTimer.setInterval(kThinEveryMs);
        connect(&m_retentionTimer, &QTimer::timeout, m_retention.get(), &LogRetention::runNow);
        m_retention->runNow();
        m_retentionTimer.start();
    }
    for (const Feature& make : m_featureMakers)
        if (auto feature = make(*this)) m_features.push_back(std::move(feature));
}

void Session::addFeature(Feature make)
{
    if (m_started) {
        if (auto feature = make(*this)) m_features.push_back(std::move(feature));
        return;
    }
    m_featureMakers.push_back(std::move(make));
}

// Checking here, or following the process that checks: the event rows, the sounds and the list of
// hosts down show the same changes either way.
void Session::onLease(bool held, const QString& holder)
{
    m_holder = held ? m_deps.leaseHolder : holder;
    if (m_provider) m_provider->setMonitoring(held);
    emit leaseChanged(held, holder);
    if (held) {
        m_viewer.reset();
        startChats();
        return;
    }
    // Another process sends now; what this one had not sent yet is its news too late.
    m_chats.reset();
    if (m_view) m_view->setCondition(Condition::ChannelsFailing, {});
    if (m_deps.follow && !m_viewer) follow(m_tap.get());
}

void Session::follow(MonitorView* view)
{
    m_viewer = std::make_unique<Viewer>(ViewerDeps{
        .database = location(), .view = view, .clock = m_deps.clock, .getNoCon = m_getNoCon});
    connect(m_viewer.get(), &Viewer::changeAnnounced, this, &Session::changeAnnounced);
    connect(m_viewer.get(), &Viewer::passAnnounced, this, &Session::passAnnounced);
    m_viewer->start();
}

// The web server asked for, with the status provider it reads: the same for every program, whether
// it checks or follows, since both read what the database holds. Where it cannot start the session
// runs on without it and says why.
void Session::startWeb()
{
    if (!m_deps.web) return;
    auto provider = std::make_unique<web::StoreStatusProvider>(location(), *m_deps.clock);
    auto server = std::make_unique<web::WebServer>(*provider, *m_deps.clock);
    m_webProblem = server->start(*m_deps.web);
    if (!m_webProblem.isEmpty()) {
        say(m_webProblem);
        return;
    }
    connect(provider.get(), &web::StoreStatusProvider::failed, this, [this](const QString& error) {
        say(QStringLiteral("веб-страница: база данных не прочитана: %1").arg(error));
    });
    // A process checking a database of its own checks from the start; otherwise the lease says.
    provider->setMonitoring(m_deps.leaseHolder.isEmpty());
    provider->setProblems(m_tap ? m_tap->problems() : QStringList());
    provider->start();
    web::HttpEndpoint where = m_deps.web->endpoint;
    where.port = server->port();
    say(QStringLiteral("веб-страница: %1://%2/")
            .arg(server->secure() ? QStringLiteral("https") : QStringLiteral("http"),
                 where.text()));
    m_provider = std::move(provider);
    m_web = std::move(server);
}

web::StatusProvider* Session::statusProvider() const { return m_provider.get(); }

void Session::conditionsChanged()
{
    if (m_provider && m_tap) m_provider->setProblems(m_tap->problems());
}

void Session::setCondition(Condition condition, const QString& text)
{
    if (m_tap)
        m_tap->setCondition(condition, text);
    else if (m_view)
        m_view->setCondition(condition, text);
}

void Session::sendAlert(const PassReport& report)
{
    if (m_mail && !report.alertText.isEmpty()) m_mail->SendAlert(report.alertText);
    if (m_chats) m_chats->pass(report);
}

// Only where this process checks: a viewer never sends. The channels and their secrets are read
// now, so the first pass with news need not wait for a keyring.
void Session::startChats()
{
    if (m_chats || !m_db) return;
    const bool windows = m_deps.windows;
    m_chats = std::make_unique<ChatAlerts>(
        ChatAlertsDeps{.database = m_db.get(),
                       .boxes = windows ? m_deps.boxes : nullptr,
                       .panel =
                           [this, windows](const QString& text) {
                               if (windows && m_view)
                                   m_view->setCondition(Condition::ChannelsFailing, text);
                           },
                       .log = [this](const QString& line) { say(line); },
                       .retryWindow = std::chrono::seconds(std::max(m_settings.checkInterval, 1)),
                       .secrets = nullptr});
    m_chats->load();
}

void Session::stop()
{
    // The web first: its answers read the provider, and the provider reads the database.
    m_web.reset();
    m_provider.reset();
    while (!m_features.empty()) m_features.pop_back();  // the last made goes first
    m_retentionTimer.stop();
    m_retention.reset();
    m_viewer.reset();
    m_monitor.reset();
    m_chats.reset();
    m_mail.reset();
    m_db.reset();
    m_tap.reset();
    m_view = nullptr;
}

SessionState Session::state() const
{
    SessionState s;
    s.checking = m_monitor && m_monitor->active();
    s.checkedBy = s.checking ? (m_deps.leaseHolder.isEmpty() ? thisProcess(m_deps.program)
                                                             : m_deps.leaseHolder)
                             : m_holder;
    s.checkInterval = m_settings.checkInterval;
    s.lastPass = m_viewer    ? m_viewer->lastPassTime()
                 : m_monitor ? m_monitor->lastPassTime()
                             : QDateTime();
    s.passRunning = m_monitor && m_monitor->passRunning();
    if (m_view) {
        s.hosts = m_view->panelText(3);
        s.failed = m_view->panelText(4);
    }
    s.lastReport = m_lastReport;
    return s;
}

void Session::say(const QString& line) const
{
    if (m_deps.log)
        m_deps.log(line);
    else
        QTextStream(stderr) << m_deps.program << ": " << printableLine(line) << "\n";
}

}  // namespace sentrok
