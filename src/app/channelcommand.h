#pragma once

#include <QString>
#include <QStringList>
#include <QTextStream>

#include <functional>

namespace sentrok {

class Database;

// One line from standard input, without echo when a person types it; `prompt` goes to `err`
// first on a terminal.
QString readSecretLine(QTextStream& err, const char* prompt);

// `sentrok-db channel SUB PATH ...`: `rest` is what follows PATH. `open` opens the database (and
// brings it up to date) when the command is sound enough to need it; it stays open until the
// command returns. Returns the exit status.
int channelCommand(const QString& sub, const QStringList& rest,
                   const std::function<Database&()>& open, QTextStream& out, QTextStream& err);

// The usage lines of the channel commands.
extern const char* const kChannelUsage;

}  // namespace sentrok
