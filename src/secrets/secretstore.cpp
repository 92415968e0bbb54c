#include "secrets/secretstore.h"

#include <qt6keychain/keychain.h>

#include "common/conversions.h"
#include "common/safefile.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStandardPaths>
#include <QTimer>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace sentrok {

namespace {

const QString kSecretsService = QStringLiteral("org.freedesktop.secrets");
const QString kWhat = QStringLiteral("файл паролей");
// Far more than any number of passwords a person keeps; a link to a device would be endless.
constexpr qint64 kMaxFileBytes = 1024 * 1024;
constexpr mode_t kOthersMayRead = S_IRGRP | S_IWGRP | S_IROTH | S_IWOTH;

QString shown(const QString& path) { return printableText(QDir::toNativeSeparators(path)); }

QString defaultFolder()
{
    return QDir(QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation))
        .filePath(QStringLiteral("sentrok"));
}

// Runs `fn` on a later turn of the event loop, as the keyring's answers come.
void later(QObject* context, std::function<void()> fn)
{
    QTimer::singleShot(0, context, std::move(fn));
}

}  // namespace

SecretStore::Place SecretStore::availablePlace()
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected() || !bus.interface()) return Place::File;
    QDBusConnectionInterface* dbus = bus.interface();
    if (dbus->isServiceRegistered(kSecretsService)) return Place::Keyring;
    const QDBusReply<QStringList> startable = dbus->activatableServiceNames();
    return startable.isValid() && startable.value().contains(kSecretsService) ? Place::Keyring
                                                                              : Place::File;
}

SecretStore::SecretStore(Place place, const QString& fileFolder, QObject* parent)
    : QObject(parent),
      m_place(place),
      m_file(QDir(fileFolder.isEmpty() ? defaultFolder() : fileFolder)
                 .filePath(QStringLiteral("mail-passwords.json")))
{
}

QString SecretStore::describe(Place where) const
{
    QString out = where == Place::Keyring
                      ? QStringLiteral("Пароль сохранён в хранилище паролей рабочего стола")
                      : QStringLiteral(
                            "Хранилище паролей рабочего стола не найдено: пароль "
                            "сохранён в файле %1, доступном только вам")
                            .arg(shown(m_file));
    if (where == Place::File && !m_setAside.isEmpty())
        out += QStringLiteral(
                   ". Прежний файл паролей был повреждён и отложен как %1: пароли, "
                   "которые в нём были, задайте заново")
                   .arg(shown(m_setAside));
    return out;
}

QString SecretStore::keyFor(const QString& login, const QString& server)
{
    return login.trimmed() + u'@' + server.trimmed().toLower();
}

void SecretStore::read(const QString& key, ReadDone done)
{
    if (m_place == Place::File) {
        later(this, [this, key, done = std::move(done)] {
            QString error;
            const std::optional<QString> password = readFile(key, &error);
            done(password, error);
        });
        return;
    }
    auto* job = new QKeychain::ReadPasswordJob(QString::fromLatin1(kService), this);
    job->setAutoDelete(true);
    job->setKey(key);
    connect(job, &QKeychain::Job::finished, this,
            [this, key, done = std::move(done)](QKeychain::Job* j) {
                if (j->error() == QKeychain::NoError) {
                    done(static_cast<QKeychain::ReadPasswordJob*>(j)->textData(), {});
                    return;
                }
                // Saved while no keyring answered: then it is in the file.
                QString error;
                const std::optional<QString> fromFile = readFile(key, &error);
                if (fromFile || !error.isEmpty())
                    done(fromFile, error);
                else if (j->error() == QKeychain::EntryNotFound)
                    done(std::nullopt, {});
                else
                    done(std::nullopt, j->errorString());
            });
    job->start();
}

void SecretStore::write(const QString& key, const QString& password, WriteDone done)
{
    if (m_place == Place::File) {
        later(this, [this, key, password, done = std::move(done)] {
            done(writeFile(key, password), Place::File);
        });
        return;
    }
    auto* job = new QKeychain::WritePasswordJob(QString::fromLatin1(kService), this);
    job->setAutoDelete(true);
    job->setKey(key);
    job->setTextData(password);
    connect(job, &QKeychain::Job::finished, this,
            [this, key, password, done = std::move(done)](QKeychain::Job* j) {
                if (j->error() == QKeychain::NoError) {
                    done({}, Place::Keyring);
                    return;
                }
                // A keyring that is there but will not take it: the file still keeps the
                // password out of the database, and the user is told where it went.
                done(writeFile(key, password), Place::File);
            });
    job->start();
}

