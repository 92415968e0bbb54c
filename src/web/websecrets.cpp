#include "web/websecrets.h"

#include "common/conversions.h"
#include "common/safefile.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslKey>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <cstring>

namespace sentrok::web {

namespace {

QString shown(const QString& path) { return printableText(QDir::toNativeSeparators(path)); }

constexpr qint64 kMaxPasswordFile = 64 * 1024;
constexpr qint64 kMaxPemFile = 1024 * 1024;

// A key in the usual place of a certificate authority's client (Let's Encrypt's "live" folder)
// is a link to the current one: the file it leads to is what must be private.
PlainFile openFollowingLinks(const QString& path, const QString& what)
{
    PlainFile out;
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        out.error = errno;
        out.problem = QStringLiteral("%1 %2 не открывается: %3")
                          .arg(what, shown(path), QString::fromLocal8Bit(std::strerror(out.error)));
        return out;
    }
    out.fd.reset(fd);
    if (::fstat(fd, &out.st) != 0 || !S_ISREG(out.st.st_mode)) {
        out.problem = QStringLiteral("%1 %2 — не обычный файл").arg(what, shown(path));
        out.fd.reset();
    }
    return out;
}

std::optional<QByteArray> readOpened(const PlainFile& file, const QString& path,
                                     const QString& what, qint64 maxBytes, QString* error)
{
    const auto refuse = [&](const QString& why) -> std::optional<QByteArray> {
        if (error) *error = why;
        return std::nullopt;
    };
    if (!file.problem.isEmpty()) return refuse(file.problem);
    if (file.missing()) return refuse(QStringLiteral("%1 %2 не найден").arg(what, shown(path)));
    if (file.st.st_uid != ::geteuid() && file.st.st_uid != 0)
        return refuse(QStringLiteral("%1 %2 принадлежит другому пользователю: он не читается. "
                                     "Сделайте его владельцем пользователя, от имени которого "
                                     "работает программа")
                          .arg(what, shown(path)));
    if (file.st.st_mode & (S_IRWXG | S_IRWXO))
        return refuse(QStringLiteral("%1 %2 доступен другим пользователям (права %3): его могли "
                                     "прочитать. Выполните chmod 600 %2 и смените секрет")
                          .arg(what, shown(path))
                          .arg(file.st.st_mode & 0777, 3, 8, QLatin1Char('0')));
    if (file.st.st_size > maxBytes)
        return refuse(QStringLiteral("%1 %2 больше %3 байт").arg(what, shown(path)).arg(maxBytes));
    QByteArray bytes(qsizetype(file.st.st_size), Qt::Uninitialized);
    qsizetype got = 0;
    while (got < bytes.size()) {
        const ssize_t n = ::read(file.fd.get(), bytes.data() + got, size_t(bytes.size() - got));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0)
            return refuse(
                QStringLiteral("%1 %2 не читается: %3")
                    .arg(what, shown(path), QString::fromLocal8Bit(std::strerror(errno))));
        if (n == 0) break;
        got += n;
    }
    bytes.truncate(got);
    return bytes;
}

std::optional<QByteArray> readPem(const QString& path, const QString& what, QString* error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        if (error)
            *error = QStringLiteral("%1 %2 не открывается: %3")
                         .arg(what, shown(path), file.errorString());
        return std::nullopt;
    }
    const QByteArray bytes = file.read(kMaxPemFile + 1);
    if (bytes.size() > kMaxPemFile) {
        if (error)
            *error = QStringLiteral("%1 %2 больше %3 байт").arg(what, shown(path)).arg(kMaxPemFile);
        return std::nullopt;
    }
    return bytes;
}

}  // namespace

std::optional<QByteArray> readSecretFile(const QString& path, const QString& what, qint64 maxBytes,
                                         QString* error)
{
    return readOpened(openPlainFile(path, O_RDONLY, what), path, what, maxBytes, error);
}

std::optional<QByteArray> readHttpPassword(const QString& path, QString* error)
{
    const QString what = QStringLiteral("файл пароля веб-страницы");
    std::optional<QByteArray> bytes = readSecretFile(path, what, kMaxPasswordFile, error);
    if (!bytes) return std::nullopt;
    const qsizetype end = bytes->indexOf('\n');
    QByteArray line = end < 0 ? *bytes : bytes->left(end);
    if (line.endsWith('\r')) line.chop(1);
    if (line.isEmpty()) {
        if (error)
            *error = QStringLiteral("в первой строке файла пароля веб-страницы %1 нет пароля")
                         .arg(shown(path));
        return std::nullopt;
    }
    return line;
}

BasicAuth::BasicAuth(const QByteArray& password)
    : m_digest(
          QCryptographicHash::hash(QByteArray(kUser) + ':' + password, QCryptographicHash::Sha256))
{
}

bool BasicAuth::accepts(const QByteArray& authorization) const
{
    const QByteArray value = authorization.trimmed();
    const qsizetype blank = value.indexOf(' ');
    if (blank < 0 || value.left(blank).toLower() != "basic") return false;
    const auto decoded = QByteArray::fromBase64Encoding(value.mid(blank + 1).trimmed(),
                                                        QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded) return false;
    const QByteArray given = QCryptographicHash::hash(*decoded, QCryptographicHash::Sha256);
    // Every byte looked at whatever the first difference: no early way out.
    unsigned char difference = 0;
    for (qsizetype i = 0; i < m_digest.size(); ++i)
        difference |= static_cast<unsigned char>(m_digest[i] ^ given[i]);
    return difference == 0;
}

QByteArray BasicAuth::challenge()
{
    return QByteArrayLiteral("Basic realm=\"Sentrok\", charset=\"UTF-8\"");
}

std::optional<QSslConfiguration> loadTlsConfiguration(const QString& certFile,
                                                      const QString& keyFile, QString* error)
{
    const auto refuse = [&](const QString& why) -> std::optional<QSslConfiguration> {
        if (error) *error = why;
        return std::nullopt;
    };
    const QString certWhat = QStringLiteral("файл сертификата");
    const std::optional<QByteArray> pem = readPem(certFile, certWhat, error);
    if (!pem) return std::nullopt;
    const QList<QSslCertificate> chain = QSslCertificate::fromData(*pem, QSsl::Pem);
    if (chain.isEmpty() || chain.first().isNull())
        return refuse(QStringLiteral("в файле сертификата %1 нет сертификата в формате PEM")
                          .arg(shown(certFile)));
    const QString keyWhat = QStringLiteral("файл закрытого ключа");
    const std::optional<QByteArray> keyBytes =
        readOpened(openFollowingLinks(keyFile, keyWhat), keyFile, keyWhat, kMaxPemFile, error);
    if (!keyBytes) return std::nullopt;
    QSslKey key;
    for (QSsl::KeyAlgorithm algorithm : {QSsl::Rsa, QSsl::Ec, QSsl::Dsa}) {
        key = QSslKey(*keyBytes, algorithm, QSsl::Pem, QSsl::PrivateKey);
        if (!key.isNull()) break;
    }
    if (key.isNull())
        return refuse(QStringLiteral("в файле %1 нет закрытого ключа RSA или EC в формате PEM "
                                     "(ключ, защищённый паролем, не подходит)")
                          .arg(shown(keyFile)));
    QSslConfiguration config = QSslConfiguration::defaultConfiguration();
    config.setLocalCertificateChain(chain);
    config.setPrivateKey(key);
    config.setPeerVerifyMode(QSslSocket::VerifyNone);  // clients are not asked for certificates
    config.setProtocol(QSsl::TlsV1_2OrLater);
    return config;
}

}  // namespace sentrok::web
