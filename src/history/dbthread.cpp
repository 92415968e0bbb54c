#include "history/dbthread.h"

#include <sys/resource.h>
#include <unistd.h>

namespace sentrok {

DbThread::DbThread(QString file, QString connectionBase)
    : m_file(std::move(file)), m_base(std::move(connectionBase))
{
    m_context = new QObject;
    m_context->moveToThread(&m_thread);
    // Runs on the thread as it ends: a connection must be closed where it was opened.
    QObject::connect(&m_thread, &QThread::finished, m_context, [this] { m_db.reset(); },
                     Qt::DirectConnection);
    m_thread.start();
    // Background work yields the processor to the window's thread: on a busy machine the
    // window then still answers at once, and the work takes a little longer.
    post([] { setpriority(PRIO_PROCESS, gettid(), kNice); });
}

DbThread::~DbThread()
{
    m_thread.quit();
    m_thread.wait();
    delete m_context;
}

void DbThread::post(std::function<void()> fn)
{
    QMetaObject::invokeMethod(m_context, std::move(fn), Qt::QueuedConnection);
}

Database& DbThread::db()
{
    if (!m_db) m_db = std::make_unique<Database>(m_file, Database::uniqueName(m_base));
    return *m_db;
}

}  // namespace sentrok
