#pragma once

#include <QString>

#include <memory>

namespace sentrok {

class Database;

// The right to run passes against one database, held by one process at a time. On PostgreSQL it
// is a session advisory lock of the connection that records, which the server lets go when that
// connection dies; on SQLite a lock on a file beside the database, which the system lets go when
// the process dies. Used on the thread of the connection it was made with.
class Lease {
public:
    // The lease of the database `db` is connected to; `db` must outlive it.
    static std::unique_ptr<Lease> of(Database& db);
    virtual ~Lease() = default;

    // Takes the lease when it is free; true when this process holds it (then or already), false
    // when another does. `holder` names this process for the others ("sentrok-monitor на host,
    // pid 123"). Throws DbError when it cannot be taken for another reason (a lease file that
    // cannot be used, the database out of reach), in words that say what to do.
    virtual bool tryAcquire(const QString& holder) = 0;
    // Still held: false once the connection it was taken on has been lost, or the lock file has
    // been deleted or replaced. Asked inside each recording transaction.
    virtual bool held() = 0;
    virtual void release() = 0;
    // Who holds it (the words given to tryAcquire), or empty when nobody does.
    virtual QString holder() = 0;
};

// The two kinds, one for each engine (Engine::lease): a lock on the file `databaseFile` with
// ".monitor" added, or the server's advisory lock taken through `db`, which must outlive it.
std::unique_ptr<Lease> fileLease(const QString& databaseFile);
std::unique_ptr<Lease> serverLease(Database& db);

// This process, as the lease names it to the others.
QString thisProcess(const QString& program);

}  // namespace sentrok
