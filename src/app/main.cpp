// Sentrok: watches a list of hosts with ICMP echo and tells when one goes down or comes back.

#include "alerts/canberraplayer.h"
#include "app/termsignals.h"
#include "common/clock.h"
#include "probe/echoprober.h"
#include "ui/controls/qtmessageboxes.h"
#include "ui/main/frmmain.h"

#include <QApplication>
#include <QStandardPaths>

#include <utility>

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

    sentrok::frmMain window(
        {QApplication::applicationDirPath(), lockFolder, &boxes, &clock, &prober, &player, {}});
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
    window.show();
    return QApplication::exec();
}
