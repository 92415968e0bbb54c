#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

#include <atomic>
#include <memory>

class QThread;

namespace sentrok {

// Empties tables a batch of rows at a time, on a thread of its own with a connection of its own:
// the window stays usable and passes keep recording meanwhile. Only the rows there when it starts
// go (those up to each table's largest `id` at that moment); rows written later stay. Between two
// batches the lock is let go, so other writers get their turn. A database locked by another program
// makes it wait, as recording does.
class TablePurge : public QObject {
    Q_OBJECT
public:
    // Tables are emptied in the order given.
    TablePurge(QString database, QStringList tables, QObject* parent = nullptr);
    // Stops after the batch under way; what is deleted stays deleted.
    ~TablePurge() override;

    void start();
    bool running() const;

    // Rows deleted at a time.
    static constexpr int kBatchRows = 20000;

signals:
    // The bounds are taken: rows written from now on stay.
    void boundsTaken();
    // The end: `error` is empty when every table was emptied.
    void finished(const QString& error);

private:
    void run();

    QString m_database;
    QStringList m_tables;
    std::unique_ptr<QThread> m_thread;
    std::atomic<bool> m_stop{false};
    QString m_error;  // written by the thread, read after it has finished
};

}  // namespace sentrok
