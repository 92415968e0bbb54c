#include "store/totals.h"

#include "store/database.h"
#include "store/schema.h"

#include <QHash>
#include <QSet>
#include <QStringList>

#include <algorithm>
#include <cmath>
#include <map>

namespace sentrok {

namespace {

constexpr std::array<qint64, kReplyBuckets> makeLows()
{
    std::array<qint64, kReplyBuckets> lows{};
    qint64 low = 0;
    for (int i = 0; i < kReplyBuckets; ++i) {
        lows[std::size_t(i)] = low;
        low += std::max<qint64>(1, low / 5);
    }
    return lows;
}

constexpr std::array<qint64, kReplyBuckets> kLows = makeLows();
static_assert(kLows[10] == 10 && kLows[kReplyBuckets - 1] > 9000,
              "buckets reach the longest time-out users set");

// Stored dates are "yyyy-MM-dd HH:mm:ss"; the keys are their first 13 and 10 characters.
bool isStoredDate(const QString& dt)
{
    if (dt.size() < 13 || dt[4] != u'-' || dt[7] != u'-' || dt[10] != u' ') return false;
    for (int i : {0, 1, 2, 3, 5, 6, 8, 9, 11, 12})
        if (!dt[i].isDigit()) return false;
    return true;
}

// The upsert of `rows` rows at once: the rows' keys must differ from one another.
QString upsertSql(const QString& table, const QString& key, int rows = 1)
{
    QStringList names{key, QStringLiteral("id_ip")},
        marks{QStringLiteral("?"), QStringLiteral("?")};
    QStringList sets;
    for (const QString& c : totalsColumns().split(u',')) {
        names << c;
        marks << QStringLiteral("?");
        if (c == QLatin1String("reply_min") || c == QLatin1String("reply_max") ||
            c == QLatin1String("first_dt")) {
            const char* op = c == QLatin1String("reply_max") ? ">" : "<";
            sets << QStringLiteral(
                        "%1 = CASE WHEN %2.%1 IS NULL OR excluded.%1 %3 %2.%1 "
                        "THEN excluded.%1 ELSE %2.%1 END")
                        .arg(c, table, QLatin1String(op));
        } else {
            sets << QStringLiteral("%1 = %2.%1 + excluded.%1").arg(c, table);
        }
    }
    const QString row = u'(' + marks.join(u',') + u')';
    QStringList values;
    for (int i = 0; i < rows; ++i) values << row;
    return QStringLiteral("INSERT INTO %1 (%2) VALUES %3 ON CONFLICT (%4, id_ip) DO UPDATE SET %5")
        .arg(table, names.join(u','), values.join(u','), key, sets.join(u','));
}

void appendTotals(QVariantList& v, const QString& key, qint64 hostId, const ReplyTotals& t)
{
    v << key << hostId << t.checks << t.failed << t.replySum
      << (t.replyMin < 0 ? QVariant() : QVariant(t.replyMin))
      << (t.replyMax < 0 ? QVariant() : QVariant(t.replyMax));
    for (qint64 b : t.buckets) v << b;
    v << (t.firstDt.isEmpty() ? QVariant() : QVariant(t.firstDt));
}

// Rows written by one upsert: a batch of a thousand hosts costs a few statements, not a
// thousand (each one a round trip to a database server).
constexpr int kRowsPerUpsert = 100;

QString keyColumn(const QString& table)
{
    return table == kHourlyTable ? QStringLiteral("hour") : QStringLiteral("day");
}

}  // namespace

qint64 bucketLow(int bucket)
{
    return kLows[std::size_t(std::clamp(bucket, 0, kReplyBuckets - 1))];
}

int replyBucket(qint64 ms)
{
    if (ms < 10) return int(std::max<qint64>(ms, 0));
    return int(std::upper_bound(kLows.begin(), kLows.end(), ms) - kLows.begin()) - 1;
}

void ReplyTotals::addCheck(qint64 timeEcho, const QString& dt)
{
    if (!dt.isEmpty() && (firstDt.isEmpty() || dt < firstDt)) firstDt = dt;
    ++checks;
    if (timeEcho < 0) {
        ++failed;
        return;
    }
    replySum += timeEcho;
    replyMin = replyMin < 0 ? timeEcho : std::min(replyMin, timeEcho);
    replyMax = std::max(replyMax, timeEcho);
    ++buckets[std::size_t(replyBucket(timeEcho))];
}

void ReplyTotals::merge(const ReplyTotals& o)
{
    checks += o.checks;
    failed += o.failed;
    replySum += o.replySum;
    if (o.replyMin >= 0) replyMin = replyMin < 0 ? o.replyMin : std::min(replyMin, o.replyMin);
    replyMax = std::max(replyMax, o.replyMax);
    for (std::size_t i = 0; i < buckets.size(); ++i) buckets[i] += o.buckets[i];
    if (!o.firstDt.isEmpty() && (firstDt.isEmpty() || o.firstDt < firstDt)) firstDt = o.firstDt;
}

std::optional<double> ReplyTotals::mean() const
{
    if (replies() <= 0) return std::nullopt;
    return double(replySum) / double(replies());
}

std::optional<qint64> ReplyTotals::percentile(double q) const
{
    qint64 n = 0;
    for (qint64 b : buckets) n += b;
    if (n <= 0) return std::nullopt;
    const qint64 rank = std::clamp<qint64>(qint64(std::ceil(q * double(n))), 1, n);
    qint64 before = 0;
    for (int k = 0; k < kReplyBuckets; ++k) {
        const qint64 count = buckets[std::size_t(k)];
        if (before + count < rank) {
            before += count;
            continue;
        }
        // Spread the bucket's checks evenly over its width, then keep inside what was seen.
        const qint64 low = bucketLow(k);
        const qint64 high = k + 1 < kReplyBuckets ? bucketLow(k + 1) - 1 : std::max(low, replyMax);
        const double at = double(rank - before) / double(count);
        const qint64 v = low + qint64(std::llround(double(high - low) * at));
        return std::clamp(v, std::max<qint64>(replyMin, 0), std::max(replyMax, low));
    }
    return replyMax;
}

QString totalsColumns(const QString& prefix)
{
    QStringList c{QStringLiteral("checks"), QStringLiteral("failed"), QStringLiteral("reply_sum"),
                  QStringLiteral("reply_min"), QStringLiteral("reply_max")};
    for (int k = 0; k < kReplyBuckets; ++k) c << QStringLiteral("b%1").arg(k);
    c << QStringLiteral("first_dt");
    if (!prefix.isEmpty())
        for (QString& s : c) s.prepend(prefix);
    return c.join(u',');
}

QString summedTotalsColumns()
{
    QStringList c;
    for (const QString& s : totalsColumns().split(u',')) {
        const char* fn = s == QLatin1String("reply_max") ? "max"
                         : s == QLatin1String("reply_min") || s == QLatin1String("first_dt")
                             ? "min"
                             : "sum";
        c << QStringLiteral("%1(%2)").arg(QLatin1String(fn), s);
    }
    return c.join(u',');
}

ReplyTotals totalsFrom(const Result& r, int first)
{
    ReplyTotals t;
    const auto number = [&](int i, qint64 none) {
        const QVariant v = r.field(first + i);
        return v.isNull() ? none : v.toLongLong();
    };
    t.checks = number(0, 0);
    t.failed = number(1, 0);
    t.replySum = number(2, 0);
    t.replyMin = number(3, -1);
    t.replyMax = number(4, -1);
    for (int k = 0; k < kReplyBuckets; ++k) t.buckets[std::size_t(k)] = number(5 + k, 0);
    t.firstDt = r.field(first + 5 + kReplyBuckets).toString();
    return t;
}

void upsertTotals(Database& db, const QString& table, const QString& key, qint64 hostId,
                  const ReplyTotals& t)
{
    static const QString hourly = upsertSql(kHourlyTable, keyColumn(kHourlyTable));
    static const QString daily = upsertSql(kDailyTable, keyColumn(kDailyTable));
    QVariantList v;
    v.reserve(7 + kReplyBuckets);
    appendTotals(v, key, hostId, t);
    db.execute(table == kHourlyTable ? hourly : daily, v);
}

void addChecksToTotals(Database& db, const std::vector<RecordedCheck>& checks)
{
    // One row a host and hour (and day), however many checks of the batch fall in it.
    std::map<std::pair<QString, qint64>, ReplyTotals> hours, days;
    for (const RecordedCheck& c : checks) {
        if (!isStoredDate(c.dt))
            throw DbError(
                dbcode::Mismatch,
                QStringLiteral("время проверки \"%1\" не в виде ГГГГ-ММ-ДД ЧЧ:ММ:СС").arg(c.dt));
        hours[{c.dt.left(13), c.hostId}].addCheck(c.timeEcho, c.dt);
        days[{c.dt.left(10), c.hostId}].addCheck(c.timeEcho, c.dt);
    }
    const auto write = [&db](const QString& table,
                             const std::map<std::pair<QString, qint64>, ReplyTotals>& rows) {
        auto it = rows.cbegin();
        while (it != rows.cend()) {
            QVariantList v;
            int n = 0;
            for (; it != rows.cend() && n < kRowsPerUpsert; ++it, ++n)
                appendTotals(v, it->first.first, it->first.second, it->second);
            db.execute(upsertSql(table, keyColumn(table), n), v);
        }
    };
    write(kHourlyTable, hours);
    write(kDailyTable, days);
}

void createTotalsTables(Database& db)
{
    QStringList buckets;
    for (int k = 0; k < kReplyBuckets; ++k)
        buckets << QStringLiteral("b%1 INTEGER NOT NULL DEFAULT 0").arg(k);
    for (const QString& table : {kHourlyTable, kDailyTable}) {
        const QString key = keyColumn(table);
        // Time first: the recording path and the filling from the log both write in time
        // order, so new rows go to the end; periods are ranges of the key. The second index
        // serves one host's rows.
        db.execute(
            QStringLiteral(
                "CREATE TABLE %1 (%2 TEXT NOT NULL, "
                "id_ip INTEGER NOT NULL REFERENCES address (id) ON DELETE CASCADE, "
                "checks INTEGER NOT NULL DEFAULT 0, failed INTEGER NOT NULL DEFAULT 0, "
                "reply_sum INTEGER NOT NULL DEFAULT 0, reply_min INTEGER, reply_max INTEGER, "
                "%3, first_dt TEXT, PRIMARY KEY (%2, id_ip)) WITHOUT ROWID")
                .arg(table, key, buckets.join(QStringLiteral(", "))));
    }
}

void createTotalsIndexes(Database& db)
{
    db.execute(QStringLiteral("CREATE INDEX log_hourly_host ON log_hourly (id_ip, hour)"));
    db.execute(QStringLiteral("CREATE INDEX log_daily_host ON log_daily (id_ip, day)"));
}

void buildTotalsFromLog(Database& db, const std::function<void(qint64, qint64)>& progress)
{
    qint64 total = 0;
    {
        Result r = db.execute(QStringLiteral("SELECT count(*) FROM log"));
        total = r.field(0).toLongLong();
    }
    // The log is read once in the order it was written, which is the order of time: each host
    // has one hour and one day open at a time, written out when its next check falls in a new
    // one. Rows out of time order only add to a row written before.
    struct Open {
        QString hour, day;
        ReplyTotals hourTotals, dayTotals;
    };
    QHash<qint64, Open> open;
    // Rows of hosts that are gone (left by a file kept without its links) have no totals.
    QSet<qint64> hosts;
    for (Result a = db.execute(QStringLiteral("SELECT id FROM address")); !a.eof(); a.moveNext())
        hosts.insert(a.field(0).toLongLong());
    qint64 done = 0;
    if (progress) progress(0, total);
    Result r = db.execute(QStringLiteral("SELECT id_ip, dt, time_echo FROM log ORDER BY ") +
                          rowKey(db, QStringLiteral("log")));
    for (; !r.eof(); r.moveNext()) {
        const qint64 host = r.field(0).toLongLong();
        const QString dt = r.field(1).toString();
        bool numeric = false;
        qint64 echo = r.field(2).toLongLong(&numeric);
        if (!numeric) echo = -1;  // what the monitor records for a result it could not read
        if (++done % 100000 == 0 && progress) progress(done, total);
        if (!isStoredDate(dt) || !hosts.contains(host)) continue;
        Open& o = open[host];
        const QStringView hour = QStringView(dt).left(13), day = QStringView(dt).left(10);
        if (o.hour != hour) {
            if (o.hourTotals.checks) upsertTotals(db, kHourlyTable, o.hour, host, o.hourTotals);
            o.hour = hour.toString();
            o.hourTotals = {};
        }
        if (o.day != day) {
            if (o.dayTotals.checks) upsertTotals(db, kDailyTable, o.day, host, o.dayTotals);
            o.day = day.toString();
            o.dayTotals = {};
        }
        o.hourTotals.addCheck(echo, dt);
        o.dayTotals.addCheck(echo, dt);
    }
    for (auto it = open.cbegin(); it != open.cend(); ++it) {
        if (it->hourTotals.checks)
            upsertTotals(db, kHourlyTable, it->hour, it.key(), it->hourTotals);
        if (it->dayTotals.checks) upsertTotals(db, kDailyTable, it->day, it.key(), it->dayTotals);
    }
    if (progress) progress(total, total);
}

}  // namespace sentrok
