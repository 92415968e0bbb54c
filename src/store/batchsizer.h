#pragma once

#include <QtGlobal>

#include <algorithm>

namespace sentrok {

// Sizes the batches of background work (the log's thinning, the purge) so that each holds the
// database for about kTargetMs, whatever the disk and the size of the tables: a pass that wants to
// write meanwhile waits for one batch at most, and a batch never takes the write lock for longer
// than a turn of the window's event loop may last. The next batch follows the rate of the last
// one, growing at most twice as large at a time.
class BatchSizer {
public:
    static constexpr qint64 kTargetMs = 20;

    BatchSizer(qint64 first, qint64 least, qint64 most)
        : m_size(std::clamp(first, least, most)), m_least(least), m_most(most)
    {
    }

    qint64 size() const { return m_size; }
    // A batch of `rows` took `elapsedNs`.
    void done(qint64 rows, qint64 elapsedNs)
    {
        if (rows <= 0) return;
        const qint64 fitting = rows * kTargetMs * 1'000'000 / std::max<qint64>(elapsedNs, 1);
        m_size = std::clamp(std::min(fitting, 2 * m_size), m_least, m_most);
    }

private:
    qint64 m_size, m_least, m_most;
};

}  // namespace sentrok
