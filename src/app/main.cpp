// Sentrok: watches a list of hosts with ICMP echo and tells when one goes down or comes back.

#include "alerts/canberraplayer.h"
#include "common/clock.h"
#include "probe/echoprober.h"
#include "ui/controls/qtmessageboxes.h"
#include "ui/main/application.h"
#include "ui/main/frmmain.h"

#include <QApplication>
#include <QStandardPaths>

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
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

    sentrok::frmMain window(
        {QApplication::applicationDirPath(), lockFolder, &boxes, &clock, &prober, &player, {}});
    boxes.setParent(&window);
    // Without an ICMP socket every check fails: the user is told once why and what to do.
    QObject::connect(&prober, &sentrok::EchoProber::socketUnavailable, &window,
                     [&boxes](const QString& message) {
                         boxes.tell({message, sentrok::kAppTitle, sentrok::MsgButtons::Ok,
                                     sentrok::MsgIcon::Exclamation});
                     });
    if (!window.Form_Load()) return window.exitCode();
    window.show();
    return QApplication::exec();
}
