#pragma once

#include <QHash>
#include <QObject>
#include <QString>

#include <functional>
#include <optional>

class QHostInfo;

namespace sentrok {

// The address of a text that is written as an IPv4 address (dotted, or the short and octal
// forms the classic resolver accepts), host byte order; empty for anything else, names included.
std::optional<quint32> literalIPv4(const QString& text);

// Turns a host name into its first IPv4 address, without blocking.
class HostResolver {
public:
    virtual ~HostResolver() = default;
    // Host byte order; empty when the name has no IPv4 address or the lookup failed.
    using Resolved = std::function<void(std::optional<quint32> address)>;
    // `resolved` is called exactly once, later, from the event loop.
    virtual quint64 lookup(const QString& name, Resolved resolved) = 0;
    // Forgets a lookup: its `resolved` is never called.
    virtual void cancel(quint64 id) = 0;
};

// The system's resolver through QHostInfo, which runs the lookups on its own threads.
class QtHostResolver final : public QObject, public HostResolver {
    Q_OBJECT
public:
    explicit QtHostResolver(QObject* parent = nullptr);
    ~QtHostResolver() override;
    quint64 lookup(const QString& name, Resolved resolved) override;
    void cancel(quint64 id) override;

private:
    void finished(const QHostInfo& info);
    QHash<int, Resolved> m_pending;  // by QHostInfo's lookup id
};

}  // namespace sentrok
