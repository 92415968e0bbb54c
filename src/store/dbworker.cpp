#include "store/dbworker.h"

#include <sys/resource.h>
#include <unistd.h>

namespace sentrok {

DbWorker::DbWorker(QString location, Options options)
    : m_location(std::move(location)), m_options(std::move(options))
{
    m_thread.setObjectName(m_options.connectionBase);
    m_context = new QObject;
    m_context->moveToThread(&m_thread);
    // Runs on the thread as it ends: a connection must be closed where it was opened.
    QObject::connect(
        &m_thread, &QThread::finished, m_context,
        [this] {
            if (m_atEnd) m_atEnd();
            m_db.reset();
        },
        Qt::DirectConnection);
    m_thread.start();
    if (m_options.nice != 0)
        post([nice = m_options.nice] { setpriority(PRIO_PROCESS, gettid(), nice); });
}

DbWorker::~DbWorker()
{
    m_thread.quit();
    m_thread.wait();
    delete m_context;
}

void DbWorker::post(std::function<void()> fn)
{
    QMetaObject::invokeMethod(m_context, std::move(fn), Qt::QueuedConnection);
}

void DbWorker::postAndWait(std::function<void()> fn)
{
    QMetaObject::invokeMethod(m_context, std::move(fn), Qt::BlockingQueuedConnection);
}

Database& DbWorker::db()
{
    if (!m_db)
        m_db = std::make_unique<Database>(
            m_location, Database::uniqueName(m_options.connectionBase), m_options.database);
    return *m_db;
}

}  // namespace sentrok
