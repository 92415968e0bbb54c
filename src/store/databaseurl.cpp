#include "store/databaseurl.h"

#include "store/database.h"
#include "store/defaultdatabase.h"

#include <QDir>
#include <QUrl>
#include <QUrlQuery>

namespace sentrok {

namespace {

DbError badUrl(const QString& text, const QString& why)
{
    return DbError(dbcode::CantOpen,
                   QStringLiteral("адрес базы данных \"%1\" не понят: %2").arg(text, why));
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
    if (!url.isValid()) throw badUrl(text, url.errorString());
    out.user = url.userName(QUrl::FullyDecoded);
    out.password = url.password(QUrl::FullyDecoded);
    out.host = url.host(QUrl::FullyDecoded);
    out.port = url.port(-1);
    out.name = url.path(QUrl::FullyDecoded);
    if (out.name.startsWith(u'/')) out.name.remove(0, 1);
    const QUrlQuery query(url);
    for (const auto& [key, value] : query.queryItems(QUrl::FullyDecoded)) {
        if (key == QLatin1String("host")) out.host = value;
        else if (key == QLatin1String("port")) out.port = value.toInt();
        else if (key == QLatin1String("user")) out.user = value;
        else if (key == QLatin1String("dbname")) out.name = value;
        else if (key == QLatin1String("password")) out.password = value;
        else out.options << key + u'=' + value;
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

QString chooseDatabase(const QStringList& arguments, const QString& programFolder)
{
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        if (arguments[i] == QLatin1String("--database") && i + 1 < arguments.size())
            return arguments[i + 1];
        if (arguments[i].startsWith(QLatin1String("--database=")))
            return arguments[i].mid(11);
    }
    const QString fromEnvironment = qEnvironmentVariable("SENTROK_DATABASE");
    if (!fromEnvironment.isEmpty()) return fromEnvironment;
    return defaultDatabase(programFolder).file;
}

QString DatabaseUrl::describe() const
{
    return engine == Engine::SQLite ? QDir::toNativeSeparators(file) : text();
}

}  // namespace sentrok
