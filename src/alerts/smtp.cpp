#include "alerts/smtp.h"

#include <QList>
#include <QStringDecoder>
#include <QStringEncoder>

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
    {u"450", u"Запрошенная команда почтовой транзакции не выполнена, так как почтовый ящик "
             u"недоступен"},
    {u"451", u"Запрошенная команда не выполнена; произошла локальная ошибка при обработке "
             u"сообщения"},
    {u"452", u"Запрошенная команда не выполнена; системе не хватило ресурсов"},
    {u"500", u"Синтаксическая ошибка в тексте команды; команда не опознана"},
    {u"501", u"Синтаксическая ошибка в аргументах или параметрах команды"},
    {u"502", u"Данная команда не реализована"},
    {u"503", u"Неверная последовательность команд"},
    {u"504", u"У данной команды не может быть аргументов"},
    {u"550", u"Запрошенная команда не выполнена, так как почтовый ящик недоступен"},
    {u"551", u"Данный адресат не является местным; попробуйте передать сообщение по маршруту "
             u"<forward-path>"},
    {u"552", u"Запрошенная команда почтовой транзакции прервана; дисковое пространство, "
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

bool isPositive(QStringView code)
{
    return code == u"220" || code == u"250" || code == u"354";
}

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

}  // namespace sentrok::smtp
