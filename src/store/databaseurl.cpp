#include "store/databaseurl.h"

#include "common/conversions.h"
#include "store/database.h"
#include "store/defaultdatabase.h"

#include <QDir>
#include <QRegularExpression>
#include <QUrl>
#include <QUrlQuery>

namespace sentrok {

namespace {

DbError badUrl(const QString& text, const QString& why)
{
    return DbError(
        dbcode::CantOpen,
        QStringLiteral("адрес базы данных \"%1\" не понят: %2").arg(redactUrl(text), why));
}

// A libpq parameter name: lower-case letters and "_" (sslmode, target_session_attrs...).
bool optionKey(const QString& key)
{
    if (key.isEmpty()) return false;
    for (const QChar c : key)
        if (!((c >= u'a' && c <= u'z') || c == u'_')) return false;
    return true;
}

// libpq's conninfo value: in single quotes, with backslash and quote escaped by a backslash.
QString quotedValue(QString value)
{
    value.replace(u'\\', QStringLiteral("\\\\")).replace(u'\'', QStringLiteral("\\'"));
    return u'\'' + value + u'\'';
}

}  // namespace

DatabaseUrl DatabaseUrl::parse(const QString& text)
{
    DatabaseUrl out;
    const QString trimmed = text.trimmed();
    if (trimmed.isEmpty()) throw badUrl(text, QStringLiteral("он пуст"));
    const bool postgres = trimmed.startsWith(QLatin1String("postgresql://")) ||
                          trimmed.startsWith(QLatin1String("postgres://"));
    if (!postgres) {
        QString path = trimmed;
        if (path.startsWith(QLatin1String("sqlite:"))) path = path.mid(7);
        if (path.startsWith(QLatin1String("//"))) path = path.mid(2);  // sqlite:///abs/path
        if (path.isEmpty()) throw badUrl(text, QStringLiteral("не указан файл"));
        out.file = QDir::cleanPath(QDir(path).absolutePath());
        return out;
    }
    out.engine = Engine::PostgreSQL;
    const QUrl url(trimmed, QUrl::StrictMode);
    // Qt's words go on to quote the whole URL, password and all, in pieces: only the first part
    // is kept.
    if (!url.isValid()) throw badUrl(text, url.errorString().section(u';', 0, 0));
    out.user = url.userName(QUrl::FullyDecoded);
    out.password = url.password(QUrl::FullyDecoded);
    out.host = url.host(QUrl::FullyDecoded);
    out.port = url.port(-1);
    out.name = url.path(QUrl::FullyDecoded);
    if (out.name.startsWith(u'/')) out.name.remove(0, 1);
    const QUrlQuery query(url);
    for (const auto& [key, value] : query.queryItems(QUrl::FullyDecoded)) {
        if (key == QLatin1String("host"))
            out.host = value;
        else if (key == QLatin1String("port")) {
            bool ok = false;
            out.port = value.toInt(&ok);
            if (!ok || out.port < 1 || out.port > 65535)
                throw badUrl(text, QStringLiteral("порт должен быть числом от 1 до 65535"));
        } else if (key == QLatin1String("user"))
            out.user = value;
        else if (key == QLatin1String("dbname"))
            out.name = value;
        else if (key == QLatin1String("password"))
            out.password = value;
        else if (!optionKey(key))
            throw badUrl(
                text, QStringLiteral("\"%1\" не имя параметра соединения").arg(printableText(key)));
        // The driver turns every ";" of its options into a blank: such a value cannot reach the
        // server as written.
        else if (value.contains(u';'))
            throw badUrl(text,
                         QStringLiteral("значение параметра %1 не может содержать «;»").arg(key));
        else
            out.options << key + u'=' + value;
    }
    if (out.name.isEmpty()) throw badUrl(text, QStringLiteral("не указано имя базы данных"));
    return out;
}

QString DatabaseUrl::text(bool withPassword) const
{
    if (engine == Engine::SQLite) return QStringLiteral("sqlite:") + file;
    QUrl url;
    url.setScheme(QStringLiteral("postgresql"));
    if (!user.isEmpty()) url.setUserName(user);
    if (withPassword && !password.isEmpty()) url.setPassword(password);
    if (!host.isEmpty() && !host.startsWith(u'/')) url.setHost(host);
    if (port > 0) url.setPort(port);
    url.setPath(u'/' + name);
    QUrlQuery query;
    if (host.startsWith(u'/')) query.addQueryItem(QStringLiteral("host"), host);
    for (const QString& option : options)
        query.addQueryItem(option.section(u'=', 0, 0), option.section(u'=', 1));
    url.setQuery(query);
    return url.toString();
}

QString passwordInArgumentsWarning(const QString& location)
{
    try {
        if (DatabaseUrl::parse(location).password.isEmpty()) return {};
    } catch (const DbError&) {
        return {};
    }
    return QStringLiteral(
        "пароль в адресе базы данных в командной строке видят все пользователи "
        "машины (в списке процессов): задайте его в PGPASSWORD, ~/.pgpass или "
        "командой sentrok-db db-password");
}

QString chooseDatabase(const QStringList& arguments, const QString& programFolder)
{
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        if (arguments[i] == QLatin1String("--database") && i + 1 < arguments.size())
            return arguments[i + 1];
        if (arguments[i].startsWith(QLatin1String("--database="))) return arguments[i].mid(11);
    }
    const QString fromEnvironment = qEnvironmentVariable("SENTROK_DATABASE");
    if (!fromEnvironment.isEmpty()) return fromEnvironment;
    return defaultDatabase(programFolder).file;
}

QString DatabaseUrl::describe() const
{
    return engine == Engine::SQLite ? printableText(QDir::toNativeSeparators(file))
                                    : redactUrl(text(true));
}

QString redactUrl(const QString& text)
{
    QString out = text;
    const qsizetype scheme = out.indexOf(QLatin1String("://"));
    if (scheme >= 0) {
        const qsizetype authority = scheme + 3;
        // The user information ends at the last "@" before the query: a password written with a
        // raw "@" or "/" in it is masked whole.
        qsizetype query = out.indexOf(u'?', authority);
        if (query < 0) query = out.size();
        const qsizetype at = out.lastIndexOf(u'@', query - 1);
        if (at >= authority) {
            const qsizetype colon = out.indexOf(u':', authority);
            if (colon >= 0 && colon < at)
                out.replace(colon + 1, at - colon - 1, QStringLiteral("***"));
        }
    }
    static const QRegularExpression inQuery(QStringLiteral("([?&]password=)[^&#]*"),
                                            QRegularExpression::CaseInsensitiveOption);
    out.replace(inQuery, QStringLiteral("\\1***"));
    return printableText(out);
}

QString connectOptions(const QStringList& options)
{
    QStringList out;
    out.reserve(options.size());
    for (const QString& option : options)
        out << option.section(u'=', 0, 0) + u'=' + quotedValue(option.section(u'=', 1));
    return out.join(u';');
}

}  // namespace sentrok
