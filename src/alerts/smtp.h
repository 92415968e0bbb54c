#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QDateTime>
#include <QString>
#include <QStringView>

#include <optional>

// The pieces of the SMTP client that need no socket: reply framing, the texts of refusals and
// the bytes of commands and message. All text on the wire is windows-1251.
namespace sentrok::smtp {

// Gathers what the server sends into complete replies. A reply is one or more lines, each
// ended by LF (normally CR LF); every line but the last starts with three digits and "-".
// A line of any other form ends its reply, so garbage comes out as a reply of its own and is
// ignored by its code instead of holding the dialogue up.
class ReplyReader {
public:
    // Far beyond any reply to the commands this client sends; more without a complete reply
    // is a server talking nonsense.
    static constexpr qsizetype kMaxPending = 64 * 1024;

    void append(QByteArrayView bytes) { m_buffer.append(bytes); }
    // The next complete reply with its line ends, or nothing while it is still arriving.
    std::optional<QByteArray> next();
    // True when more than kMaxPending bytes wait without making up a complete reply.
    bool overflowed() const { return m_buffer.size() > kMaxPending; }
    // Nothing received that is not yet taken as a reply.
    bool isEmpty() const { return m_buffer.isEmpty(); }

private:
    QByteArray m_buffer;
    qsizetype m_scanned = 0;  // start of the first line not yet looked at
};

// The reply's code as the dialogue compares it: its first three characters.
QString replyCode(QByteArrayView reply);
// 220, 250 and 354 move the dialogue on, whichever command they answer.
bool isPositive(QStringView code);
// Three digits beginning 4 or 5: the server will not do what was asked.
bool isRefusal(QStringView code);
// The words shown to the user for a refusal, or a null string for a code that is not shown.
// serverName begins the 421 text.
QString errorText(QStringView code, const QString& serverName);

QByteArray toWire(const QString& text);
QString fromWire(QByteArrayView bytes);

// One command line with its CR LF.
QByteArray command(const QString& line);
// The header lines and the empty line that ends them.
QByteArray headerBlock(const QString& subject, const QString& from, const QString& to);
// The body as sent after the header: every line break made CR LF, a line beginning with "."
// given a second one (so no line of the body can end the message), then CR LF "." CR LF.
QByteArray messageData(const QString& body);

// What a server offers in its answer to EHLO, as far as this client cares.
struct Extensions {
    bool startTls = false;
    bool authPlain = false;
    bool authLogin = false;
    bool eightBitMime = false;
};
Extensions parseEhlo(QByteArrayView reply);

// The one line of AUTH PLAIN's answer: base64 of NUL, user, NUL, password in UTF-8.
QByteArray authPlainToken(const QString& user, const QString& password);

// RFC 5322 date with the local offset, English names whatever the locale:
// "Mon, 07 Dec 2026 20:07:11 +0300".
QString rfc5322Date(const QDateTime& when);
// A new identifier, unique for every call, for the Message-ID header: "<...@domain>".
QString newMessageId(const QString& domain);
// The header block of the extended dialogue: the same lines plus Date, Message-ID and the
// transfer encoding of the 8-bit body.
QByteArray extendedHeaderBlock(const QString& subject, const QString& from, const QString& to,
                               const QString& date, const QString& messageId);

// A reply as words for the user: its lines joined, cut to a readable length, with any of
// `secrets` (and their base64 forms) masked should the server repeat them.
QString serverWords(QByteArrayView reply, const QStringList& secrets = {});

}  // namespace sentrok::smtp
