#include "channelcommand.h"

#include "channels/channelsecrets.h"
#include "channels/channelsender.h"
#include "channels/channelstore.h"
#include "common/conversions.h"
#include "secrets/secretstore.h"
#include "store/database.h"
#include "store/lease.h"

#include <QEventLoop>

#include <termios.h>
#include <unistd.h>

namespace sentrok {

const char* const kChannelUsage =
    "  sentrok-db channel add PATH telegram --chat ID [--api-url URL] [--name NAME]\n"
    "                  [--pin SHA256] --token-stdin\n"
    "  sentrok-db channel add PATH webhook URL|--url-stdin [--name NAME] [--pin SHA256]\n"
    "                                      add a chat channel beside the alert mail; the token\n"
    "                                      (and a webhook URL given on standard input) is kept\n"
    "                                      where the mail password is, never in the database\n"
    "  sentrok-db channel list PATH        the channels\n"
    "  sentrok-db channel remove|enable|disable PATH ID\n"
    "  sentrok-db channel test PATH ID     send a test message and print what the server said\n";

namespace {

int refuse(QTextStream& err, const QString& why, int status = 1)
{
    err << "sentrok-db: " << printableLine(why) << "\n";
    return status;
}

// Waits for the store: the command line has nothing else to do meanwhile.
QString waitWritten(const std::function<void(ChannelSecretWritten)>& write, QString* where)
{
    QEventLoop loop;
    QString failure;
    write([&](const QString& error, const QString& place) {
        failure = error;
        if (where) *where = place;
        loop.quit();
    });
    loop.exec();
    return failure;
}

int add(const QStringList& rest, const std::function<Database&()>& open, QTextStream& out,
        QTextStream& err)
{
    QString why;
    const std::optional<ChannelAddInput> input = parseChannelAdd(rest, &why);
    if (!input) return refuse(err, why + QStringLiteral("; nothing added"), 2);
    const bool telegram = input->kind == ChannelKind::Telegram;
    const QString line =
        input->secretFromStdin ? readSecretLine(err, telegram ? "token: " : "URL: ") : QString();
    const std::optional<ChannelSettings> channel = makeChannel(*input, line, &why);
    if (!channel) return refuse(err, why + QStringLiteral("; nothing added"));
    Database& db = open();
    // The secret first: a row whose secret could not be kept would be a channel that never sends.
    SecretStore store;
    QString where;
    const QString failure = waitWritten(
        [&](ChannelSecretWritten done) { writeChannelSecret(store, *channel, std::move(done)); },
        &where);
    if (!failure.isEmpty())
        return refuse(err,
                      QStringLiteral("the secret was not saved: %1; nothing added").arg(failure));
    qint64 id = 0;
    try {
        id = addChannel(db, channel->record);
    } catch (const DbError&) {
        waitWritten(
            [&](ChannelSecretWritten done) {
                forgetChannelSecret(store, channel->record.secretRef, std::move(done));
            },
            nullptr);
        throw;
    }
    out << "added channel " << id << ": " << channelTitle(channel->record) << "\n"
        << printableLine(where) << "\n";
    if (!telegram && !input->secretFromStdin)
        err << "sentrok-db: warning: a URL given as an argument may be read by other users of "
               "this machine; give one that holds a secret with --url-stdin\n";
    return 0;
}

int list(Database& db, QTextStream& out)
{
    for (const ChannelRecord& r : readChannels(db)) {
        out << r.id << "\t" << kindWord(r.kind) << "\t" << (r.enabled ? "enabled" : "disabled")
            << "\t" << printableLine(r.name) << "\t" << printableLine(r.target);
        if (r.kind == ChannelKind::Telegram) out << "\t" << printableLine(r.apiUrl);
        out << "\n";
    }
    return 0;
}

int remove(Database& db, qint64 id, QTextStream& out, QTextStream& err)
{
    const std::optional<ChannelRecord> record = readChannel(db, id);
    if (!record || !removeChannel(db, id))
        return refuse(err, QStringLiteral("there is no channel %1").arg(id));
    SecretStore store;
    const QString failure = waitWritten(
        [&](ChannelSecretWritten done) {
            forgetChannelSecret(store, record->secretRef, std::move(done));
        },
        nullptr);
    out << "removed channel " << id << ": " << channelTitle(*record) << "\n";
    if (!failure.isEmpty())
        err << "sentrok-db: warning: its secret was not forgotten: " << printableLine(failure)
            << "\n";
    return 0;
}

int test(Database& db, qint64 id, QTextStream& out, QTextStream& err)
{
    std::optional<ChannelRecord> record = readChannel(db, id);
    if (!record) return refuse(err, QStringLiteral("there is no channel %1").arg(id));
    record->enabled = true;  // a channel turned off may still be tried
    SecretStore store;
    QEventLoop loop;
    QList<ChannelSettings> loaded;
    QStringList problems;
    loadChannelSecrets(store, {*record}, [&](QList<ChannelSettings> channels, QStringList why) {
        loaded = std::move(channels);
        problems = std::move(why);
        loop.quit();
    });
    loop.exec();
    if (loaded.isEmpty()) return refuse(err, problems.join(QStringLiteral("; ")));
    std::optional<ChannelTestOutcome> outcome;
    QObject context;
    testChannel(loaded.first(), thisProcess(QStringLiteral("sentrok-db")), &context,
                [&](ChannelTestOutcome o) {
                    outcome = std::move(o);
                    loop.quit();
                });
    if (!outcome) loop.exec();
    if (outcome->delivered) {
        out << "delivered: " << printableLine(outcome->words) << "\n";
        return 0;
    }
    return refuse(err, QStringLiteral("not delivered: ") + outcome->words);
}

}  // namespace

QString readSecretLine(QTextStream& err, const char* prompt)
{
    termios saved{};
    const bool terminal = isatty(STDIN_FILENO) && tcgetattr(STDIN_FILENO, &saved) == 0;
    if (terminal) {
        err << prompt << Qt::flush;
        termios quiet = saved;
        quiet.c_lflag &= ~tcflag_t(ECHO);
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    }
    QTextStream in(stdin);
    const QString line = in.readLine();
    if (terminal) {
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
        err << "\n";
    }
    return line;
}

int channelCommand(const QString& sub, const QStringList& rest,
                   const std::function<Database&()>& open, QTextStream& out, QTextStream& err)
{
    if (sub == u"add") return add(rest, open, out, err);
    if (sub == u"list" && rest.isEmpty()) return list(open(), out);
    if (rest.size() != 1 ||
        (sub != u"remove" && sub != u"test" && sub != u"enable" && sub != u"disable"))
        return -1;
    QString why;
    const std::optional<qint64> id = parseChannelId(rest[0], &why);
    if (!id) return refuse(err, why, 2);
    Database& db = open();
    if (sub == u"remove") return remove(db, *id, out, err);
    if (sub == u"test") return test(db, *id, out, err);
    const bool on = sub == u"enable";
    if (!setChannelEnabled(db, *id, on))
        return refuse(err, QStringLiteral("there is no channel %1").arg(*id));
    out << "channel " << *id << (on ? " enabled" : " disabled") << "\n";
    return 0;
}

}  // namespace sentrok
