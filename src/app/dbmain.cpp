// sentrok-db: makes a new database file, adds hosts to it and sets whom they depend on, brings an
// older file up to date, prints the availability of every host, sets the alert mail's server and
// the chat channels, from the command line.

#include "channelcommand.h"

#include "alerts/mailalert.h"
#include "app/dbcommands.h"
#include "common/clock.h"
#include "common/conversions.h"
#include "common/datetext.h"
#include "common/inputrules.h"
#include "common/messages.h"
#include "history/csv.h"
#include "history/historyquery.h"
#include "secrets/dbpassword.h"
#include "secrets/secretstore.h"
#include "session/session.h"
#include "store/database.h"
#include "store/databaseurl.h"
#include "store/engine.h"
#include "store/mailsettings.h"
#include "store/maintenance.h"
#include "store/parents.h"
#include "store/schema.h"
#include "store/settings.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QEventLoop>
#include <QStringList>
#include <QTextStream>

#include <unistd.h>
#include <cstdint>
#include <cstdio>
#include <optional>

using namespace sentrok;

namespace {

int usage(QTextStream& err)
{
    err << "usage:\n"
           "  sentrok-db create PATH [--interval MIN]\n"
           "                                      make a new database (never overwrites);\n"
           "                                      MIN: minutes between passes, 10 unless given\n"
           "  sentrok-db add-host PATH IP [DESC] [--parent ID] [--confirm N]\n"
           "                                      add a host with the default probe settings;\n"
           "                                      ID: the host it is reached through; N: failed\n"
           "                                      checks in a row before it is announced down\n"
           "                                      (1 to 100, 1 unless given)\n"
           "  sentrok-db set-confirm PATH ID N    announce host ID down after N failed checks\n"
           "  sentrok-db maintenance add PATH (--host ID [--with-children] | --all)\n"
           "                  --from \"YYYY-MM-DD HH:MM\" --to \"YYYY-MM-DD HH:MM\"\n"
           "                  [--daily|--weekly] [--comment TEXT]\n"
           "                                      a window of planned work (local time): its\n"
           "                                      hosts are checked, nothing is announced\n"
           "  sentrok-db maintenance list PATH\n"
           "  sentrok-db maintenance remove PATH ID\n"
           "  sentrok-db set-parent PATH ID PARENT_ID|none\n"
           "                                      make host ID depend on PARENT_ID, or on none\n"
           "  sentrok-db upgrade PATH             bring an older file up to this version\n"
           "  sentrok-db availability PATH [--from \"YYYY-MM-DD HH:MM:SS\"]\n"
           "                             [--to \"YYYY-MM-DD HH:MM:SS\"] [--csv]\n"
           "                                      each host's figures; by default the last 30 "
           "days\n"
           "  sentrok-db mail PATH [--port N] [--security none|starttls|tls] [--user NAME]\n"
           "                  [--password-stdin] [--pin SHA256] [--test]\n"
           "                                      set the alert mail's server (an empty NAME or\n"
           "                                      SHA256 removes it); --test sends a test message\n"
           "  sentrok-db db-password URL --password-stdin\n"
           "                                      keep the PostgreSQL login's password where the\n"
           "                                      mail password is kept (used when the URL has "
           "none)\n"
        << kChannelUsage
        << "PATH is a database file, or a URL: sqlite:PATH or\n"
           "postgresql://USER@HOST:PORT/DBNAME (create: an existing, empty database)\n";
    return 2;
}

// A script has no one to click a box: the outcome is printed instead.
class NoBoxes final : public MessageBoxes {
public:
    MsgAnswer ask(const Message&) override { return MsgAnswer::Ok; }
    void tell(const Message&) override {}
};

// Opens the database and brings it up to date first, telling on standard error what it does.
class Tool {
public:
    Tool(const QString& path, QTextStream& err)
        : m_session({.program = QStringLiteral("sentrok-db"),
                     .database = path,
                     .clock = &m_clock,
                     .boxes = &m_boxes})
    {
        int shown = -1;
        m_session.open({.begins = nullptr,
                        .report =
                            [&](int version, const QString& what, qint64 done, qint64 total) {
                                const int percent = total > 0 ? int(done * 100 / total) : 0;
                                if (percent == shown && done) return;
                                shown = percent;
                                err << "sentrok-db: version " << version << ": " << what;
                                if (total > 0)
                                    err << ": " << done << " of " << total << " log rows ("
                                        << percent << "%)";
                                err << "\n";
                                err.flush();
                            },
                        .ends = nullptr});
    }
    Database& db() { return m_session.database(); }
    MailAlert& mail() { return *m_session.mail(); }

private:
    SystemClock m_clock;
    NoBoxes m_boxes;
    Session m_session;
};

std::unique_ptr<Tool> openCurrent(const QString& path, QTextStream& err)
{
    return std::make_unique<Tool>(path, err);
}

std::optional<QDateTime> dateArgument(const QString& text)
{
    const QDateTime t = QDateTime::fromString(text.trimmed(), kStoredDateFormat);
    if (!t.isValid()) return std::nullopt;
    return t;
}

int availability(const QString& path, const QStringList& options, QTextStream& out,
                 QTextStream& err)
{
    QDateTime to = QDateTime::currentDateTime(), from;
    bool csv = false;
    for (int i = 0; i < options.size(); ++i) {
        const QString& o = options[i];
        if (o == QLatin1String("--csv")) {
            csv = true;
            continue;
        }
        if ((o != QLatin1String("--from") && o != QLatin1String("--to")) || i + 1 == options.size())
            return usage(err);
        const auto t = dateArgument(options[++i]);
        if (!t) {
            err << "sentrok-db: " << o << " wants a date and time as YYYY-MM-DD HH:MM:SS, not \""
                << printableText(options[i]) << "\"\n";
            return 2;
        }
        (o == QLatin1String("--from") ? from : to) = *t;
    }
    to = to.addMSecs(-to.time().msec());
    if (!from.isValid()) from = to.addDays(-30);
    if (from >= to) {
        err << "sentrok-db: the period must begin before it ends\n";
        return 2;
    }
    auto tool = openCurrent(path, err);
    Database& db = tool->db();
    std::vector<HostFigures> figures = availabilityOf(db, from, to);
    std::sort(figures.begin(), figures.end(),
              [](const HostFigures& a, const HostFigures& b) { return a.id < b.id; });
    if (!csv) {
        out << figuresText(figures);
    } else if (isatty(STDOUT_FILENO)) {
        // Read on a terminal, as ls shows names: a description's control characters as escapes,
        // the lines as they are. Into a file or a pipe the values go exactly as stored.
        const QStringList lines = figuresCsv(figures).split(QStringLiteral("\r\n"));
        for (qsizetype i = 0; i < lines.size(); ++i)
            out << printableText(lines[i]) << (i + 1 < lines.size() ? "\r\n" : "");
    } else {
        out << figuresCsv(figures);
    }
    return 0;
}

QString readPassword(QTextStream& err) { return readSecretLine(err, "password: "); }

struct MailArgs {
    std::optional<QString> port, security, user, pin;
    bool passwordFromStdin = false;
    bool test = false;
};

std::optional<MailArgs> parseMailArgs(const QStringList& args)
{
    MailArgs out;
    for (qsizetype i = 0; i < args.size(); ++i) {
        const QString& a = args[i];
        const auto value = [&](std::optional<QString>& into) {
            if (i + 1 >= args.size()) return false;
            into = args[++i];
            return true;
        };
        bool ok = true;
        if (a == u"--port")
            ok = value(out.port);
        else if (a == u"--security")
            ok = value(out.security);
        else if (a == u"--user")
            ok = value(out.user);
        else if (a == u"--pin")
            ok = value(out.pin);
        else if (a == u"--password-stdin")
            out.passwordFromStdin = true;
        else if (a == u"--test")
            out.test = true;
        else
            ok = false;
        if (!ok) return std::nullopt;
    }
    return out;
}

// Waits for the store's answer: the command line has nothing else to do meanwhile.
QString writeSecret(SecretStore& store, const QString& key, const QString& password,
                    QTextStream& out)
{
    QEventLoop loop;
    QString failure;
    store.write(key, password, [&](const QString& error, SecretStore::Place where) {
        failure = error;
        if (error.isEmpty()) out << store.describe(where) << "\n";
        loop.quit();
    });
    loop.exec();
    return failure;
}

int sendTest(Tool& tool, QTextStream& out, QTextStream& err)
{
    const std::optional<RecipientRow> row = readRecipientRow(tool.db());
    if (!row) {
        err << "sentrok-db: the database has no alert recipient: nothing to send to\n";
        return 1;
    }
    MailAlert& alert = tool.mail();
    alert.setShowErrors(false);
    QEventLoop loop;
    std::optional<MailAlert::Outcome> outcome;
    QObject::connect(&alert, &MailAlert::finished, &loop, [&](MailAlert::Outcome o) {
        outcome = o;
        loop.quit();
    });
    alert.sendWith(*row, MailAlert::kTestText);
    if (!outcome) loop.exec();  // it may have ended before it began
    if (outcome == MailAlert::Outcome::Delivered) {
        out << "delivered: the server " << printableText(alert.serverName())
            << " took the test message for " << printableText(alert.recipient()) << "\n";
        return 0;
    }
    // The server's own words: whatever it sent, nothing of it drives the terminal.
    err << "sentrok-db: not delivered: " << printableLine(alert.lastError()) << "\n";
    return 1;
}

int mailCommand(const QString& path, const QStringList& rest, QTextStream& out, QTextStream& err)
{
    const std::optional<MailArgs> args = parseMailArgs(rest);
    if (!args) return usage(err);
    auto current = openCurrent(path, err);
    Database& db = current->db();
    const bool changes =
        args->port || args->security || args->user || args->pin || args->passwordFromStdin;
    if (changes) {
        const std::optional<RecipientRow> row = readRecipientRow(db);
        // What is not given stays as stored.
        MailServerInput input;
        if (row) {
            input = {row->port ? QString::number(*row->port) : QString(), row->security, row->login,
                     row->pin};
        }
        if (args->port) input.port = *args->port;
        if (args->security) input.security = *args->security;
        if (args->user) input.login = *args->user;
        if (args->pin) input.pin = *args->pin;
        QString why;
        const std::optional<MailServerOptions> options =
            checkMailServer(input, MailAlert::kSmtpPort, &why);
        if (!options) {
            err << "sentrok-db: " << why << "; nothing saved\n";
            return 1;
        }
        const QString server = row ? row->smtp.toString().trimmed() : QString();
        if (args->passwordFromStdin && (options->login.isEmpty() || server.isEmpty())) {
            err << "sentrok-db: a password belongs to a user name on a server: set --user and "
                   "the SMTP server first; nothing saved\n";
            return 1;
        }
        const QString password = args->passwordFromStdin ? readPassword(err) : QString();
        saveMailServer(db, *options, {QVariant(), QVariant(), QVariant(), QVariant()});
        out << "saved: port " << options->port << ", security " << securityWord(options->security)
            << ", user " << (options->login.isEmpty() ? QStringLiteral("(none)") : options->login)
            << ", pin "
            << (options->pin.isEmpty() ? QStringLiteral("(none)") : pinForDisplay(options->pin))
            << "\n";
        if (options->security == MailSecurity::None && !options->login.isEmpty())
            err << "sentrok-db: warning: security none with a user name sends the name and "
                   "password in clear text\n";
        if (args->passwordFromStdin) {
            SecretStore store;
            const QString failure =
                writeSecret(store, SecretStore::keyFor(options->login, server), password, out);
            if (!failure.isEmpty()) {
                err << "sentrok-db: the password was not saved: " << failure << "\n";
                return 1;
            }
        }
    }
    if (args->test) return sendTest(*current, out, err);
    if (!changes) return usage(err);
    return 0;
}

// The password of a PostgreSQL login kept beside the mail password, for the desktop and
// sentrok-monitor to use when the URL names none.
int databasePasswordCommand(const QString& location, QTextStream& out, QTextStream& err)
{
    const DatabaseUrl url = DatabaseUrl::parse(location);
    if (!Engine::of(url).logsIn() || url.user.isEmpty()) {
        err << "sentrok-db: a password belongs to a user of a PostgreSQL database: "
               "postgresql://USER@HOST:PORT/DBNAME; nothing saved\n";
        return 1;
    }
    const QString password = readPassword(err);
    SecretStore store;
    const QString failure = writeSecret(store, databasePasswordKey(url), password, out);
    if (!failure.isEmpty()) {
        err << "sentrok-db: the password was not saved: " << failure << "\n";
        return 1;
    }
    return 0;
}

std::optional<qint64> hostId(const QString& text)
{
    bool ok = false;
    const qint64 id = text.toLongLong(&ok);
    if (!ok || id <= 0) return std::nullopt;
    return id;
}

int addHostCommand(const QString& path, const QStringList& rest, QTextStream& out, QTextStream& err)
{
    QStringList words = rest;
    std::optional<qint64> parent;
    int confirm = kConfirmDefault;
    if (const qsizetype at = words.indexOf(QStringLiteral("--confirm")); at >= 0) {
        if (at + 1 >= words.size()) return usage(err);
        const std::optional<int> n = confirmArgument(words[at + 1], err);
        if (!n) return 2;
        confirm = *n;
        words.remove(at, 2);
    }
    if (const qsizetype at = words.indexOf(QStringLiteral("--parent")); at >= 0) {
        if (at + 1 >= words.size()) return usage(err);
        parent = hostId(words[at + 1]);
        if (!parent) {
            err << "sentrok-db: --parent wants a host id, not \"" << printableText(words[at + 1])
                << "\"\n";
            return 2;
        }
        words.remove(at, 2);
    }
    if (words.isEmpty() || words.size() > 2) return usage(err);
    // Stored as the administration window stores it: the address without the spaces around it.
    const QString ip = trimHostText(words[0]);
    std::optional<QString> refusal = addressRefusal(ip);
    if (!refusal) refusal = descriptionRefusal(words.value(1));
    if (refusal) {
        err << "sentrok-db: " << *refusal << "; nothing added\n";
        return 1;
    }
    auto tool = openCurrent(path, err);
    Database& db = tool->db();
    qint64 id = 0;
    // A host whose parent is refused is not added either.
    struct Refused {};
    try {
        db.transaction([&] {
            id = addHost(db, ip, words.value(1));
            if (parent) refusal = setParentIn(db, id, *parent);
            if (refusal) throw Refused{};
            if (confirm != kConfirmDefault) setConfirm(db, id, confirm);
        });
    } catch (const Refused&) {
        err << "sentrok-db: " << *refusal << "; nothing added\n";
        return 1;
    }
    out << "added host " << id << " " << ip;
    if (parent) out << ", reached through host " << *parent;
    if (confirm != kConfirmDefault) out << ", announced after " << confirm << " failed checks";
    out << "\n";
    return 0;
}

int setParentCommand(const QString& path, const QStringList& rest, QTextStream& out,
                     QTextStream& err)
{
    if (rest.size() != 2) return usage(err);
    const std::optional<qint64> host = hostId(rest[0]);
    const bool none = rest[1] == QLatin1String("none");
    const std::optional<qint64> parent = none ? std::nullopt : hostId(rest[1]);
    if (!host || (!none && !parent)) {
        err << "sentrok-db: set-parent wants two host ids (or none for the second)\n";
        return 2;
    }
    auto tool = openCurrent(path, err);
    Database& db = tool->db();
    if (const std::optional<QString> refusal = setParent(db, *host, parent)) {
        err << "sentrok-db: " << *refusal << "; nothing changed\n";
        return 1;
    }
    if (parent)
        out << "host " << *host << " is reached through host " << *parent << "\n";
    else
        out << "host " << *host << " depends on no other\n";
    return 0;
}

int channel(const QStringList& args, QTextStream& out, QTextStream& err)
{
    const QString path = args[2];
    if (const QString warning = passwordInArgumentsWarning(path); !warning.isEmpty())
        err << "sentrok-db: warning: " << warning << "\n";
    std::unique_ptr<Tool> tool;
    try {
        const int status = channelCommand(
            args[1], args.mid(3),
            [&]() -> Database& {
                tool = openCurrent(path, err);
                return tool->db();
            },
            out, err);
        return status < 0 ? usage(err) : status;
    } catch (const DbError& e) {
        err << "sentrok-db: " << e.userText() << "\n";
        return 1;
    }
}

}  // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    silenceDriverNoise();
    QTextStream out(stdout), err(stderr);
    const QStringList args = app.arguments().mid(1);
    if (args.size() >= 3 && args[0] == QLatin1String("channel")) return channel(args, out, err);
    if (args.size() < 2) return usage(err);
    const QString command = args[0];
    // "maintenance add PATH ...": the path comes after what is done with the windows.
    const bool maintenance = command == QLatin1String("maintenance");
    const QString path = maintenance ? args.value(2) : args[1];
    std::unique_ptr<Tool> tool;
    const OpenDatabase open = [&]() -> Database& {
        tool = openCurrent(path, err);
        return tool->db();
    };
    if (const QString warning = passwordInArgumentsWarning(path); !warning.isEmpty())
        err << "sentrok-db: warning: " << warning << "\n";
    try {
        if (command == QLatin1String("upgrade") && args.size() == 2) {
            auto tool = openCurrent(path, err);
            Database& db = tool->db();
            out << db.url().describe() << " is at version " << schemaVersion(db) << "\n";
            return 0;
        }
        if (command == QLatin1String("availability"))
            return availability(path, args.mid(2), out, err);
        if (command == QLatin1String("create")) {
            int minutes = 10;
            if (args.size() == 4 && args[2] == QLatin1String("--interval")) {
                // The administration window's rule, read with the C locale of a command line.
                const IntervalInput given = intervalInput(args[3], QLocale::c());
                if (!given.refusal.isEmpty()) {
                    err << "sentrok-db: the interval must be a number of minutes from 1 to "
                        << kMaxIntervalMinutes << "\n";
                    return 1;
                }
                minutes = given.minutes;
            } else if (args.size() != 2) {
                return usage(err);
            }
            createDatabase(path);
            if (minutes != 10) {
                Database db(path, Database::uniqueName(QStringLiteral("sentrok-db")));
                setCheckIntervalMinutes(db, minutes);
            }
            out << "created " << DatabaseUrl::parse(path).describe() << ", a pass every " << minutes
                << " min\n";
            return 0;
        }
        if (command == QLatin1String("mail")) return mailCommand(path, args.mid(2), out, err);
        if (command == QLatin1String("add-host"))
            return addHostCommand(path, args.mid(2), out, err);
        if (command == QLatin1String("db-password") && args.size() == 3 &&
            args[2] == QLatin1String("--password-stdin"))
            return databasePasswordCommand(path, out, err);
        if (command == QLatin1String("set-parent"))
            return setParentCommand(path, args.mid(2), out, err);
        if (command == QLatin1String("set-confirm")) {
            const int code = setConfirmCommand(args.mid(2), open, out, err);
            return code == kUsage ? usage(err) : code;
        }
        if (maintenance && args.size() >= 3) {
            const int code = maintenanceCommand(QStringList{args[1]} + args.mid(3), open, out, err);
            return code == kUsage ? usage(err) : code;
        }
    } catch (const DbError& e) {
        err << "sentrok-db: " << e.userText() << "\n";
        return 1;
    }
    return usage(err);
}
