#pragma once

#include <QByteArray>
#include <QString>

#include <optional>
#include <vector>

namespace sentrok::web {

// Every text that comes from the database (a description, an address, a process's name) is
// written by whoever could write the database: it reaches a page, a JSON document or a metric's
// label only through these.

// For HTML text and attribute values: & < > " ' as character references; control characters
// (a line break, an escape, the marks that turn text around) as visible escapes.
QString htmlText(const QString& text);

// For a Prometheus label value: control characters as visible escapes, then \ and " escaped.
QString labelValue(const QString& text);

// A JSON string with its quotes. The text stays as stored; quotes, backslashes and control
// characters are escaped, and so are <, >, & and the two line separators JavaScript once refused,
// so the string is safe wherever a document ends up.
void appendJsonString(QByteArray& out, const QString& text);

// Writes a JSON document as it goes, without a tree in memory: the status of ten thousand hosts
// is one pass over the snapshot.
class JsonWriter {
public:
    JsonWriter& beginObject();
    JsonWriter& endObject();
    JsonWriter& beginArray();
    JsonWriter& endArray();
    // The name of the next value in the object under way.
    JsonWriter& key(const char* name);
    JsonWriter& value(const QString& text);
    JsonWriter& value(const char* text);
    JsonWriter& value(qint64 number);
    JsonWriter& value(int number) { return value(qint64(number)); }
    JsonWriter& value(double number);  // not finite: null
    JsonWriter& value(bool flag);
    JsonWriter& null();
    // -1 (the snapshot's "not known") as null.
    JsonWriter& valueOrNull(qint64 number) { return number < 0 ? null() : value(number); }
    JsonWriter& valueOrNull(const std::optional<double>& number)
    {
        return number ? value(*number) : null();
    }

    const QByteArray& bytes() const { return m_out; }
    QByteArray take() { return std::move(m_out); }

private:
    void separate();
    QByteArray m_out;
    std::vector<bool> m_first;  // per open object or array: nothing written in it yet
    bool m_afterKey = false;
};

}  // namespace sentrok::web
