#include "ui/main/singleinstance.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QTextStream>

namespace sentrok {

namespace {

const QByteArray kWake = QByteArrayLiteral("sentrok:show\n");
// The second start is a process on its way out; it waits this long at most for the holder.
constexpr int kKnockMs = 1000;

}  // namespace

SingleInstance::SingleInstance(const QString& lockFolder, const QString& programFolder)
{
    const QByteArray key = QCryptographicHash::hash(QDir(programFolder).canonicalPath().toUtf8(),
                                                    QCryptographicHash::Sha1);
    m_path =
        QDir(lockFolder)
            .filePath(
                QStringLiteral("sentrok-%1.lock").arg(QString::fromLatin1(key.toHex().left(16))));
}

SingleInstance::~SingleInstance()
{
    // Closed before the lock goes, so the next holder never finds a live socket of ours.
    delete m_server;
}

QString SingleInstance::socketPath() const
{
    return m_path.left(m_path.size() - int(qstrlen(".lock"))) + QStringLiteral(".sock");
}

bool SingleInstance::acquire()
{
    QDir().mkpath(QFileInfo(m_path).absolutePath());
    m_lock = std::make_unique<QLockFile>(m_path);
    m_lock->setStaleLockTime(0);  // only a dead owner makes a lock stale, never its age
    if (!m_lock->tryLock(0)) return false;
    listen();
    return true;
}

void SingleInstance::listen()
{
    m_server = new QLocalServer(this);
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    // Holding the lock, any socket file left is a dead holder's.
    QLocalServer::removeServer(socketPath());
    if (!m_server->listen(socketPath())) {
        // The program runs on; only a second start cannot bring its window back.
        QTextStream(stderr) << "sentrok: " << m_server->errorString() << "\n";
        return;
    }
    connect(m_server, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket* s = m_server->nextPendingConnection()) {
            connect(s, &QLocalSocket::disconnected, s, &QObject::deleteLater);
            connect(s, &QLocalSocket::readyRead, this, [this, s] {
                if (s->bytesAvailable() < kWake.size()) return;
                if (s->read(kWake.size()) == kWake) emit wakeRequested();
                s->disconnectFromServer();
            });
        }
    });
}

bool SingleInstance::wakeRunning()
{
    QLocalSocket socket;
    socket.connectToServer(socketPath());
    if (!socket.waitForConnected(kKnockMs)) return false;
    socket.write(kWake);
    while (socket.bytesToWrite() > 0 && socket.waitForBytesWritten(kKnockMs)) {
    }
    const bool sent = socket.bytesToWrite() == 0;
    socket.disconnectFromServer();
    return sent;
}

}  // namespace sentrok
