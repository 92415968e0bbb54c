#pragma once

#include "web/webserver.h"

#include <QStringList>

#include <optional>

namespace sentrok::web {

// The web server as a program's options ask for it, each option before its environment variable:
//   --http ADDRESS:PORT              SENTROK_HTTP                 off when neither is given
//   --http-password-file FILE        SENTROK_HTTP_PASSWORD_FILE
//   --http-cert FILE                 SENTROK_HTTP_CERT
//   --http-key FILE                  SENTROK_HTTP_KEY
// ("--http=ADDRESS:PORT" alike). The files are only named here; the server reads them as it
// starts. nullopt: no server, and then `error` says why when the options are wrong (an option
// without its value, a bad address, a file option given without --http), and is empty when no
// server was asked for. A file set only in the environment is ignored without --http: the service's
// environment file turns the server off by its address alone.
std::optional<WebOptions> webOptionsFrom(const QStringList& arguments, QString* error);

// The options' lines for a program's usage text.
QString webOptionsUsage();

}  // namespace sentrok::web
