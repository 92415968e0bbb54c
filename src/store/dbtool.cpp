// sentrok-db: makes a new database file, adds hosts to it, brings an older file up to date
// and prints the availability of every host, from the command line.

#include "common/datetext.h"
#include "history/csv.h"
#include "history/historyquery.h"
#include "store/database.h"
#include "store/schema.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QStringList>
#include <QTextStream>

#include <cstdint>
#include <limits>
#include <optional>

using namespace sentrok;

namespace {

int usage(QTextStream& err)
{
    err << "usage:\n"
           "  sentrok-db create PATH [--interval MIN]\n"
           "                                      make a new database file (never overwrites);\n"
           "                                      MIN: minutes between passes, 10 unless given\n"
           "  sentrok-db add-host PATH IP [DESC]  add a host with the default probe settings\n"
           "  sentrok-db upgrade PATH             bring an older file up to this version\n"
           "  sentrok-db availability PATH [--from \"YYYY-MM-DD HH:MM:SS\"]\n"
           "                             [--to \"YYYY-MM-DD HH:MM:SS\"] [--csv]\n"
           "                                      each host's figures; by default the last 30 days\n";
    return 2;
}

// The check interval a new file starts with: whole minutes whose seconds fit the monitor's
// 32-bit count, as the administration window accepts them.
constexpr int kMaxIntervalMin = std::numeric_limits<std::int32_t>::max() / 60;

std::optional<int> parseInterval(const QString& text)
{
    bool ok = false;
    const int minutes = text.toInt(&ok);
    if (!ok || minutes < 1 || minutes > kMaxIntervalMin) return std::nullopt;
    return minutes;
}

// Opens the file and brings it up to date first, telling on standard error what it does.
std::unique_ptr<Database> openCurrent(const QString& path, QTextStream& err)
{
    auto db = std::make_unique<Database>(path, Database::uniqueName(QStringLiteral("sentrok-db")));
    int shown = -1;
    upgradeSchema(*db, [&](int version, const QString& what, qint64 done, qint64 total) {
        const int percent = total > 0 ? int(done * 100 / total) : 0;
        if (percent == shown && done) return;
        shown = percent;
        err << "sentrok-db: version " << version << ": " << what;
        if (total > 0) err << ": " << done << " of " << total << " log rows (" << percent << "%)";
        err << "\n";
        err.flush();
    });
    return db;
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
                << options[i] << "\"\n";
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
    auto db = openCurrent(path, err);
    std::vector<HostFigures> figures = availabilityOf(*db, from, to);
    std::sort(figures.begin(), figures.end(),
              [](const HostFigures& a, const HostFigures& b) { return a.id < b.id; });
    out << (csv ? figuresCsv(figures) : figuresText(figures));
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QTextStream out(stdout), err(stderr);
    const QStringList args = app.arguments().mid(1);
    if (args.size() < 2) return usage(err);
    const QString command = args[0], path = args[1];
    try {
        if (command == QLatin1String("upgrade") && args.size() == 2) {
            auto db = openCurrent(path, err);
            out << path << " is at version " << schemaVersion(*db) << "\n";
            return 0;
        }
        if (command == QLatin1String("availability"))
            return availability(path, args.mid(2), out, err);
        if (command == QLatin1String("create")) {
            int minutes = 10;
            if (args.size() == 4 && args[2] == QLatin1String("--interval")) {
                const std::optional<int> given = parseInterval(args[3]);
                if (!given) {
                    err << "sentrok-db: the interval must be a whole number of minutes from 1 to "
                        << kMaxIntervalMin << "\n";
                    return 1;
                }
                minutes = *given;
            } else if (args.size() != 2) {
                return usage(err);
            }
            createDatabase(path);
            if (minutes != 10) {
                Database db(path, Database::uniqueName(QStringLiteral("sentrok-db")));
                db.execute(QStringLiteral("update options set refresh_time=?"), {minutes});
            }
            out << "created " << path << ", a pass every " << minutes << " min\n";
            return 0;
        }
        if (command == QLatin1String("add-host") && (args.size() == 3 || args.size() == 4)) {
            const QString ip = args[2].trimmed();
            if (ip.isEmpty() || ip.size() > 64) {
                err << "sentrok-db: the address must hold 1 to 64 characters\n";
                return 1;
            }
            auto db = openCurrent(path, err);
            const qint64 id = addHost(*db, ip, args.size() == 4 ? args[3] : QString());
            out << "added host " << id << " " << ip << "\n";
            return 0;
        }
    } catch (const DbError& e) {
        err << "sentrok-db: " << e.userText() << "\n";
        return 1;
    }
    return usage(err);
}
