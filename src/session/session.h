#pragma once

#include "monitor/announcement.h"
#include "monitor/monitorview.h"
#include "store/schema.h"
#include "store/settings.h"
#include "web/webserver.h"

#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace sentrok {

class ChatAlerts;
class Clock;
class Database;
class LogRetention;
class MailAlert;
class MessageBoxes;
class Monitor;
class MonitorView;
class Prober;
class Sound;
class SoundPlayer;
class Viewer;
class ViewTap;

namespace web {
class StatusProvider;
class StoreStatusProvider;
}  // namespace web

// What one program makes of the database, put together once for all of them: the desktop, the
// headless sentrok-monitor and sentrok-db each make one Session, and a feature plugs in here once
// to be in every program.
//
// Opening makes the user's own database at the first start where that is due, brings an older one
// up to this version (a newer one is refused), and reads the settings. Starting makes the sound,
// the mail, the monitor (checking only while it holds the lease when the database is shared) or,
// while another process checks, the viewer that follows it, and the log's thinning. Every change
// of state, from the monitor or the viewer, comes out of changeAnnounced and passAnnounced: the
// session itself gives the view its event row and the sound their play, and the mail and the chat
// channels their alert (only where this process checks); the program adds what it has of its own
// (the desktop's notifications).
struct SessionDeps {
    // Names this process to the others (the lease) and starts its lines on standard error:
    // "sentrok", "sentrok-monitor", "sentrok-db".
    QString program{};
    QString programFolder{};  // holds the sounds, and sentrok.mdb unless `database` names another
    QString database{};  // a file or a URL (chooseDatabase); empty: sentrok.mdb in programFolder
    const Clock* clock = nullptr;
    MessageBoxes* boxes = nullptr;  // the mail's refusals
    SoundPlayer* player = nullptr;  // null: no sounds
    Prober* prober = nullptr;       // null: the program makes no checks (sentrok-db)
    quint16 smtpPort = 25;          // another port only in tests
    // Make the user's (or the service's) own empty database at the first start, where the default
    // place is theirs.
    bool makeOwnDatabase = false;
    // Who this process is to the others sharing the database (thisProcess()): checks run only while
    // it holds the lease. Empty: it checks without asking (a database of its own).
    QString leaseHolder{};
    // While another process checks, follow what it records (the desktop); otherwise just wait.
    bool follow = false;
    // Thin the log out to the kept days, at start and every hour.
    bool thinLog = false;
    // The program has windows: a chat channel's failure is also shown in a box and on the sixth
    // panel, not only on standard error.
    bool windows = false;
    // Serve the web page, the API and the metrics (web::webOptionsFrom()); none when not given.
    std::optional<web::WebOptions> web{};
    // Lines for the user that have no window to go to; standard error when not given.
    std::function<void(const QString&)> log = nullptr;
};

// How an upgrade at start is shown while it runs; every call on the session's thread.
struct UpgradeProgress {
    std::function<void(int from, int to)> begins = nullptr;  // before the first step
    UpgradeReport report = nullptr;                          // each step's progress
    std::function<void()> ends = nullptr;                    // done, cancelled or failed
};

// What the monitoring knows now, without a query: for a page, a metric, a status line.
struct SessionState {
    bool checking = false;  // this process makes the checks
    QString checkedBy{};    // who makes them, when known
    std::int32_t checkInterval = 0;
    QDateTime lastPass{};  // when the last pass ended (began, while one runs elsewhere)
    bool passRunning = false;
    QString hosts, failed;  // the totals of the last complete pass, as the status bar shows them
    std::optional<PassReport> lastReport{};  // the last pass announced
};

class Session : public QObject {
    Q_OBJECT
public:
    explicit Session(SessionDeps deps, QObject* parent = nullptr);
    ~Session() override;

    // The database a program works on (see chooseDatabase()), with the password kept for it where
    // the URL names none; `problem` gets why a kept password could not be read.
    static QString chooseLocation(const QStringList& arguments, const QString& programFolder,
                                  QString* problem);

