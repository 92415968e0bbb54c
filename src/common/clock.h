#pragma once

#include <QDateTime>

namespace sentrok {

// The one source of "now" for check times, outage times, the scheduler's tick and the e-mail
// date line. Tests hand in a clock they can move.
class Clock {
public:
    virtual ~Clock() = default;
    virtual QDateTime now() const = 0;
    // Milliseconds since the system started, read as a signed 32-bit number: it turns
    // negative after about 24.8 days, as the status bar is meant to show.
    virtual qint32 uptimeMs() const = 0;
};

class SystemClock final : public Clock {
public:
    QDateTime now() const override;
    qint32 uptimeMs() const override;
};

}  // namespace sentrok
