#pragma once

#include "web/statussnapshot.h"

#include <QHash>
#include <QMap>
#include <QStringList>

#include <deque>
#include <memory>

namespace sentrok {
class Database;
class Lease;
struct StatusEventRow;
}  // namespace sentrok

namespace sentrok::web {

// What the program says of itself, beside what the database says.
struct StatusFacts {
    bool monitoring = false;
    QStringList problems{};
};

// An event as the database keeps it, as the web side tells it.
StatusEvent statusEvent(const StatusEventRow& e);

// Makes snapshots from one database connection, carrying on from the last: used on one thread.
class StatusBuilder {
public:
    // `recentEvents`: the events a snapshot keeps; `rowsPerRead`: the log rows (or events) read by
    // one statement, a day of a thousand hosts' checks after the web side was away.
    explicit StatusBuilder(int recentEvents = 500, int rowsPerRead = 20'000);
    ~StatusBuilder();

    // The marks of news: the newest log row, event and pass. Three small statements.
    struct Marks {
        qint64 check = 0, oldestCheck = 0, event = 0, pass = 0;
        bool passOpen = false;
        bool operator==(const Marks&) const = default;
    };
    Marks look(Database& db) const;

    // Whether news since the last snapshot calls for a new one: a change of state or of the
    // passes at once, checks alone every `checksEveryMs`, nothing every `quietEveryMs`.
    bool due(const Marks& now, qint64 nowMs, int checksEveryMs, int quietEveryMs) const;

    // A snapshot of now. Throws DbError; then the next call starts afresh.
    std::shared_ptr<StatusSnapshot> build(Database& db, qint64 nowMs, const StatusFacts& facts);

private:
    struct Track;
    // The log rows counted so far are gone (the log emptied, or another file at the path): what
    // was carried on must be read afresh.
    bool logStartedAgain(const Marks& m) const;
    void loadAll(Database& db, qint64 nowMs);
    void readNewChecks(Database& db);
    void readNewEvents(Database& db);
    void addEvent(StatusEvent e);
    void probeWrites(Database& db, qint64 nowMs);
    void fillHosts(Database& db, StatusSnapshot& s, qint64 nowMs);

    int m_recentEvents;
    int m_rowsPerRead;
    bool m_loaded = false;
    qint64 m_checkCursor = 0, m_eventCursor = 0;
    QHash<qint64, std::shared_ptr<Track>> m_tracks;
    QString m_newestCheck;  // stored date text
    std::deque<StatusEvent> m_events;
    qint64 m_eventsFloor = 0;
    std::array<qint64, kReplyBuckets> m_buckets{};
    qint64 m_replySum = 0;
    QHash<qint64, QString> m_lastRecovery;
    std::unique_ptr<Lease> m_lease;
    QString m_writeProblem;
    qint64 m_probedMs = -1;
    Marks m_built;
    qint64 m_builtMs = -1;
};

}  // namespace sentrok::web
