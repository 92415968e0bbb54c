#pragma once

#include <QElapsedTimer>
#include <QHostAddress>
#include <QObject>
#include <QSocketNotifier>
#include <QString>
#include <QTimer>

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>

namespace sentrok {

// The address of a text that is written as an address: IPv4 (dotted, or the short and octal
// forms the classic resolver accepts), or IPv6, in brackets or not, with a zone or not
// ("fe80::1%eth0"); empty for anything else, names included.
std::optional<QHostAddress> literalAddress(const QString& text);

// Turns a host name into the address to probe, without blocking: its first IPv4 address, so
// that a name keeps the address it has always had, or its first IPv6 address when it has no
// IPv4 one.
class HostResolver {
public:
    virtual ~HostResolver() = default;
    // Empty when the name has no address or the lookup failed.
    using Resolved = std::function<void(std::optional<QHostAddress> address)>;
    // `resolved` is called exactly once, later, from the event loop.
    virtual quint64 lookup(const QString& name, Resolved resolved) = 0;
    // Forgets a lookup: its `resolved` is never called.
    virtual void cancel(quint64 id) = 0;
};

// A name lookup that has not ended by then counts as unresolved.
inline constexpr int kLookupLimitMs = 5000;

// The system's resolver (getaddrinfo: /etc/hosts, DNS and whatever else the system is set up
// with) on threads of its own. Every lookup ends within its limit, counted from the request,
// whatever the name servers do: one that does not answer in time is unresolved. A thread
// stays blocked in a dead lookup after its limit, so a lookup never waits for one: while all
// threads are blocked a new one is started, up to a bound far above the monitor's window.
class SystemResolver final : public QObject, public HostResolver {
    Q_OBJECT
public:
    explicit SystemResolver(int limitMs = kLookupLimitMs, QObject* parent = nullptr);
    ~SystemResolver() override;
    quint64 lookup(const QString& name, Resolved resolved) override;
    void cancel(quint64 id) override;

    struct Shared;  // what the threads and this share

private:
    void collect();
    void expire();
    void armTimer();

    struct Pending {
        Resolved resolved{};
        qint64 deadlineMs = 0;
    };
    std::shared_ptr<Shared> m_shared;
    std::unique_ptr<QSocketNotifier> m_wake;  // after m_shared: goes before its descriptor
    QTimer m_timer;
    QElapsedTimer m_clock;
    int m_limitMs;
    quint64 m_lastId = 0;
    std::map<quint64, Pending> m_pending;
    std::set<std::pair<qint64, quint64>> m_deadlines;
};

}  // namespace sentrok
