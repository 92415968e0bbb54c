#include "ui/main/singleinstance.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>

namespace sentrok {

SingleInstance::SingleInstance(const QString& lockFolder, const QString& programFolder)
{
    const QByteArray key = QCryptographicHash::hash(
        QDir(programFolder).canonicalPath().toUtf8(), QCryptographicHash::Sha1);
    m_path = QDir(lockFolder).filePath(QStringLiteral("sentrok-%1.lock")
                                           .arg(QString::fromLatin1(key.toHex().left(16))));
}

bool SingleInstance::acquire()
{
    QDir().mkpath(QFileInfo(m_path).absolutePath());
    m_lock = std::make_unique<QLockFile>(m_path);
    m_lock->setStaleLockTime(0);  // only a dead owner makes a lock stale, never its age
    return m_lock->tryLock(0);
}

}  // namespace sentrok
