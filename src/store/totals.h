#pragma once

#include <QString>

#include <array>
#include <functional>
#include <optional>
#include <vector>

namespace sentrok {

class Database;

// Per-host totals of the checks, by hour and by day, kept beside the log so that a period's
// figures come from a few thousand rows rather than millions. Keys are local-time texts:
// "yyyy-MM-dd HH" for an hour, "yyyy-MM-dd" for a day.
inline const QString kHourlyTable = QStringLiteral("log_hourly");
inline const QString kDailyTable = QStringLiteral("log_daily");

// Reply times are counted in buckets: one a millisecond below 10 ms, then each a fifth wider
// than the one before, the last open-ended. A percentile read from them is exact below 10 ms
// and otherwise off by less than a fifth of the value.
inline constexpr int kReplyBuckets = 50;
qint64 bucketLow(int bucket);
int replyBucket(qint64 ms);

struct ReplyTotals {
    qint64 checks = 0;
    qint64 failed = 0;
    qint64 replySum = 0;                  // over the answered checks
    qint64 replyMin = -1, replyMax = -1;  // -1: no answered check
    std::array<qint64, kReplyBuckets> buckets{};
    QString firstDt{};  // the earliest check, kept so a host's first check outlives the log

    // A check's stored result: the mean reply time, negative when it failed.
    void addCheck(qint64 timeEcho, const QString& dt = {});
    void merge(const ReplyTotals& other);
    qint64 replies() const { return checks - failed; }
    std::optional<double> mean() const;
    // Nearest-rank percentile (0 < q <= 1) of the answered checks, read from the buckets.
    std::optional<qint64> percentile(double q) const;
};

// One check as the recording path wrote it to the log.
struct RecordedCheck {
    qint64 hostId = 0;
    QString dt{};  // "yyyy-MM-dd HH:mm:ss"
    qint64 timeEcho = -1;
};

// Adds checks to the hourly and daily totals. Runs inside the caller's open transaction, so
// the totals change exactly when the log rows do. Throws DbError.
void addChecksToTotals(Database& db, const std::vector<RecordedCheck>& checks);

// Writes totals for one key (an hour or a day) of one host, adding to what is there.
void upsertTotals(Database& db, const QString& table, const QString& key, qint64 hostId,
                  const ReplyTotals& t);

// Reads the total columns of a row whose first total column is at `first`.
class Result;
ReplyTotals totalsFrom(const Result& r, int first);
// "checks,failed,reply_sum,reply_min,reply_max,b0,...,first_dt": the columns totalsFrom reads.
QString totalsColumns(const QString& prefix = {});
// The same columns summed over a group, for GROUP BY queries.
QString summedTotalsColumns();

// The table statements of the totals, and the filling of them from an existing log, one row
// at a time in the log's own order. `progress` gets (rows done, rows in all) now and then.
void createTotalsTables(Database& db);
// Made after the filling: an index built at once is a sort, one grown row by row is not.
void createTotalsIndexes(Database& db);
void buildTotalsFromLog(Database& db, const std::function<void(qint64, qint64)>& progress);

}  // namespace sentrok
