#include "session/session.h"

#include "alerts/mailalert.h"
#include "alerts/sound.h"
#include "common/conversions.h"
#include "history/retention.h"
#include "monitor/monitor.h"
#include "monitor/viewer.h"
#include "secrets/dbpassword.h"
#include "store/database.h"
#include "store/databaseurl.h"
#include "store/dbworker.h"
#include "store/defaultdatabase.h"
#include "store/lease.h"

#include <QEventLoop>
#include <QTextStream>

namespace sentrok {

namespace {

// The log is thinned at start and then hourly.
constexpr int kThinEveryMs = 3600 * 1000;

}  // namespace

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
    m_getNoCon = std::move(getNoCon);
    // The event row and the sound of every change, whoever checked.
    connect(this, &Session::changeAnnounced, this, [this](const HostChange& change) {
        if (m_view) showChange(*m_view, change);
        if (m_sound) soundChange(*m_sound, change);
    });
    connect(this, &Session::passAnnounced, this,
            [this](const PassReport& report) { m_lastReport = report; });

    m_monitor = std::make_unique<Monitor>(MonitorDeps{.database = m_db->location(),
                                                      .prober = m_deps.prober,
                                                      .view = view,
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
    emit leaseChanged(held, holder);
    if (held) {
        m_viewer.reset();
        return;
    }
    if (m_deps.follow && !m_viewer) follow(m_view);
}

void Session::follow(MonitorView* view)
{
    m_viewer = std::make_unique<Viewer>(ViewerDeps{
        .database = location(), .view = view, .clock = m_deps.clock, .getNoCon = m_getNoCon});
    connect(m_viewer.get(), &Viewer::changeAnnounced, this, &Session::changeAnnounced);
    connect(m_viewer.get(), &Viewer::passAnnounced, this, &Session::passAnnounced);
    m_viewer->start();
}

void Session::sendAlert(const PassReport& report)
{
    if (m_mail && !report.alertText.isEmpty()) m_mail->SendAlert(report.alertText);
}

void Session::stop()
{
    while (!m_features.empty()) m_features.pop_back();  // the last made goes first
    m_retentionTimer.stop();
    m_retention.reset();
    m_viewer.reset();
    m_monitor.reset();
    m_mail.reset();
    m_db.reset();
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