    // Opens the database as said above. An upgrade runs on a thread of its own while the event
    // loop goes on; false when it was cancelled (the file then stays as it was). Throws DbError.
    bool open(const UpgradeProgress& progress = {});
    // Stops an upgrade under way, from the thread of the session.
    void cancelUpgrade() { m_cancelUpgrade = true; }
    // Starts the checks (or the following) and the log's thinning. `view` gets the status and the
    // event rows; `getNoCon` refreshes the list of hosts down (may be empty).
    void start(MonitorView* view, std::function<void()> getNoCon = {});
    // Ends it all and closes the database; the lease is given back.
    void stop();
    bool isOpen() const { return m_db != nullptr; }

    // The database the program works on, a file or a URL.
    QString location() const;
    Database& database() const;
    const MainSettings& settings() const { return m_settings; }
    bool madeOwnDatabase() const { return m_madeOwn; }
    Sound* sound() const { return m_sound.get(); }
    MailAlert* mail() const { return m_mail.get(); }
    ChatAlerts* chats() const { return m_chats.get(); }
    Monitor* monitor() const { return m_monitor.get(); }
    Viewer* viewer() const { return m_viewer.get(); }
    LogRetention* retention() const { return m_retention.get(); }
    SessionState state() const;
    // A lasting condition the program sees itself (no ICMP socket): shown by the view, and told to
    // the web's /healthz where it keeps checks from being made or recorded, as the monitor's are.
    void setCondition(Condition condition, const QString& text);
    // Why the web server asked for did not start (said on the log too): empty while it runs, or
    // when none was asked for. The program goes on without it, or ends.
    QString webProblem() const { return m_webProblem; }
    web::WebServer* webServer() const { return m_web.get(); }
    // What the web server reads: null unless it runs.
    web::StatusProvider* statusProvider() const;

    // A feature configured by the program's options (an HTTP server, chat channels...): made once
    // the session has started, with the session to read from and to listen to, and kept as long as
    // the session runs. Added before start(), or at once when it has started.
    using Feature = std::function<std::unique_ptr<QObject>(Session&)>;
    void addFeature(Feature make);

signals:
    // From the monitor, or from the viewer while another process checks.
    void changeAnnounced(const sentrok::HostChange& change);
    void passAnnounced(const sentrok::PassReport& report);
    // This process took the lease (held), or another holds it (`holder`, when known).
    void leaseChanged(bool held, const QString& holder);

private:
    bool upgradeAtStart(const UpgradeProgress& progress);
    void onLease(bool held, const QString& holder);
    void follow(MonitorView* view);
    void sendAlert(const PassReport& report);
    void startChats();
    void say(const QString& line) const;
    void startWeb();
    void conditionsChanged();

    SessionDeps m_deps;
    std::atomic<bool> m_cancelUpgrade{false};
    std::unique_ptr<Database> m_db;
    MainSettings m_settings;
    bool m_madeOwn = false;
    std::unique_ptr<Sound> m_sound;
    std::unique_ptr<MailAlert> m_mail;
    std::unique_ptr<ChatAlerts> m_chats;  // while this process checks
    std::unique_ptr<Monitor> m_monitor;
    std::unique_ptr<Viewer> m_viewer;
    std::unique_ptr<LogRetention> m_retention;
    QTimer m_retentionTimer;
    MonitorView* m_view = nullptr;
    // Between the monitor (or the viewer) and the view: the conditions go on to the web too.
    std::unique_ptr<ViewTap> m_tap;
    std::unique_ptr<web::StoreStatusProvider> m_provider;
    std::unique_ptr<web::WebServer> m_web;  // reads m_provider: made after it, ended before it
    QString m_webProblem;
    std::function<void()> m_getNoCon;
    QString m_holder;
    std::optional<PassReport> m_lastReport;
    std::vector<Feature> m_featureMakers;
    std::vector<std::unique_ptr<QObject>> m_features;
    bool m_started = false;
};

}  // namespace sentrok
