#pragma once

#include <QLockFile>
#include <QObject>
#include <QString>

#include <memory>

class QLocalServer;

namespace sentrok {

// Held for the life of the running program: a second start from the same program folder
// finds the lock taken. A lock left by a program that died is taken over.
//
// Beside the lock the holder listens on a local socket of the same name; a second start
// knocks there, and the holder brings its main window back, from the tray or from the
// minimised state, where a desktop without a tray or task bar would leave it unreachable.
class SingleInstance : public QObject {
    Q_OBJECT
public:
    SingleInstance(const QString& lockFolder, const QString& programFolder);
    ~SingleInstance() override;
    bool acquire();
    // Asks the holder to bring its window back. False when no holder answers.
    bool wakeRunning();
    QString lockPath() const { return m_path; }
    QString socketPath() const;

signals:
    void wakeRequested();

private:
    void listen();

    QString m_path;
    std::unique_ptr<QLockFile> m_lock;
    QLocalServer* m_server = nullptr;
};

}  // namespace sentrok
