// sentrok-db: makes a new database file and adds hosts to it from the command line.

#include "store/database.h"
#include "store/schema.h"

#include <QCoreApplication>
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
           "  sentrok-db add-host PATH IP [DESC]  add a host with the default probe settings\n";
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

}  // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QTextStream out(stdout), err(stderr);
    const QStringList args = app.arguments().mid(1);
    if (args.size() < 2) return usage(err);
    const QString command = args[0], path = args[1];
    try {
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
            Database db(path, Database::uniqueName(QStringLiteral("sentrok-db")));
            const qint64 id = addHost(db, ip, args.size() == 4 ? args[3] : QString());
            out << "added host " << id << " " << ip << "\n";
            return 0;
        }
    } catch (const DbError& e) {
        err << "sentrok-db: " << e.userText() << "\n";
        return 1;
    }
    return usage(err);
}
