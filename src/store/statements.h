#pragma once

#include <QString>
#include <QStringList>

#include <algorithm>
#include <vector>

namespace sentrok {

// Helpers for statements that carry many rows at once.

// Rows written, or values looked up, by one statement.
inline constexpr int kRowsPerStatement = 200;

// "(?,?),(?,?)" for `rows` rows of `columns` values.
inline QString valueRows(int rows, int columns)
{
    QString one = QStringLiteral("(?");
    for (int c = 1; c < columns; ++c) one += QStringLiteral(",?");
    one += u')';
    QStringList all;
    all.reserve(rows);
    for (int r = 0; r < rows; ++r) all << one;
    return all.join(u',');
}

// "?,?,?" for n values.
inline QString marks(int n)
{
    QString out;
    out.reserve(2 * n);
    for (int i = 0; i < n; ++i) out += i ? QStringLiteral(",?") : QStringLiteral("?");
    return out;
}

// Calls fn(at, end) for each run of at most kRowsPerStatement items.
template <typename T, typename Fn>
void inChunks(const std::vector<T>& items, Fn&& fn)
{
    for (std::size_t at = 0; at < items.size(); at += kRowsPerStatement) {
        const std::size_t end = std::min(items.size(), at + std::size_t(kRowsPerStatement));
        fn(at, end);
    }
}

}  // namespace sentrok
