#pragma once

#include <QString>

namespace sentrok {

// Brings the database file up to this program's version before anything else opens it, with a
// window that says what is being done and how far it has got; the work runs on a thread of its
// own, so the window keeps answering. Cancelling leaves the file as it was and returns false.
// Throws DbError when the file cannot be opened or the upgrade fails.
bool upgradeAtStart(const QString& dbFile);

}  // namespace sentrok
