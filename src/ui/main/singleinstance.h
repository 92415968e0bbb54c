#pragma once

#include <QLockFile>
#include <QString>

#include <memory>

namespace sentrok {

// Held for the life of the running program: a second start from the same program folder
// finds the lock taken. A lock left by a program that died is taken over.
class SingleInstance {
public:
    SingleInstance(const QString& lockFolder, const QString& programFolder);
    bool acquire();
    QString lockPath() const { return m_path; }

private:
    QString m_path;
    std::unique_ptr<QLockFile> m_lock;
};

}  // namespace sentrok
