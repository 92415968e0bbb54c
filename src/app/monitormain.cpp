// sentrok-monitor: the monitoring without windows, for a server or a team. The same passes,
// scheduling, e-mail alerts and thinning of the log as the desktop program, without sounds; what
// happens goes to standard error. One process at a time monitors a database (see Lease):
// started beside another, it waits and takes over when that one ends or dies.
//
//   sentrok-monitor [--database URL] [--http ADDRESS:PORT [--http-password-file FILE]
//                   [--http-cert FILE --http-key FILE]]

#include "common/clock.h"
#include "common/conversions.h"
#include "common/datetext.h"
#include "common/messages.h"
#include "common/termsignals.h"
#include "monitor/monitorview.h"
#include "probe/echoprober.h"
#include "probe/rawsockethold.h"
#include "session/session.h"
#include "store/database.h"
#include "store/databaseurl.h"
#include "store/defaultdatabase.h"
#include "store/lease.h"
#include "web/webconfig.h"

#include <QCoreApplication>
#include <QTextStream>

#include <map>

using namespace sentrok;

namespace {

// One line per event: whatever the database or a server said comes on the same line, with no
// control character of theirs reaching the terminal or the journal.
void log(const QString& text)
{
    QTextStream(stderr) << generalDateText(QDateTime::currentDateTime(), QLocale::c()) << "  "
                        << printableLine(text) << "\n";
}

// What a window would show, as lines on standard error.
class LogView final : public MonitorView {
public:
    void PrintStat(const QString& ip, const QString& desc, const QString& pto, const QString& v_w,
                   std::uint32_t color) override
    {
        const QString what = color == kColorDown          ? QStringLiteral("НЕТ СВЯЗИ")
                             : color == kColorUnreachable ? QStringLiteral("НЕДОСТУПЕН")
                                                          : QStringLiteral("СВЯЗЬ ЕСТЬ");
        log(QStringLiteral("%1 %2[%3] ожидание %4 ответ %5").arg(what, desc, ip, pto, v_w));
    }
    QString panelText(int panel) const override { return m_panels[panel]; }
    void setPanelText(int panel, const QString& text) override
    {
        if (panel >= 1 && panel <= 5) m_panels[panel] = text;
    }
    void setPanelToolTip(int, const QString&) override {}
    void setPanelEnabled(int, bool) override {}
    void setStartEnabled(bool) override {}
    void setBusy(bool busy) override
    {
        if (busy) return;
        log(QStringLiteral("проход окончен: адресов %1, не пингуется %2")
                .arg(m_panels[3], m_panels[4]));
    }
    // The monitor writes the first of each kind of failure to standard error itself.
    void reportCheckFailure(const QString&) override {}
    void clearCheckFailures() override {}
    void setCondition(Condition condition, const QString& text) override
    {
        QString& shown = m_conditions[condition];
        if (shown == text) return;
        log(text.isEmpty() ? QStringLiteral("устранено: %1").arg(shown) : text);
        shown = text;
    }

private:
    QString m_panels[6] = {{},
                           QStringLiteral("0"),
                           QStringLiteral("0"),
                           QStringLiteral("0"),
                           QStringLiteral("0"),
                           QStringLiteral("0%")};
    std::map<Condition, QString> m_conditions;  // any number of kinds, as they are added
};

// Refusals of the mail server and other notices, on standard error.
class LogBoxes final : public MessageBoxes {
public:
    MsgAnswer ask(const Message& m) override
    {
        log(m.title + QStringLiteral(": ") + m.text);
        return m.buttons == MsgButtons::YesNo ? MsgAnswer::No : MsgAnswer::Ok;
    }
    void tell(const Message& m) override { log(m.title + QStringLiteral(": ") + m.text); }
};

int usage()
{
    QTextStream(stdout) << "usage: sentrok-monitor [--database URL] [--http ADDRESS:PORT ...]\n"
                           "  URL: sqlite:PATH or postgresql://USER@HOST:PORT/DBNAME\n"
                           "  default: $SENTROK_DATABASE, else sentrok.mdb beside the program;\n"
                           "  installed: in $STATE_DIRECTORY (the service) or\n"
                           "  $XDG_DATA_HOME/sentrok, made empty at the first start\n"
                        << web::webOptionsUsage();
    return 0;
}

// What the session says of the lease, on standard error.
void logLease(Session& session, const QString& me)
{
    QObject::connect(
        &session, &Session::leaseChanged, &session,
        [&session, me](bool held, const QString& holder) {
            if (held)
                log(QStringLiteral("проверки ведёт этот процесс (%1), база %2, интервал %3 с")
                        .arg(me, session.database().url().describe())
                        .arg(session.settings().checkInterval));
            else
                log(holder.isEmpty()
                        ? QStringLiteral("ждёт права на проверки")
                        : QStringLiteral("проверки ведёт %1; этот процесс ждёт").arg(holder));
        });
}

// An older database is brought up to this version first, as the desktop does; said on standard
// error.
UpgradeProgress upgradeLines()
{
    return {
        .begins =
            [](int, int to) { log(QStringLiteral("обновление базы данных до версии %1").arg(to)); },
        .report =
            [](int version, const QString& what, qint64 done, qint64 total) {
                if (done == 0 || done == total)
                    log(QStringLiteral("версия %1: %2 %3/%4")
                            .arg(version)
                            .arg(what)
                            .arg(done)
                            .arg(total));
            },
        .ends = nullptr};
}

}  // namespace

