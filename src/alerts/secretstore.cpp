#include "alerts/secretstore.h"

#include <qt6keychain/keychain.h>

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>
#include <QStandardPaths>
#include <QTimer>

namespace sentrok {

namespace {

const QString kSecretsService = QStringLiteral("org.freedesktop.secrets");
constexpr auto kOwnerOnly = QFileDevice::ReadOwner | QFileDevice::WriteOwner;

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
    if (where == Place::Keyring)
        return QStringLiteral("Пароль сохранён в хранилище паролей рабочего стола");
    return QStringLiteral("Хранилище паролей рабочего стола не найдено: пароль сохранён в файле "
                          "%1, доступном только вам")
        .arg(QDir::toNativeSeparators(m_file));
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
    connect(job, &QKeychain::Job::finished, this, [this, key, done = std::move(done)](QKeychain::Job* j) {
        if (j->error() == QKeychain::NoError) {
            done(static_cast<QKeychain::ReadPasswordJob*>(j)->textData(), {});
            return;
        }
        // Saved while no keyring answered: then it is in the file.
        QString error;
        const std::optional<QString> fromFile = readFile(key, &error);
        if (fromFile || !error.isEmpty()) done(fromFile, error);
        else if (j->error() == QKeychain::EntryNotFound) done(std::nullopt, {});
        else done(std::nullopt, j->errorString());
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

std::optional<QString> SecretStore::readFile(const QString& key, QString* error) const
{
    QFile file(m_file);
    if (!file.exists()) return std::nullopt;
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("файл паролей %1 не читается: %2").arg(m_file, file.errorString());
        return std::nullopt;
    }
    const QJsonObject all = QJsonDocument::fromJson(file.readAll()).object();
    const QJsonValue v = all.value(key);
    if (!v.isString()) return std::nullopt;
    return QString::fromUtf8(QByteArray::fromBase64(v.toString().toLatin1()));
}

QString SecretStore::writeFile(const QString& key, const QString& password) const
{
    const QString folder = QFileInfo(m_file).absolutePath();
    if (!QDir().mkpath(folder))
        return QStringLiteral("не удалось создать папку %1").arg(folder);
    QFile::setPermissions(folder, kOwnerOnly | QFileDevice::ExeOwner);

    QJsonObject all;
    if (QFile in(m_file); in.open(QIODevice::ReadOnly))
        all = QJsonDocument::fromJson(in.readAll()).object();
    // Base64 only keeps the password from being read over a shoulder; the file's mode is what
    // keeps it from other users.
    all.insert(key, QString::fromLatin1(password.toUtf8().toBase64()));

    QSaveFile out(m_file);
    if (!out.open(QIODevice::WriteOnly) || !out.setPermissions(kOwnerOnly))
        return QStringLiteral("файл паролей %1 не записан: %2").arg(m_file, out.errorString());
    out.write(QJsonDocument(all).toJson());
    if (!out.commit())
        return QStringLiteral("файл паролей %1 не записан: %2").arg(m_file, out.errorString());
    return {};
}

}  // namespace sentrok
