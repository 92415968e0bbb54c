#include "app/dbcommands.h"

#include "common/conversions.h"
#include "common/datetext.h"
#include "store/database.h"
#include "store/maintenance.h"

#include <QDateTime>

namespace sentrok {

namespace {

const QString kWindowTimeFormat = QStringLiteral("yyyy-MM-dd HH:mm");

std::optional<qint64> positiveId(const QString& text)
{
    bool ok = false;
    const qint64 id = text.toLongLong(&ok);
    if (!ok || id <= 0) return std::nullopt;
    return id;
}

bool hostExists(Database& db, qint64 id)
{
    return db.execute(QStringLiteral("select count(*) from address where id=?"), {id})
               .field(0)
               .toLongLong() > 0;
}

// The window the options of "maintenance add" say, or the words of what is wrong with them.
std::optional<MaintenanceWindow> parseWindow(const QStringList& args, QString* problem)
{
    MaintenanceWindow w;
    bool all = false, host = false, from = false, to = false;
    const auto fail = [&](const QString& why) {
        *problem = why;
        return std::nullopt;
    };
    for (qsizetype i = 0; i < args.size(); ++i) {
        const QString& a = args[i];
        const bool takesValue = a == QLatin1String("--host") || a == QLatin1String("--from") ||
                                a == QLatin1String("--to") || a == QLatin1String("--comment");
        if (takesValue && i + 1 >= args.size()) return fail(a + QStringLiteral(" wants a value"));
        if (a == QLatin1String("--host")) {
            const std::optional<qint64> id = positiveId(args[++i]);
            if (!id)
                return fail(QStringLiteral("--host wants a host id, not \"%1\"")
                                .arg(printableText(args[i])));
            w.hostId = *id;
            host = true;
        } else if (a == QLatin1String("--from") || a == QLatin1String("--to")) {
            const QDateTime t = QDateTime::fromString(args[++i].trimmed(), kWindowTimeFormat);
            if (!t.isValid())
                return fail(QStringLiteral("%1 wants a local time as YYYY-MM-DD HH:MM, not \"%2\"")
                                .arg(a, printableText(args[i])));
            (a == QLatin1String("--from") ? w.from : w.to) = t;
            (a == QLatin1String("--from") ? from : to) = true;
        } else if (a == QLatin1String("--comment")) {
            w.comment = args[++i];
        } else if (a == QLatin1String("--all")) {
            all = true;
        } else if (a == QLatin1String("--with-children")) {
            w.withChildren = true;
        } else if (a == QLatin1String("--daily") || a == QLatin1String("--weekly")) {
            if (w.repeat != Repeat::Once)
                return fail(QStringLiteral("give --daily or --weekly, not both"));
            w.repeat = a == QLatin1String("--daily") ? Repeat::Daily : Repeat::Weekly;
        } else {
            return fail(QStringLiteral("unknown option \"%1\"").arg(printableText(a)));
        }
    }
    if (host == all) return fail(QStringLiteral("give either --host ID or --all"));
    if (all && w.withChildren) return fail(QStringLiteral("--with-children goes with --host"));
    if (!from || !to) return fail(QStringLiteral("a window wants --from and --to"));
    return w;
}

int addWindow(const QStringList& args, const OpenDatabase& open, QTextStream& out, QTextStream& err)
{
    QString problem;
    const std::optional<MaintenanceWindow> w = parseWindow(args, &problem);
    if (!w) {
        err << "sentrok-db: " << problem << "; nothing added\n";
        return 2;
    }
    if (const std::optional<QString> refusal = windowRefusal(*w)) {
        err << "sentrok-db: " << *refusal << "; nothing added\n";
        return 1;
    }
    Database& db = open();
    if (w->hostId && !hostExists(db, w->hostId)) {
        err << "sentrok-db: there is no host " << w->hostId << "; nothing added\n";
        return 1;
    }
    out << "added maintenance window " << addMaintenanceWindow(db, *w) << "\n";
    return 0;
}

int listWindows(const OpenDatabase& open, QTextStream& out)
{
    for (const MaintenanceWindow& w : maintenanceWindows(open())) {
        out << w.id << "\t"
            << (w.hostId ? QStringLiteral("host %1%2")
                               .arg(w.hostId)
                               .arg(w.withChildren ? QStringLiteral(" with children") : QString())
                         : QStringLiteral("all hosts"))
            << "\t" << w.from.toString(kWindowTimeFormat) << "\t"
            << w.to.toString(kWindowTimeFormat) << "\t" << repeatName(w.repeat) << "\t"
            << printableText(w.comment) << "\n";
    }
    return 0;
}

}  // namespace

std::optional<int> confirmArgument(const QString& text, QTextStream& err)
{
    int n = 0;
    if (confirmRefusal(text, &n)) {
        err << "sentrok-db: the failed checks before an alert must be a whole number from "
            << kConfirmMin << " to " << kConfirmMax << ", not \"" << printableText(text) << "\"\n";
        return std::nullopt;
    }
    return n;
}

int setConfirmCommand(const QStringList& args, const OpenDatabase& open, QTextStream& out,
                      QTextStream& err)
{
    if (args.size() != 2) return kUsage;
    const std::optional<qint64> host = positiveId(args[0]);
    if (!host) {
        err << "sentrok-db: set-confirm wants a host id, not \"" << printableText(args[0])
            << "\"\n";
        return 2;
    }
    const std::optional<int> n = confirmArgument(args[1], err);
    if (!n) return 2;
    if (!setConfirm(open(), *host, *n)) {
        err << "sentrok-db: there is no host " << *host << "; nothing changed\n";
        return 1;
    }
    out << "host " << *host << " is announced down after " << *n << " failed check"
        << (*n == 1 ? "" : "s") << " in a row\n";
    return 0;
}

int maintenanceCommand(const QStringList& args, const OpenDatabase& open, QTextStream& out,
                       QTextStream& err)
{
    const QString sub = args.value(0);
    if (sub == QLatin1String("add")) return addWindow(args.mid(1), open, out, err);
    if (sub == QLatin1String("list") && args.size() == 1) return listWindows(open, out);
    if (sub == QLatin1String("remove") && args.size() == 2) {
        const std::optional<qint64> id = positiveId(args[1]);
        if (!id) {
            err << "sentrok-db: maintenance remove wants a window id, not \""
                << printableText(args[1]) << "\"\n";
            return 2;
        }
        if (!removeMaintenanceWindow(open(), *id)) {
            err << "sentrok-db: there is no maintenance window " << *id << "\n";
            return 1;
        }
        out << "removed maintenance window " << *id << "\n";
        return 0;
    }
    return kUsage;
}

}  // namespace sentrok
