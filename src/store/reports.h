#pragma once

#include <QLocale>
#include <QString>

namespace sentrok {

class Database;

// The most rows a report shows.
inline constexpr int kReportRows = 1500;

// The plain-text reports of one host. Each is a header line, a rule of underscores and one line
// per row, the two values of a row separated by a tab; every line ends with CR LF. Dates read
// in the locale's general form. Throws DbError.

// The newest checks, newest first: the time of the check and the reply time as stored.
QString checksReport(Database& db, qint64 hostId, const QLocale& locale = QLocale());
// Outages in the database's own order: start and end, the end "0:00:00" while still open.
QString outagesReport(Database& db, qint64 hostId, const QLocale& locale = QLocale());

}  // namespace sentrok
