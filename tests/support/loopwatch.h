#pragma once

#include <QElapsedTimer>
#include <QTimer>

#include <algorithm>

namespace sentrok::test {

// The worst gap between two ticks of a 10 ms timer while it lives: how long the event loop was
// held up. Tests bound it loosely (a window frozen on a lock shows as seconds, not milliseconds).
struct LoopWatch {
    QTimer timer{};
    QElapsedTimer clock{};
    qint64 last = 0, worst = 0;
    LoopWatch()
    {
        QObject::connect(&timer, &QTimer::timeout, [this] {
            const qint64 now = clock.elapsed();
            worst = std::max(worst, now - last);
            last = now;
        });
        clock.start();
        timer.start(10);
    }
};

}  // namespace sentrok::test
