#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

class QSslConfiguration;

namespace sentrok::web {

// The files the web server is started with: the password and the private key are secrets, and a
// secret that others can read may have been read. Like OpenSSH with its keys, such a file is
// refused with the fix, never used: it must be a plain file of one name (no link), owned by the
// user the program runs as (or by root), readable by nobody else (chmod 600).

// The bytes of a secret file, at most maxBytes; nullopt with the words for the user.
std::optional<QByteArray> readSecretFile(const QString& path, const QString& what, qint64 maxBytes,
                                         QString* error);

// The password of the web page: the first line of the file, without its line break. An empty
// first line is refused: a password nobody has to know is no password.
std::optional<QByteArray> readHttpPassword(const QString& path, QString* error);

// HTTP Basic authentication (RFC 7617) of the one user "sentrok". Only a digest of the password
// is kept, and a given password is compared by its digest in constant time, so the answer's time
// tells nothing of how much of it was right, nor of its length.
class BasicAuth {
public:
    static constexpr const char* kUser = "sentrok";
    explicit BasicAuth(const QByteArray& password);
    // Whether the value of an Authorization header names the user and the password.
    bool accepts(const QByteArray& authorization) const;
    // The WWW-Authenticate header's value for a refusal.
    static QByteArray challenge();

private:
    QByteArray m_digest;
};

// The certificate (with its chain, PEM, first the server's own) and the private key (PEM: RSA,
// EC, or a PKCS#8 of either) for HTTPS; the key file obeys the rules of a secret file.
std::optional<QSslConfiguration> loadTlsConfiguration(const QString& certFile,
                                                      const QString& keyFile, QString* error);

}  // namespace sentrok::web
