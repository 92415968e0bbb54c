#include "alerts/certificatepin.h"

#include <QCryptographicHash>
#include <QSslCertificate>

namespace sentrok {

QString certificatePin(const QSslCertificate& certificate)
{
    return QString::fromLatin1(certificate.digest(QCryptographicHash::Sha256).toHex());
}

bool matchesPin(const QSslCertificate& certificate, const QString& pin)
{
    // A missing certificate has a digest too (of nothing): it must never pass for a pinned one.
    return pin.isEmpty() || (!certificate.isNull() && certificatePin(certificate) == pin);
}

}  // namespace sentrok
