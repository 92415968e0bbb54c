#pragma once

#include <QStringList>
#include <QTextStream>

#include <functional>
#include <optional>

namespace sentrok {

class Database;

// sentrok-db's commands for what is announced: the failed checks before an outage is announced,
// and the maintenance windows. `open` opens the database (brought up to date) once the arguments
// are found good; the exit code is returned: 0 done, 1 refused, 2 wrong arguments, or kUsage
// where the command's shape is wrong and the usage is to be shown.
inline constexpr int kUsage = -1;
using OpenDatabase = std::function<Database&()>;

// A confirmation count given on the command line, or nothing after saying why on `err`.
std::optional<int> confirmArgument(const QString& text, QTextStream& err);

int setConfirmCommand(const QStringList& args, const OpenDatabase& open, QTextStream& out,
                      QTextStream& err);
int maintenanceCommand(const QStringList& args, const OpenDatabase& open, QTextStream& out,
                       QTextStream& err);

}  // namespace sentrok
