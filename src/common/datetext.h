#pragma once

#include <QDateTime>
#include <QLocale>
#include <QString>
#include <QVariant>

namespace sentrok {

// Date-times are stored as local-time text "yyyy-MM-dd HH:mm:ss".
inline const QString kStoredDateFormat = QStringLiteral("yyyy-MM-dd HH:mm:ss");
// The zero date: the end time of an outage that is still open.
inline const QString kZeroDate = QStringLiteral("1899-12-30 00:00:00");

QString storedDateText(const QDateTime& dt);
// A stored text (or a date-time value) read back; invalid when it is neither.
QDateTime fromStored(const QVariant& value);

// The locale's general date-time form: short date, a blank, the time with seconds. A value at
// exactly midnight shows its date alone; a value on the zero date shows its time alone, so the
// zero date itself reads "0:00:00" under a Russian locale.
QString generalDateText(const QDateTime& dt, const QLocale& locale = QLocale());

// For a database field: a date-time in the general form, NULL as an empty text, anything that
// is not a date-time as its own text.
QString displayText(const QVariant& value, const QLocale& locale = QLocale());

}  // namespace sentrok
