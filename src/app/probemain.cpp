// sentrok-probe: one host's check from the command line, as the monitor would run it.

#include "probe/echoprober.h"
#include "probe/rawsockethold.h"

#include <QCoreApplication>
#include <QTextStream>

using namespace sentrok;

int main(int argc, char** argv)
{
    sentrok::holdRawSocketsAndDropCapabilities();  // before anything is loaded
    QCoreApplication app(argc, argv);
    QTextStream out(stdout), err(stderr);
    const QStringList args = app.arguments().mid(1);
    if (args.isEmpty() || args.size() > 5 || args[0] == QLatin1String("--help")) {
        err << "usage: sentrok-probe HOST [WAIT TTL COUNT LENGTH]\n"
               "  probes HOST (a name, an IPv4 or an IPv6 address) with ICMP echo and prints\n"
               "  the mean reply time in ms (-1: no reply)\n"
               "  defaults: WAIT 1000, TTL 255, COUNT 1, LENGTH 32\n"
               "  SENTROK_SOCKET=ping or raw takes that kind of socket only\n";
        return 2;
    }
    const auto arg = [&](int i, const char* otherwise) {
        return i < args.size() ? args[i] : QString::fromLatin1(otherwise);
    };
    const ProbeRequest request{args[0], arg(1, "1000"), arg(2, "255"), arg(3, "1"), arg(4, "32")};

    EchoEngineOptions options;
    const QString socket = qEnvironmentVariable("SENTROK_SOCKET");
    if (socket == QLatin1String("ping")) options.socket = SocketChoice::PingOnly;
    if (socket == QLatin1String("raw")) options.socket = SocketChoice::RawOnly;

    EchoProber prober(options);
    int exitCode = 0;
    QObject::connect(&prober, &EchoProber::socketUnavailable, [&](const QString& message) {
        QString text = message;
        err << "sentrok-probe: " << text.replace(QLatin1String("\r\n"), QLatin1String("\n"))
            << Qt::endl;
        exitCode = 1;
    });
    prober.start(request, [&](const ProbeOutcome& outcome) {
        if (outcome.failed()) {
            err << "sentrok-probe: " << outcome.error << Qt::endl;
            exitCode = 1;
        } else {
            out << outcome.result << Qt::endl;
        }
        QCoreApplication::exit(exitCode);
    });
    return QCoreApplication::exec();
}
