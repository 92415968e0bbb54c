#include "web/endpoint.h"

#include "common/conversions.h"

#include <QRegularExpression>

namespace sentrok::web {

namespace {

QString example() { return QStringLiteral("например 127.0.0.1:8080 или [::]:8080"); }

// Four numbers with dots, as people write an IPv4 address: the shorter forms the C library
// also takes ("127.1") are refused, being almost always a typing slip.
bool dottedQuad(const QString& text)
{
    static const QRegularExpression form(QStringLiteral("^\\d{1,3}(\\.\\d{1,3}){3}$"));
    return form.match(text).hasMatch();
}

}  // namespace

QString HttpEndpoint::text() const
{
    if (address == QHostAddress(QHostAddress::Any)) return QStringLiteral("[::]:%1").arg(port);
    if (address.protocol() == QAbstractSocket::IPv6Protocol)
        return QStringLiteral("[%1]:%2").arg(address.toString()).arg(port);
    return QStringLiteral("%1:%2").arg(address.toString()).arg(port);
}

std::optional<HttpEndpoint> parseHttpEndpoint(const QString& given, QString* error)
{
    const QString text = given.trimmed();
    const auto fail = [&](const QString& why) -> std::optional<HttpEndpoint> {
        if (error)
            *error = QStringLiteral("адрес веб-сервера «%1»: %2").arg(printableText(text), why);
        return std::nullopt;
    };
    if (text.isEmpty()) return fail(QStringLiteral("не задан; укажите АДРЕС:ПОРТ, ") + example());
    QString host, port;
    bool bracketed = false;
    if (text.startsWith(u'[')) {
        const qsizetype close = text.indexOf(u']');
        if (close < 0) return fail(QStringLiteral("нет закрывающей скобки ], ") + example());
        host = text.mid(1, close - 1);
        if (text.mid(close + 1, 1) != QLatin1String(":"))
            return fail(QStringLiteral("после адреса в скобках нужны двоеточие и порт, ") +
                        example());
        port = text.mid(close + 2);
        bracketed = true;
    } else {
        const qsizetype colon = text.lastIndexOf(u':');
        if (colon < 0) return fail(QStringLiteral("не указан порт, ") + example());
        host = text.left(colon);
        port = text.mid(colon + 1);
        if (host.contains(u':'))
            return fail(
                QStringLiteral("адрес IPv6 пишется в квадратных скобках, например [::1]:8080"));
    }
    static const QRegularExpression digits(QStringLiteral("^\\d{1,5}$"));
    const int number = digits.match(port).hasMatch() ? port.toInt() : 0;
    if (number < 1 || number > 65535)
        return fail(QStringLiteral("порт «%1» — не число от 1 до 65535").arg(printableText(port)));
    HttpEndpoint out;
    out.port = quint16(number);
    if (bracketed) {
        if (!out.address.setAddress(host) ||
            out.address.protocol() != QAbstractSocket::IPv6Protocol)
            return fail(QStringLiteral("«%1» — не адрес IPv6").arg(printableText(host)));
        // Every address of both kinds, as people mean [::].
        if (out.address == QHostAddress(QHostAddress::AnyIPv6)) out.address = QHostAddress::Any;
    } else if (!dottedQuad(host) || !out.address.setAddress(host) ||
               out.address.protocol() != QAbstractSocket::IPv4Protocol) {
        return fail(QStringLiteral("«%1» — не адрес IPv4 из четырёх чисел (имена не принимаются: "
                                   "укажите адрес), ")
                        .arg(printableText(host)) +
                    example());
    }
    return out;
}

}  // namespace sentrok::web
