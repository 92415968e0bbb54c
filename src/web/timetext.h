#pragma once

#include <QHash>
#include <QString>

namespace sentrok::web {

// Times (ms since the epoch) as the web side writes them, in the server's local time: the page
// shows the same wall-clock times as the monitor's windows, wherever the reader is. A page of ten
// thousand hosts writes tens of thousands of times; the local clock's offset is asked once an hour
// of time, as the C library's time-zone code is slow to ask every time.
class TimeText {
public:
    // "2024-05-06T07:08:09+03:00"
    QString iso(qint64 ms);
    // "06.05.2024 07:08:09"
    QString full(qint64 ms);
    // "06.05 07:08"
    QString brief(qint64 ms);
    // "07:08" or "06.05" for a chart's axis.
    QString clock(qint64 ms);
    QString day(qint64 ms);

private:
    struct Civil {
        int year, month, day, hour, minute, second;
        int offsetSecs;
    };
    Civil civil(qint64 ms);
    QHash<qint64, int> m_offsets;  // by hour since the epoch
};

// "3 ч 05 мин", "45 с": how long something lasted, for people.
QString spanText(qint64 secs);

}  // namespace sentrok::web
