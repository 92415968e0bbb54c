#include "common/safefile.h"

#include "common/conversions.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <fcntl.h>
#include <cerrno>
#include <cstring>

namespace sentrok {

namespace {

QString shown(const QString& path) { return printableText(QDir::toNativeSeparators(path)); }

QString systemWords(int error) { return QString::fromLocal8Bit(std::strerror(error)); }

QString openProblem(const QString& path, const QString& what, int error)
{
    if (error == ELOOP)
        return QStringLiteral(
                   "%1 %2 — символическая ссылка, а через ссылки программа такие файлы "
                   "не открывает: удалите ссылку")
            .arg(what, shown(path));
    if (error == EISDIR)
        return QStringLiteral("%1 %2 — каталог, а не файл: удалите или переименуйте его")
            .arg(what, shown(path));
    return QStringLiteral("%1 %2 не открывается: %3").arg(what, shown(path), systemWords(error));
}

}  // namespace

PlainFile openPlainFile(const QString& path, int flags, const QString& what, mode_t mode)
{
    PlainFile out;
    // Non-blocking: opening a FIFO someone left at the path must not wait for a writer.
    const int fd = ::open(QFile::encodeName(path).constData(),
                          flags | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, mode);
    if (fd < 0) {
        out.error = errno;
        if (!out.missing() || (flags & O_CREAT)) out.problem = openProblem(path, what, out.error);
        return out;
    }
    out.fd.reset(fd);
    if (::fstat(fd, &out.st) != 0) {
        out.error = errno;
        out.problem = openProblem(path, what, out.error);
    } else if (!S_ISREG(out.st.st_mode)) {
        out.problem = QStringLiteral(
                          "%1 %2 — не обычный файл (каталог, канал или устройство): "
                          "удалите или переименуйте его")
                          .arg(what, shown(path));
    } else if (out.st.st_nlink > 1) {
        out.problem = QStringLiteral(
                          "у файла %1 есть другие имена (жёсткие ссылки), и запись в "
                          "него изменила бы и их: удалите его")
                          .arg(shown(path));
    }
    if (!out.problem.isEmpty()) out.fd.reset();
    return out;
}

QString replaceFile(const QString& path, const QByteArray& bytes, mode_t mode, const QString& what)
{
    const QByteArray final = QFile::encodeName(path);
    QByteArray temporary = final + ".XXXXXX";
    UniqueFd fd(::mkostemp(temporary.data(), O_CLOEXEC));
    if (!fd.valid())
        return QStringLiteral("%1 %2 не записан: %3").arg(what, shown(path), systemWords(errno));
    const auto failed = [&](int error) {
        ::unlink(temporary.constData());
        return QStringLiteral("%1 %2 не записан: %3").arg(what, shown(path), systemWords(error));
    };
    if (::fchmod(fd.get(), mode) != 0) return failed(errno);
    for (qsizetype done = 0; done < bytes.size();) {
        const ssize_t n = ::write(fd.get(), bytes.constData() + done, size_t(bytes.size() - done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return failed(n < 0 ? errno : EIO);
        done += n;
    }
    if (::fsync(fd.get()) != 0) return failed(errno);
    if (::close(fd.release()) != 0) return failed(errno);
    if (::rename(temporary.constData(), final.constData()) != 0) return failed(errno);
    // The new name itself on the disk, so that a crash leaves the old file or the new one.
    const UniqueFd folder(::open(QFile::encodeName(QFileInfo(path).absolutePath()).constData(),
                                 O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (folder.valid()) ::fsync(folder.get());
    return {};
}

}  // namespace sentrok
