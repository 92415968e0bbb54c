#include "alerts/smtp.h"

#include <QList>
#include <QStringDecoder>
#include <QStringEncoder>
#include <QStringList>
#include <QUuid>

namespace sentrok::smtp {

namespace {

constexpr auto kCodec = "windows-1251";

// What ICU writes for a character the code page lacks (ASCII SUB).
constexpr char kIcuSubstitute = '\x1a';

struct Refusal {
    const char16_t* code;
    const char16_t* text;
};

// 421 is missing: its text starts with the server's name.
constexpr Refusal kRefusals[] = {
    {u"450",
     u"Запрошенная команда почтовой транзакции не выполнена, так как почтовый ящик "
     u"недоступен"},
    {u"451",
     u"Запрошенная команда не выполнена; произошла локальная ошибка при обработке "
     u"сообщения"},
    {u"452", u"Запрошенная команда не выполнена; системе не хватило ресурсов"},
    {u"500", u"Синтаксическая ошибка в тексте команды; команда не опознана"},
    {u"501", u"Синтаксическая ошибка в аргументах или параметрах команды"},
    {u"502", u"Данная команда не реализована"},
    {u"503", u"Неверная последовательность команд"},
    {u"504", u"У данной команды не может быть аргументов"},
    {u"550", u"Запрошенная команда не выполнена, так как почтовый ящик недоступен"},
    {u"551",
     u"Данный адресат не является местным; попробуйте передать сообщение по маршруту "
     u"<forward-path>"},
    {u"552",
     u"Запрошенная команда почтовой транзакции прервана; дисковое пространство, "
     u"доступное системе, переполнилось"},
    {u"553", u"Запрошенная команда не выполнена; указано недопустимое имя почтового ящика"},
    {u"554", u"Сообщение не было отправленно"},
};

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// "NNN-": more lines of the same reply follow.
bool continues(QByteArrayView line)
{
    return line.size() >= 4 && isDigit(line[0]) && isDigit(line[1]) && isDigit(line[2]) &&
           line[3] == '-';
}

}  // namespace

std::optional<QByteArray> ReplyReader::next()
{
    for (;;) {
        const qsizetype lf = m_buffer.indexOf('\n', m_scanned);
        if (lf < 0) return std::nullopt;
        const bool more = continues(QByteArrayView(m_buffer).sliced(m_scanned, lf - m_scanned));
        m_scanned = lf + 1;
        if (more) continue;
        QByteArray reply = m_buffer.left(m_scanned);
        m_buffer.remove(0, m_scanned);
        m_scanned = 0;
        return reply;
    }
}

QString replyCode(QByteArrayView reply) { return fromWire(reply.first(qMin(reply.size(), 3))); }

bool isPositive(QStringView code) { return code == u"220" || code == u"250" || code == u"354"; }

bool isRefusal(QStringView code)
{
    return code.size() == 3 && (code[0] == u'4' || code[0] == u'5') && code[1].isDigit() &&
           code[2].isDigit();
}

QString errorText(QStringView code, const QString& serverName)
{
    if (code == u"421")
        return serverName + QStringLiteral(" служба недоступна, соединение закрывается");
    for (const Refusal& r : kRefusals)
        if (code == QStringView(r.code)) return QString::fromUtf16(r.text);
    return {};
}

QByteArray toWire(const QString& text)
{
    QStringEncoder encoder(kCodec);
    QByteArray bytes = encoder.encode(text);
    // A character the code page lacks goes out as "?", as Windows writes it, rather than as
    // an invisible control character.
    if (encoder.hasError()) bytes.replace(kIcuSubstitute, '?');
    return bytes;
}

QString fromWire(QByteArrayView bytes) { return QStringDecoder(kCodec).decode(bytes); }

QByteArray command(const QString& line) { return toWire(line) + "\r\n"; }

QByteArray headerBlock(const QString& subject, const QString& from, const QString& to)
{
    return command(QStringLiteral("Subject: ") + subject) +
           command(QStringLiteral("From: ") + from) + command(QStringLiteral("To: ") + to) +
           "MIME-Version: 1.0\r\n"
           "Content-Type: text/plain; charset=\"windows-1251\"\r\n"
           "\r\n";
}

QByteArray messageData(const QString& body)
{
    QString text = body;
    text.replace(QStringLiteral("\r\n"), QStringLiteral("\n")).replace(u'\r', u'\n');
    QByteArray out;
    out.reserve(text.size() + text.count(u'\n') + 8);
    for (QStringView line : QStringView(text).split(u'\n')) {
        if (line.startsWith(u'.')) out += '.';
        out += toWire(line.toString());
        out += "\r\n";
    }
    out.chop(2);  // the last piece is what follows the last line break
    return out + "\r\n.\r\n";
}

Extensions parseEhlo(QByteArrayView reply)
{
    Extensions out;
    // Lines "250-WORD params" and the last "250 WORD params"; the first names the server.
    const QList<QByteArray> lines = reply.toByteArray().split('\n');
    bool first = true;
    for (const QByteArray& raw : lines) {
        const QByteArray line = raw.trimmed();
        if (line.size() < 4) continue;
        if (first) {
            first = false;
            continue;
        }
        const QByteArray words = line.sliced(4).toUpper();
        const QList<QByteArray> parts = words.split(' ');
        const QByteArray& keyword = parts.first();
        if (keyword == "STARTTLS")
            out.startTls = true;
        else if (keyword == "8BITMIME")
            out.eightBitMime = true;
        // Old servers write "AUTH=LOGIN PLAIN".
        else if (keyword == "AUTH" || keyword.startsWith("AUTH=")) {
            QList<QByteArray> mechanisms = parts.mid(1);
            if (keyword.startsWith("AUTH=")) mechanisms.prepend(keyword.mid(5));
            for (const QByteArray& m : mechanisms) {
                if (m == "PLAIN")
                    out.authPlain = true;
                else if (m == "LOGIN")
                    out.authLogin = true;
            }
        }
    }
    return out;
}

QByteArray authPlainToken(const QString& user, const QString& password)
{
    return (QByteArray(1, '\0') + user.toUtf8() + QByteArray(1, '\0') + password.toUtf8())
        .toBase64();
}

QString rfc5322Date(const QDateTime& when)
{
    static const char* const days[] = {"Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun"};
    static const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const QDate d = when.date();
    const QTime t = when.time();
    const int offset = when.offsetFromUtc() / 60;
    const int absOffset = offset < 0 ? -offset : offset;
    return QStringLiteral("%1, %2 %3 %4 %5 %6%7%8")
        .arg(QLatin1String(days[d.dayOfWeek() - 1]))
        .arg(d.day(), 2, 10, QChar(u'0'))
        .arg(QLatin1String(months[d.month() - 1]))
        .arg(d.year(), 4, 10, QChar(u'0'))
        .arg(t.toString(QStringLiteral("HH:mm:ss")))
        .arg(QChar(offset < 0 ? u'-' : u'+'))
        .arg(absOffset / 60, 2, 10, QChar(u'0'))
        .arg(absOffset % 60, 2, 10, QChar(u'0'));
}

QString newMessageId(const QString& domain)
{
    return u'<' + QUuid::createUuid().toString(QUuid::WithoutBraces) + u'@' +
           (domain.isEmpty() ? QStringLiteral("sentrok.localhost") : domain) + u'>';
}

QByteArray extendedHeaderBlock(const QString& subject, const QString& from, const QString& to,
                               const QString& date, const QString& messageId)
{
    return command(QStringLiteral("Subject: ") + subject) +
           command(QStringLiteral("From: ") + from) + command(QStringLiteral("To: ") + to) +
           command(QStringLiteral("Date: ") + date) +
           command(QStringLiteral("Message-ID: ") + messageId) +
           "MIME-Version: 1.0\r\n"
           "Content-Type: text/plain; charset=\"windows-1251\"\r\n"
           "Content-Transfer-Encoding: 8bit\r\n"
           "\r\n";
}

QString serverWords(QByteArrayView reply, const QStringList& secrets)
{
    constexpr qsizetype kMaxShown = 300;
    QString words = fromWire(reply.first(qMin(reply.size(), kMaxShown * 2)));
    words.replace(QStringLiteral("\r\n"), QStringLiteral(" ")).replace(u'\n', u' ');
    words = words.simplified();
    for (const QString& secret : secrets) {
        if (secret.isEmpty()) continue;
        words.replace(secret, QStringLiteral("***"));
        words.replace(QString::fromLatin1(secret.toUtf8().toBase64()), QStringLiteral("***"));
    }
    if (words.size() > kMaxShown) words = words.left(kMaxShown) + QStringLiteral("...");
    return words;
}

}  // namespace sentrok::smtp
