// sentrok-db: makes a new database file and adds hosts to it from the command line.

#include "store/database.h"
#include "store/schema.h"

#include <QCoreApplication>
#include <QStringList>
#include <QTextStream>

using namespace sentrok;

namespace {

int usage(QTextStream& err)
{
    err << "usage:\n"
           "  sentrok-db create PATH              make a new database file (never overwrites)\n"
           "  sentrok-db add-host PATH IP [DESC]  add a host with the default probe settings\n";
    return 2;
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
        if (command == QLatin1String("create") && args.size() == 2) {
            createDatabase(path);
            out << "created " << path << "\n";
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
