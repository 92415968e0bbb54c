#include "web/escape.h"

#include "common/conversions.h"

#include <cmath>

namespace sentrok::web {

QString htmlText(const QString& text)
{
    const QString shown = printableText(text);
    QString out;
    out.reserve(shown.size() + 16);
    for (const QChar c : shown) {
        switch (c.unicode()) {
            case u'&':
                out += QLatin1String("&amp;");
                break;
            case u'<':
                out += QLatin1String("&lt;");
                break;
            case u'>':
                out += QLatin1String("&gt;");
                break;
            case u'"':
                out += QLatin1String("&quot;");
                break;
            case u'\'':
                out += QLatin1String("&#39;");
                break;
            default:
                out += c;
        }
    }
    return out;
}

QString labelValue(const QString& text)
{
    const QString shown = printableText(text);
    QString out;
    out.reserve(shown.size() + 4);
    for (const QChar c : shown) {
        if (c == u'\\')
            out += QLatin1String("\\\\");
        else if (c == u'"')
            out += QLatin1String("\\\"");
        else if (c == u'\n')
            out += QLatin1String("\\n");
        else
            out += c;
    }
    return out;
}

void appendJsonString(QByteArray& out, const QString& text)
{
    static const char hex[] = "0123456789abcdef";
    out += '"';
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t u = text[i].unicode();
        switch (u) {
            case u'"':
                out += "\\\"";
                continue;
            case u'\\':
                out += "\\\\";
                continue;
            case u'\n':
                out += "\\n";
                continue;
            case u'\r':
                out += "\\r";
                continue;
            case u'\t':
                out += "\\t";
                continue;
            default:
                break;
        }
        if (u < 0x20 || u == u'<' || u == u'>' || u == u'&' || u == 0x2028 || u == 0x2029) {
            out += "\\u";
            for (int shift = 12; shift >= 0; shift -= 4) out += hex[(u >> shift) & 0xf];
        } else if (u < 0x80) {
            out += char(u);
        } else {
            // A surrogate pair goes out whole; a lone half becomes the replacement character.
            const bool pair =
                text[i].isHighSurrogate() && i + 1 < text.size() && text[i + 1].isLowSurrogate();
            out += QStringView(text).mid(i, pair ? 2 : 1).toUtf8();
            if (pair) ++i;
        }
    }
    out += '"';
}

void JsonWriter::separate()
{
    if (m_afterKey) {
        m_afterKey = false;
        return;
    }
    if (!m_first.empty()) {
        if (!m_first.back()) m_out += ',';
        m_first.back() = false;
    }
}

JsonWriter& JsonWriter::beginObject()
{
    separate();
    m_out += '{';
    m_first.push_back(true);
    return *this;
}

JsonWriter& JsonWriter::endObject()
{
    m_out += '}';
    m_first.pop_back();
    return *this;
}

JsonWriter& JsonWriter::beginArray()
{
    separate();
    m_out += '[';
    m_first.push_back(true);
    return *this;
}

JsonWriter& JsonWriter::endArray()
{
    m_out += ']';
    m_first.pop_back();
    return *this;
}

JsonWriter& JsonWriter::key(const char* name)
{
    separate();
    m_out += '"';
    m_out += name;
    m_out += "\":";
    m_afterKey = true;
    return *this;
}

JsonWriter& JsonWriter::value(const QString& text)
{
    separate();
    appendJsonString(m_out, text);
    return *this;
}

JsonWriter& JsonWriter::value(const char* text) { return value(QString::fromUtf8(text)); }

JsonWriter& JsonWriter::value(qint64 number)
{
    separate();
    m_out += QByteArray::number(number);
    return *this;
}

JsonWriter& JsonWriter::value(double number)
{
    if (!std::isfinite(number)) return null();
    separate();
    m_out += QByteArray::number(number, 'g', 8);
    return *this;
}

JsonWriter& JsonWriter::value(bool flag)
{
    separate();
    m_out += flag ? "true" : "false";
    return *this;
}

JsonWriter& JsonWriter::null()
{
    separate();
    m_out += "null";
    return *this;
}

}  // namespace sentrok::web
