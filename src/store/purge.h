#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

#include <atomic>
#include <memory>

namespace sentrok {

class Database;
class DbWorker;

// Empties tables a batch of rows at a time, on a thread of its own with a connection of its own:
// the window stays usable and passes keep recording meanwhile. Only the rows there when it starts
// go (those up to each table's largest `id` at that moment); rows written later stay. Each batch
// holds the lock for about BatchSizer's time and then lets it go, so other writers get their turn
// within it. A database locked by another program makes it wait, as recording does.
class TablePurge : public QObject {
    Q_OBJECT
public:
    // `tables` are emptied in the order given, a batch of rows at a time; `wholeAtStart` (tables
    // without an `id`) go whole, in the same moment the bounds are taken.
    TablePurge(QString database, QStringList tables, QStringList wholeAtStart = {},
               QObject* parent = nullptr);
    // Stops after the batch under way; what is deleted stays deleted.
    ~TablePurge() override;

    void start();
    bool running() const;

    // Rows deleted by the first batch, and at most by one.
    static constexpr qint64 kFirstBatchRows = 2000;
    static constexpr qint64 kMostBatchRows = 50000;

signals:
    // The bounds are taken: rows written from now on stay.
    void boundsTaken();
    // The end: `error` is empty when every table was emptied.
    void finished(const QString& error);

private:
    void run(Database& db);

    QString m_database;
    QStringList m_tables;
    QStringList m_wholeAtStart;
    std::unique_ptr<DbWorker> m_worker;
    std::atomic<bool> m_stop{false};
    bool m_running = false;
};

}  // namespace sentrok