int main(int argc, char** argv)
{
    holdRawSocketsAndDropCapabilities();  // before anything is loaded
    QCoreApplication app(argc, argv);
    silenceDriverNoise();
    QCoreApplication::setApplicationName(QStringLiteral("sentrok-monitor"));
    const QStringList args = app.arguments().mid(1);
    if (args.contains(QLatin1String("--help")) || args.contains(QLatin1String("-h")))
        return usage();
    QString webError;
    std::optional<web::WebOptions> webOptions = web::webOptionsFrom(args, &webError);
    if (!webError.isEmpty()) {
        log(webError);
        return 2;
    }
    const QString folder = QCoreApplication::applicationDirPath();
    if (const QString warning = passwordInArgumentsWarning(chooseDatabase(args, {}));
        !warning.isEmpty() && chooseDatabase(args, {}) != qEnvironmentVariable("SENTROK_DATABASE"))
        log(warning);
    QString passwordProblem;
    const QString location = Session::chooseLocation(args, folder, &passwordProblem);
    if (!passwordProblem.isEmpty())
        log(QStringLiteral("пароль базы данных не прочитан: %1").arg(passwordProblem));

    TerminationSignals termination;
    SystemClock clock;
    LogView view;
    LogBoxes boxes;
    EchoProber prober({.minGapMs = 1});
    const QString me = thisProcess(QStringLiteral("sentrok-monitor"));
    Session session({.program = QStringLiteral("sentrok-monitor"),
                     .programFolder = folder,
                     .database = location,
                     .clock = &clock,
                     .boxes = &boxes,
                     .player = nullptr,  // no sounds
                     .prober = &prober,
                     .makeOwnDatabase = true,
                     .leaseHolder = me,
                     .follow = false,
                     .thinLog = true,
                     .web = std::move(webOptions),
                     .log = [](const QString& line) { log(line); }});
    QObject::connect(&prober, &EchoProber::socketUnavailable, &app, [&session](const QString& m) {
        session.setCondition(Condition::NoIcmpSocket, m);
    });
    QObject::connect(&prober, &EchoProber::socketAvailable, &app,
                     [&session] { session.setCondition(Condition::NoIcmpSocket, {}); });
    try {
        if (session.open(upgradeLines()) && session.madeOwnDatabase())
            log(QStringLiteral("создана новая база %1. %2").arg(location, addHostsHint(location)));
    } catch (const DbError& e) {
        log(e.userText());
        return 1;
    }
    logLease(session, me);
    QObject::connect(&termination, &TerminationSignals::received, &app, [](int signal) {
        log(QStringLiteral("сигнал %1: завершение").arg(signal));
        QCoreApplication::exit(0);
    });
    log(QStringLiteral("запущен: %1").arg(me));
    session.start(&view);
    // Asked for and not served: a service that cannot be seen is one nobody knows has failed.
    if (!session.webProblem().isEmpty()) return 1;
    return QCoreApplication::exec();
}
