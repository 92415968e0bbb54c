#include "common/inputrules.h"

#include "common/conversions.h"

#include <QStringList>
#include <QUrl>

#include <arpa/inet.h>

namespace sentrok {

namespace {

// DNS: a name of at most 253 characters, in parts of 1 to 63 (both as the name goes on the wire,
// after international letters have been turned into "xn--" form).
constexpr qsizetype kMaxNameLength = 253;
constexpr qsizetype kMaxLabelLength = 63;
// An interface name fits the kernel's 16 bytes with its terminating zero.
constexpr qsizetype kMaxInterfaceName = 15;

bool asciiDigits(QStringView text)
{
    if (text.isEmpty()) return false;
    for (const QChar c : text)
        if (c < u'0' || c > u'9') return false;
    return true;
}

bool dottedQuad(const QString& text)
{
    const QStringList parts = text.split(u'.');
    if (parts.size() != 4) return false;
    for (const QString& p : parts) {
        if (!asciiDigits(p) || p.size() > 3 || (p.size() > 1 && p.front() == u'0')) return false;
        if (p.toInt() > 255) return false;
    }
    return true;
}

bool interfaceName(const QString& zone)
{
    if (zone.isEmpty() || zone.size() > kMaxInterfaceName) return false;
    for (const QChar c : zone) {
        const bool ok = (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') ||
                        (c >= u'0' && c <= u'9') || c == u'_' || c == u'-' || c == u'.';
        if (!ok) return false;
    }
    return true;
}

std::optional<QString> ipv6Refusal(const QString& text)
{
    QString bare = text;
    if (bare.startsWith(u'[')) {
        if (!bare.endsWith(u']')) return kBadIPv6;
        bare = bare.mid(1, bare.size() - 2);
    }
    if (const qsizetype percent = bare.indexOf(u'%'); percent >= 0) {
        if (!interfaceName(bare.mid(percent + 1))) return kBadZone;
        bare.truncate(percent);
    }
    in6_addr address{};
    if (::inet_pton(AF_INET6, bare.toLatin1().constData(), &address) != 1 ||
        bare.toLatin1() != bare.toUtf8())
        return kBadIPv6;
    return std::nullopt;
}

bool nameCharacter(QChar c)
{
    if (c.unicode() < 0x80)
        return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9') ||
               c == u'-';
    // International names: their letters (with their accents and marks) and digits.
    return c.isLetterOrNumber() || c.isMark();
}

bool hostName(QString name)
{
    if (name.endsWith(u'.')) name.chop(1);  // the root, written out
    if (name.isEmpty()) return false;
    for (const QString& label : name.split(u'.')) {
        if (label.isEmpty() || label.startsWith(u'-') || label.endsWith(u'-')) return false;
        for (const QChar c : label)
            if (!nameCharacter(c)) return false;
    }
    const QByteArray ace = QUrl::toAce(name);
    if (ace.isEmpty() || ace.size() > kMaxNameLength) return false;
    for (const QByteArray& label : ace.split('.'))
        if (label.isEmpty() || label.size() > kMaxLabelLength) return false;
    return true;
}

}  // namespace

QString trimHostText(const QString& host)
{
    qsizetype begin = 0, end = host.size();
    while (begin < end && host[begin] == u' ') ++begin;
    while (end > begin && host[end - 1] == u' ') --end;
    return host.mid(begin, end - begin);
}

std::optional<QString> addressRefusal(const QString& ip)
{
    const QString text = trimHostText(ip);
    if (text.isEmpty()) return kNoAddress;
    if (text.size() > kMaxHostLength) return kHostTooLong;
    if (text.contains(u':') || text.startsWith(u'[')) return ipv6Refusal(text);
    QStringView last(text);
    if (last.endsWith(u'.')) last.chop(1);
    last = last.mid(last.lastIndexOf(u'.') + 1);
    if (asciiDigits(last)) return dottedQuad(text) ? std::nullopt : std::optional(kBadIPv4);
    return hostName(text) ? std::nullopt : std::optional(kBadHostName);
}

std::optional<QString> hostRefusal(const QString& ip, const QString& vw, const QString& vn,
                                   const QLocale& locale)
{
    if (const auto refusal = addressRefusal(ip)) return refusal;
    // The probe converts every wait time to a 16-bit time-out, and cannot check a host whose
    // wait is below 0.
    const std::optional<double> wait = numericValue(vw, locale);
    if (!wait || *wait < 0 || !toInt16(vw, locale)) return kWaitOutOfRange;
    // A count the probe keeps (numeric, leading value at least 1) becomes a 16-bit number; any
    // other count is replaced by 1 and so is harmless.
    if (isNumeric(vn, locale) && leadingValue(vn) >= 1 && !toInt16(vn, locale))
        return kCountTooLarge;
    return std::nullopt;
}

std::optional<QString> descriptionRefusal(const QString& desc)
{
    for (const QChar c : desc)
        if (isControlCharacter(c)) return kControlInDesc;
    return std::nullopt;
}

IntervalInput intervalInput(const QString& text, const QLocale& locale)
{
    const std::optional<double> value = numericValue(text, locale);
    if (!value) return {0, kIntervalNotNumber};
    const double minutes = roundHalfEven(*value);
    if (minutes < 1 || minutes > kMaxIntervalMinutes) return {0, kIntervalOutOfRange};
    return {std::int32_t(minutes), {}};
}

std::optional<QString> recipientRefusal(const QString& to)
{
    if (to.trimmed().size() > kMaxRecipientLength) return kRecipientTooLong;
    return std::nullopt;
}

std::optional<QString> mailFieldRefusal(const QString& text)
{
    if (descriptionRefusal(text)) return kControlInMail;
    return std::nullopt;
}

}  // namespace sentrok
