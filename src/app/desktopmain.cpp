// Sentrok: watches a list of hosts with ICMP echo and tells when one goes down or comes back.

#include "alerts/canberraplayer.h"
#include "app/startupwindow.h"
#include "common/clock.h"
#include "common/termsignals.h"
#include "monitor/monitor.h"
#include "probe/echoprober.h"
#include "probe/rawsockethold.h"
#include "session/session.h"
#include "store/defaultdatabase.h"
#include "store/lease.h"
#include "ui/controls/qtmessageboxes.h"
#include "ui/main/application.h"
#include "ui/main/frmmain.h"
#include "web/webconfig.h"

#include <QApplication>
#include <QStandardPaths>
#include <QTextStream>

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

// Without an ICMP socket no check can be made: the status bar says why and what to do for as long
// as it lasts, and the first time a box says it too. Checks resume by themselves once a socket
// opens.
void showSocketTrouble(sentrok::EchoProber& prober, sentrok::frmMain& window,
                       sentrok::MessageBoxes& boxes)
{
    sentrok::Session& session = *window.session();
    QObject::connect(&prober, &sentrok::EchoProber::socketUnavailable, &window,
                     [&boxes, &session, told = false](const QString& message) mutable {
                         session.setCondition(sentrok::Condition::NoIcmpSocket, message);
                         if (std::exchange(told, true)) return;
                         boxes.tell({message, sentrok::kAppTitle, sentrok::MsgButtons::Ok,
                                     sentrok::MsgIcon::Exclamation});
                     });
    QObject::connect(&prober, &sentrok::EchoProber::socketAvailable, &window,
                     [&session] { session.setCondition(sentrok::Condition::NoIcmpSocket, {}); });
}

// The web server asked for and not started (wrong options, a password file others may read, a
// port taken): one box says why; the program runs on without it.
void tellWebProblem(const QString& problem, sentrok::MessageBoxes& boxes, QWidget* window)
{
    if (problem.isEmpty()) return;
    boxes.tell({problem, sentrok::kAppTitle, sentrok::MsgButtons::Ok, sentrok::MsgIcon::Exclamation,
                window});
}

QString lockFolder()
{
    const QString runtime = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    return runtime.isEmpty() ? QStandardPaths::writableLocation(QStandardPaths::TempLocation)
                             : runtime;
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
    sentrok::EchoProber prober({.minGapMs = 1});
    const QString folder = QApplication::applicationDirPath();
    // --database URL, else $SENTROK_DATABASE, else sentrok.mdb beside the program or, where the
    // program is installed, in the user's own folder.
    QString passwordProblem;
    const QString database = sentrok::Session::chooseLocation(QApplication::arguments().mid(1),
                                                              folder, &passwordProblem);
    if (!passwordProblem.isEmpty())
        QTextStream(stderr) << "sentrok: пароль базы данных не прочитан: " << passwordProblem
                            << "\n";

    QString webError;
    std::optional<sentrok::web::WebOptions> webOptions =
        sentrok::web::webOptionsFrom(QApplication::arguments().mid(1), &webError);
    if (!webError.isEmpty()) {
        webError = QStringLiteral("Веб-сервер не запущен: ") + webError;
        QTextStream(stderr) << "sentrok: " << webError << "\n";
    }

    sentrok::Session session({.program = QStringLiteral("sentrok"),
                              .programFolder = folder,
                              .database = database,
                              .clock = &clock,
                              .boxes = &boxes,
                              .player = &player,
                              .prober = &prober,
                              .makeOwnDatabase = true,
                              // Several desktops and sentrok-monitor may share one database: one of
                              // them checks at a time, the others follow it.
                              .leaseHolder = sentrok::thisProcess(QStringLiteral("sentrok")),
                              .follow = true,
                              .thinLog = true,
                              .windows = true,
                              .web = std::move(webOptions)});
    sentrok::StartupWindow startup(session);
    sentrok::frmMain window({.programFolder = folder,
                             .lockFolder = lockFolder(),
                             .boxes = &boxes,
                             .clock = &clock,
                             .session = &session,
                             .upgrade = startup.progress()});
    boxes.setParent(&window);
    showSocketTrouble(prober, window, boxes);
    // Logout and kill end the program as a confirmed close does; caught before the load, so
    // that from the moment the lock is taken it is also given back.
    sentrok::TerminationSignals termination;
    QObject::connect(&termination, &sentrok::TerminationSignals::received, &window,
                     [&window] { window.endSession(); });
    if (!window.Form_Load()) return window.exitCode();
    if (session.madeOwnDatabase()) showNewDatabase(window);
    window.show();
    tellWebProblem(webError.isEmpty() ? session.webProblem() : webError, boxes, &window);
    return QApplication::exec();
}
