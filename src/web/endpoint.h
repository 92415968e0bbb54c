#pragma once

#include <QHostAddress>
#include <QString>

#include <optional>

namespace sentrok::web {

// Where the web server listens, as --http and SENTROK_HTTP give it: "ADDRESS:PORT".
struct HttpEndpoint {
    QHostAddress address{};
    quint16 port = 0;
    // The address as the user wrote it, for messages.
    QString text() const;
};

// "127.0.0.1:8080" (loopback only), "[::1]:8080", "192.0.2.5:80" (one address), "[::]:8080" (every
// address, IPv4 and IPv6), "0.0.0.0:8080" (every IPv4 address). Addresses only: a host name would
// be resolved to whichever address answered first. The port is 1 to 65535. nullopt with the words
// for the user in `error` when the text is none of these.
std::optional<HttpEndpoint> parseHttpEndpoint(const QString& text, QString* error);

}  // namespace sentrok::web
