#include "web/webconfig.h"

namespace sentrok::web {

namespace {

struct Setting {
    const char* option;
    const char* variable;
};

constexpr Setting kAddress{"--http", "SENTROK_HTTP"};
constexpr Setting kPassword{"--http-password-file", "SENTROK_HTTP_PASSWORD_FILE"};
constexpr Setting kCert{"--http-cert", "SENTROK_HTTP_CERT"};
constexpr Setting kKey{"--http-key", "SENTROK_HTTP_KEY"};

// The option's value when it is given ("--name VALUE" or "--name=VALUE"); `missing` when it is the
// last argument, with nothing after it.
std::optional<QString> optionValue(const QStringList& arguments, const QString& name, bool* missing)
{
    const QString joined = name + u'=';
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        if (arguments[i] == name) {
            if (i + 1 < arguments.size()) return arguments[i + 1];
            *missing = true;
            return std::nullopt;
        }
        if (arguments[i].startsWith(joined)) return arguments[i].mid(joined.size());
    }
    return std::nullopt;
}

}  // namespace

std::optional<WebOptions> webOptionsFrom(const QStringList& arguments, QString* error)
{
    error->clear();
    QString given;  // the first file option written on the command line
    const auto read = [&](const Setting& s) {
        const QString name = QLatin1String(s.option);
        bool missing = false;
        if (const std::optional<QString> value = optionValue(arguments, name, &missing)) {
            if (given.isEmpty() && &s != &kAddress) given = name;
            return *value;
        }
        if (missing && error->isEmpty())
            *error = QStringLiteral("после %1 нужно значение").arg(name);
        return qEnvironmentVariable(s.variable);
    };
    const QString address = read(kAddress);
    WebOptions options;
    options.passwordFile = read(kPassword);
    options.certFile = read(kCert);
    options.keyFile = read(kKey);
    if (!error->isEmpty()) return std::nullopt;
    if (address.trimmed().isEmpty()) {
        // A password or a certificate asked for on the command line means a server was meant.
        if (!given.isEmpty())
            *error = QStringLiteral(
                         "%1 задан, а адрес веб-сервера — нет: укажите --http "
                         "АДРЕС:ПОРТ")
                         .arg(given);
        return std::nullopt;
    }
    const std::optional<HttpEndpoint> endpoint = parseHttpEndpoint(address, error);
    if (!endpoint) return std::nullopt;
    options.endpoint = *endpoint;
    return options;
}

QString webOptionsUsage()
{
    return QStringLiteral(
        "  --http ADDRESS:PORT         serve the status page, /api/v1, /metrics and /healthz\n"
        "                              (127.0.0.1:PORT this machine only, [::]:PORT every\n"
        "                              address; $SENTROK_HTTP; off by default)\n"
        "  --http-password-file FILE   HTTP Basic authentication, user sentrok, the file's\n"
        "                              first line the password, the file owner-only\n"
        "                              ($SENTROK_HTTP_PASSWORD_FILE)\n"
        "  --http-cert FILE --http-key FILE\n"
        "                              HTTPS with a PEM certificate and key\n"
        "                              ($SENTROK_HTTP_CERT, $SENTROK_HTTP_KEY)\n");
}

}  // namespace sentrok::web
