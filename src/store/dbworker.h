#pragma once

#include "store/database.h"

#include <QObject>
#include <QPointer>
#include <QThread>

#include <functional>
#include <memory>

namespace sentrok {

// A thread with a database connection of its own: the one way the program runs database work that
// must not hold up a window or a pass (the recording, the log's thinning and purge, the upgrade at
// start, the history's queries). Jobs run one after the other on it; their results come back as
// values, on the thread of the object that asked, and only while that object lives.
class DbWorker final {
public:
    // Background work yields the processor to the window's thread: on a busy machine the window
    // then still answers at once, and the work takes a little longer.
    static constexpr int kBackgroundNice = 5;

    struct Options {
        QString connectionBase{};       // names the connection, for the engine's own messages
        DatabaseOptions database = {};  // how the connection meets a lock
        int nice = 0;                   // kBackgroundNice for work nobody waits for
    };

    DbWorker(QString location, Options options);
    // Waits for the job under way (a job queued behind it is dropped), runs what atEnd() was
    // given, then closes the connection on its own thread.
    ~DbWorker();
    DbWorker(const DbWorker&) = delete;
    DbWorker& operator=(const DbWorker&) = delete;

    template <typename R>
    void run(QObject* receiver, std::function<R(Database&)> job, std::function<void(R)> done,
             std::function<void(const DbError&)> failed)
    {
        QPointer<QObject> to(receiver);
        post([this, to, job = std::move(job), done = std::move(done), failed = std::move(failed)] {
            try {
                R result = job(db());
                if (to)
                    QMetaObject::invokeMethod(
                        to, [done, result = std::move(result)] { done(result); },
                        Qt::QueuedConnection);
            } catch (const DbError& e) {
                if (to)
                    QMetaObject::invokeMethod(
                        to, [failed, e] { failed(e); }, Qt::QueuedConnection);
            } catch (const std::exception& e) {
                const DbError error(0, QString::fromLocal8Bit(e.what()));
                if (to)
                    QMetaObject::invokeMethod(
                        to, [failed, error] { failed(error); }, Qt::QueuedConnection);
            }
        });
    }

    // Runs fn on the thread; fn may use db() and context().
    void post(std::function<void()> fn);
    // The same, waiting for it to be done.
    void postAndWait(std::function<void()> fn);
    // Runs on the thread as it ends, before the connection closes: what lives on the thread goes.
    void atEnd(std::function<void()> fn) { m_atEnd = std::move(fn); }

    // Only on the thread itself: the connection, opened at its first use, and an object living on
    // the thread (for timers).
    Database& db();
    QObject* context() const { return m_context; }

private:
    QString m_location;
    Options m_options;
    QThread m_thread;
    QObject* m_context = nullptr;  // lives on m_thread
    std::function<void()> m_atEnd;
    std::unique_ptr<Database> m_db;
};

}  // namespace sentrok
