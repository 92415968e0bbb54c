// Sentrok: watches a list of hosts with ICMP echo and tells when one goes down or comes back.

#include "alerts/canberraplayer.h"
#include "secrets/dbpassword.h"
#include "common/termsignals.h"
#include "app/startupwindow.h"
#include "common/clock.h"
#include "history/retention.h"
#include "store/database.h"
#include "store/databaseurl.h"
#include "store/defaultdatabase.h"
#include "store/lease.h"
#include "monitor/monitor.h"
#include "probe/echoprober.h"
#include "probe/rawsockethold.h"
#include "ui/controls/qtmessageboxes.h"
#include "ui/main/application.h"
#include "ui/main/frmmain.h"

#include <QApplication>
#include <QStandardPaths>
#include <QTextStream>
#include <QTimer>

#include <utility>

namespace {

// Until a pass finds hosts, the status bar says where the new database is and how to fill it.
void showNewDatabase(sentrok::frmMain& window)
{
    const QString file = window.location();
    window.setCondition(sentrok::Condition::NewDatabase,
                        sentrok::addHostsHint(file) + QStringLiteral("\nНовая база: ") + file);
    if (sentrok::Monitor* monitor = window.monitor())
        QObject::connect(monitor, &sentrok::Monitor::passFinished, &window, [&window] {
            if (window.panelText(3) != QLatin1String("0"))
                window.setCondition(sentrok::Condition::NewDatabase, {});
        });
}

}  // namespace

int main(int argc, char** argv)
{
    sentrok::holdRawSocketsAndDropCapabilities();  // before anything is loaded
    QApplication app(argc, argv);
    sentrok::silenceDriverNoise();
    sentrok::prepareApplication(app);
    // The program lives on in the tray and in its outage window; only the main window's
    // confirmed close ends it.
    QApplication::setQuitOnLastWindowClosed(false);

    sentrok::SystemClock clock;
    sentrok::QtMessageBoxes boxes;
    sentrok::CanberraPlayer player;
    // Many hosts are probed at once; a millisecond between requests keeps a burst from
    // overflowing socket buffers on the way or at the far end.
    sentrok::EchoEngineOptions echo;
    echo.minGapMs = 1;
    sentrok::EchoProber prober(echo);
    QString lockFolder = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (lockFolder.isEmpty())
        lockFolder = QStandardPaths::writableLocation(QStandardPaths::TempLocation);

    const QString folder = QApplication::applicationDirPath();
    // --database URL, else $SENTROK_DATABASE, else sentrok.mdb beside the program or, where the
    // program is installed, in the user's own folder.
    QString passwordProblem;
    const QString database = sentrok::withStoredPassword(
        sentrok::chooseDatabase(QApplication::arguments().mid(1), folder), nullptr, 60'000,
        &passwordProblem);
    if (!passwordProblem.isEmpty())
        QTextStream(stderr) << "sentrok: пароль базы данных не прочитан: " << passwordProblem << "\n";
    // Detailed log rows older than the kept days go in small batches, at start and hourly.
    sentrok::LogRetention retention(database, clock);
    QObject::connect(&retention, &sentrok::LogRetention::failed, [](const QString& message) {
        QTextStream(stderr) << "sentrok: журнал не прорежен: " << message << "\n";
    });
    QTimer retentionTimer;
    retentionTimer.setInterval(3600 * 1000);
    QObject::connect(&retentionTimer, &QTimer::timeout, &retention, &sentrok::LogRetention::runNow);

    sentrok::MainWindowDeps deps{folder, lockFolder, &boxes, &clock, &prober, &player, {}};
    // The user's own database is made at the first start, once this is the only instance.
    bool madeOwn = false;
    deps.prepareDatabase = [&madeOwn, own = sentrok::defaultDatabase(folder)](const QString& file) {
        madeOwn = sentrok::createOwnDatabase(file, own);
        return sentrok::upgradeAtStart(file);
    };
    deps.retention = &retention;
    deps.database = database;
    // Several desktops and sentrok-monitor may share one database: one of them checks at a time.
    deps.leaseHolder = sentrok::thisProcess(QStringLiteral("sentrok"));
    sentrok::frmMain window(std::move(deps));
    boxes.setParent(&window);
    // Without an ICMP socket no check can be made: the status bar says why and what to do for
    // as long as it lasts, and the first time a box says it too. Checks resume by themselves
    // once a socket opens.
    QObject::connect(&prober, &sentrok::EchoProber::socketUnavailable, &window,
                     [&boxes, &window, told = false](const QString& message) mutable {
                         window.setCondition(sentrok::Condition::NoIcmpSocket, message);
                         if (std::exchange(told, true)) return;
                         boxes.tell({message, sentrok::kAppTitle, sentrok::MsgButtons::Ok,
                                     sentrok::MsgIcon::Exclamation});
                     });
    QObject::connect(&prober, &sentrok::EchoProber::socketAvailable, &window, [&window] {
        window.setCondition(sentrok::Condition::NoIcmpSocket, {});
    });
    // Logout and kill end the program as a confirmed close does; caught before the load, so
    // that from the moment the lock is taken it is also given back.
    sentrok::TerminationSignals termination;
    QObject::connect(&termination, &sentrok::TerminationSignals::received, &window,
                     [&window] { window.endSession(); });
    if (!window.Form_Load()) return window.exitCode();
    if (madeOwn) showNewDatabase(window);
    window.show();
    retention.runNow();
    retentionTimer.start();
    return QApplication::exec();
}
