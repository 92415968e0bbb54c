#pragma once

#include "store/database.h"

#include <QObject>
#include <QPointer>
#include <QThread>

#include <functional>
#include <memory>

namespace sentrok {

// A thread with a database connection of its own, for work that must not hold up a window.
// Jobs run one after the other on it; their results come back as values, on the thread of
// the object that asked, and only while that object lives.
class DbThread final {
public:
    static constexpr int kNice = 5;

    DbThread(QString file, QString connectionBase);
    // Waits for the job under way, then closes the connection on its own thread.
    ~DbThread();
    DbThread(const DbThread&) = delete;
    DbThread& operator=(const DbThread&) = delete;

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
                        to, [done, result = std::move(result)] { done(result); }, Qt::QueuedConnection);
            } catch (const DbError& e) {
                if (to) QMetaObject::invokeMethod(to, [failed, e] { failed(e); }, Qt::QueuedConnection);
            } catch (const std::exception& e) {
                const DbError error(0, QString::fromLocal8Bit(e.what()));
                if (to) QMetaObject::invokeMethod(to, [failed, error] { failed(error); }, Qt::QueuedConnection);
            }
        });
    }

    // Runs fn on the thread; fn may use db().
    void post(std::function<void()> fn);
    // Only on the thread itself.
    Database& db();

private:
    QString m_file, m_base;
    QThread m_thread;
    QObject* m_context = nullptr;  // lives on m_thread
    std::unique_ptr<Database> m_db;
};

}  // namespace sentrok
