#include "common/clock.h"

#include <time.h>

namespace sentrok {

QDateTime SystemClock::now() const { return QDateTime::currentDateTime(); }

qint32 SystemClock::uptimeMs() const
{
    timespec ts{};
    clock_gettime(CLOCK_BOOTTIME, &ts);
    const quint64 ms = quint64(ts.tv_sec) * 1000u + quint64(ts.tv_nsec) / 1000000u;
    return qint32(quint32(ms));  // wraps like a 32-bit tick counter
}

}  // namespace sentrok
