#pragma once

#include "common/uniquefd.h"

#include <QByteArray>
#include <QString>

#include <sys/stat.h>

namespace sentrok {

// Files in folders that others may write to (a shared database's folder) or that hold secrets
// are opened as if someone had prepared their path: never through a symbolic link, and only when
// they are plain files with one name, so that writing one never writes through to another file.
struct PlainFile {
    UniqueFd fd{};
    struct stat st {};  // of the open file
    int error = 0;      // errno of a file that could not be opened; ENOENT: there is none
    QString problem{};  // empty when fd can be used; else words naming the path and the fix

    bool missing() const { return error == ENOENT; }
};

// `flags`: O_RDONLY or O_RDWR, with O_CREAT to make a missing file (of `mode`). `what` names the
// file for the user ("файл блокировки"). A missing file without O_CREAT has no problem: see
// missing().
PlainFile openPlainFile(const QString& path, int flags, const QString& what, mode_t mode = 0600);

// Puts `bytes` at `path` in one step: a new file of `mode` beside it, written, flushed to the disk
// and renamed over it. A reader never sees half a file, and a link at the path is replaced, not
// followed. Empty on success, else words for the user.
QString replaceFile(const QString& path, const QByteArray& bytes, mode_t mode, const QString& what);

}  // namespace sentrok
