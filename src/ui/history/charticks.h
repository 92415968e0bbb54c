#pragma once

#include <QLocale>
#include <QString>
#include <QtGlobal>

#include <vector>

namespace sentrok {

// A value axis from 0: the step is 1, 2 or 5 times a power of ten, the top the first multiple
// of the step at or above the highest value (1 at the least), with at most `intervals` steps up
// to it.
struct ValueScale {
    double step = 1;
    double top = 1;
    int intervals() const { return int(top / step + 0.5); }
};
ValueScale valueScale(double highest, int intervals);

// A mark on a time axis at a round local time: whole minutes, hours (1, 2, 3, 6, 12) or days,
// labelled through the locale.
struct TimeTick {
    qint64 msecs = 0;
    QString label{};
};

// The round times in [fromMs, toMs] at the smallest step that gives at most `most` intervals
// over the span (so at most `most` + 1 marks, where both ends fall on one).
// Within a day the labels are times; over longer stretches a mark at midnight shows its date and
// the others their date and time, so no two labels are alike.
std::vector<TimeTick> timeTicks(qint64 fromMs, qint64 toMs, int most,
                                const QLocale& locale = QLocale());

// The locale's short date without the year ("07.12", "12/7", "7 Dec").
QString dayMonthFormat(const QLocale& locale);
// The locale's short time without seconds ("20:07", "8:07 PM").
QString hourMinuteFormat(const QLocale& locale);
// The widest label a mark may have, for working out how many fit.
QString widestTimeLabel(const QLocale& locale = QLocale());

}  // namespace sentrok