// The file is refused, never repaired: one that others could read may have been read, and the
// user must know it (and choose new passwords); one at a link or of several names is not ours to
// write through.
SecretStore::FileContents SecretStore::loadFile() const
{
    FileContents out;
    const QString folder = QFileInfo(m_file).absolutePath();
    struct stat folderStat {};
    if (::stat(QFile::encodeName(folder).constData(), &folderStat) == 0) {
        if (folderStat.st_uid != ::geteuid())
            return out.refuse(QStringLiteral("папка паролей %1 принадлежит другому пользователю: "
                                             "пароли в ней не читаются и не пишутся")
                                  .arg(shown(folder)));
        if (folderStat.st_mode & kOthersMayRead) out.looseFolder = true;
    }
    const PlainFile file = openPlainFile(m_file, O_RDONLY, kWhat);
    if (file.missing()) return out;
    if (!file.problem.isEmpty()) return out.refuse(file.problem);
    if (file.st.st_uid != ::geteuid())
        return out.refuse(QStringLiteral("файл паролей %1 принадлежит другому пользователю: он не "
                                         "читается и не переписывается; удалите его")
                              .arg(shown(m_file)));
    if (file.st.st_mode & kOthersMayRead)
        return out.refuse(
            QStringLiteral("файл паролей %1 доступен другим пользователям (права %2): "
                           "пароли в нём могли прочитать. Выполните chmod 600 %1 и "
                           "смените эти пароли")
                .arg(shown(m_file))
                .arg(file.st.st_mode & 0777, 3, 8, QLatin1Char('0')));
    if (out.looseFolder)
        return out.refuse(QStringLiteral("папка паролей %1 доступна другим пользователям: "
                                         "выполните chmod 700 %1")
                              .arg(shown(folder)));
    if (file.st.st_size > kMaxFileBytes)
        return out.refuse(QStringLiteral("файл паролей %1 больше %2 байт: это не файл паролей "
                                         "Sentrok; переименуйте или удалите его")
                              .arg(shown(m_file))
                              .arg(kMaxFileBytes));
    QByteArray bytes(qsizetype(file.st.st_size), Qt::Uninitialized);
    qsizetype got = 0;
    while (got < bytes.size()) {
        const ssize_t n = ::read(file.fd.get(), bytes.data() + got, size_t(bytes.size() - got));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += n;
    }
    bytes.truncate(got);
    QJsonParseError parsed{};
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &parsed);
    out.exists = true;
    if (parsed.error != QJsonParseError::NoError || !document.isObject()) {
        out.corrupt = true;
        out.error = QStringLiteral(
                        "файл паролей %1 повреждён (%2): пароль не прочитан. При "
                        "следующем сохранении пароля файл будет отложен как %1.corrupt")
                        .arg(shown(m_file), parsed.error != QJsonParseError::NoError
                                                ? parsed.errorString()
                                                : QStringLiteral("не объект JSON"));
        return out;
    }
    out.all = document.object();
    return out;
}

std::optional<QString> SecretStore::readFile(const QString& key, QString* error) const
{
    const FileContents contents = loadFile();
    if (!contents.error.isEmpty()) {
        *error = contents.error;
        return std::nullopt;
    }
    const QJsonValue v = contents.all.value(key);
    if (!v.isString()) return std::nullopt;
    return QString::fromUtf8(QByteArray::fromBase64(v.toString().toLatin1()));
}

QString SecretStore::writeFile(const QString& key, const QString& password)
{
    m_setAside.clear();
    const QString folder = QFileInfo(m_file).absolutePath();
    if (!QDir().mkpath(folder))
        return QStringLiteral("не удалось создать папку %1").arg(shown(folder));
    // Our folder is closed to others before anything goes in (loadFile refuses another's).
    struct stat folderStat {};
    if (::stat(QFile::encodeName(folder).constData(), &folderStat) == 0 &&
        folderStat.st_uid == ::geteuid() && (folderStat.st_mode & 077))
        ::chmod(QFile::encodeName(folder).constData(), S_IRWXU);
    FileContents contents = loadFile();
    if (!contents.error.isEmpty() && !contents.corrupt) return contents.error;
    if (contents.corrupt) {
        const std::optional<QString> aside = setAside();
        if (!aside)
            return QStringLiteral(
                       "файл паролей %1 повреждён и не может быть отложен: %2; "
                       "переименуйте его сами")
                .arg(shown(m_file), QString::fromLocal8Bit(std::strerror(errno)));
        m_setAside = *aside;
        contents.all = {};
    }
    // Base64 only keeps the password from being read over a shoulder; the file's mode is what
    // keeps it from other users.
    contents.all.insert(key, QString::fromLatin1(password.toUtf8().toBase64()));
    const QByteArray bytes = QJsonDocument(contents.all).toJson();
    // A file this program would then refuse to read is not written.
    if (bytes.size() > kMaxFileBytes)
        return QStringLiteral("файл паролей %1 стал бы больше %2 байт: пароль не записан")
            .arg(shown(m_file))
            .arg(kMaxFileBytes);
    return replaceFile(m_file, bytes, S_IRUSR | S_IWUSR, kWhat);
}

// A corrupt file under a name of its own beside it, never over an earlier one.
std::optional<QString> SecretStore::setAside() const
{
    const QByteArray from = QFile::encodeName(m_file);
    for (int n = 0; n < 100; ++n) {
        const QString to =
            m_file + QStringLiteral(".corrupt") + (n ? QStringLiteral(".%1").arg(n) : QString());
        if (::renameat2(AT_FDCWD, from.constData(), AT_FDCWD, QFile::encodeName(to).constData(),
                        RENAME_NOREPLACE) == 0)
            return to;
        if (errno != EEXIST) return std::nullopt;
    }
    errno = EEXIST;
    return std::nullopt;
}

}  // namespace sentrok
