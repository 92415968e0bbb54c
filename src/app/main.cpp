// Sentrok: watches a list of hosts with ICMP echo and tells when one goes down or comes back.

#include "alerts/canberraplayer.h"
#include "app/startupupgrade.h"
#include "common/clock.h"
#include "history/retention.h"
#include "store/database.h"
#include "probe/echoprober.h"
#include "ui/controls/qtmessageboxes.h"
#include "ui/main/frmmain.h"

#include <QApplication>
#include <QStandardPaths>
#include <QTextStream>
#include <QTimer>

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("sentrok"));
    QApplication::setApplicationDisplayName(QStringLiteral("Sentrok"));
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
    // Detailed log rows older than the kept days go in small batches, at start and hourly.
    sentrok::LogRetention retention(sentrok::Database::fileIn(folder), clock);
    QObject::connect(&retention, &sentrok::LogRetention::failed, [](const QString& message) {
        QTextStream(stderr) << "sentrok: журнал не прорежен: " << message << "\n";
    });
    QTimer retentionTimer;
    retentionTimer.setInterval(3600 * 1000);
    QObject::connect(&retentionTimer, &QTimer::timeout, &retention, &sentrok::LogRetention::runNow);

    sentrok::MainWindowDeps deps{folder, lockFolder, &boxes, &clock, &prober, &player, {}};
    deps.prepareDatabase = sentrok::upgradeAtStart;
    deps.retention = &retention;
    sentrok::frmMain window(std::move(deps));
    boxes.setParent(&window);
    // Without an ICMP socket every check fails: the user is told once why and what to do.
    QObject::connect(&prober, &sentrok::EchoProber::socketUnavailable, &window,
                     [&boxes](const QString& message) {
                         boxes.tell({message, sentrok::kAppTitle, sentrok::MsgButtons::Ok,
                                     sentrok::MsgIcon::Exclamation});
                     });
    if (!window.Form_Load()) return window.exitCode();
    window.show();
    retention.runNow();
    retentionTimer.start();
    return QApplication::exec();
}
