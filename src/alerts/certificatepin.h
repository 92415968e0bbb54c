#pragma once

#include <QString>

class QSslCertificate;

namespace sentrok {

// A pinned certificate is named by its SHA-256 fingerprint, kept as 64 lowercase hex digits
// (the form checkMailServer gives a typed pin). The mail and the chat channels check a server
// against its pin with these, so both trust exactly the same certificate for the same pin.

// The fingerprint of `certificate` in the pin's form.
QString certificatePin(const QSslCertificate& certificate);
// Whether `certificate` is the pinned one. Nothing pinned: every certificate is.
bool matchesPin(const QSslCertificate& certificate, const QString& pin);

}  // namespace sentrok
