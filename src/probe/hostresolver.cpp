#include "probe/hostresolver.h"

#include <QHostAddress>
#include <QHostInfo>

namespace sentrok {

std::optional<quint32> literalIPv4(const QString& text)
{
    // QHostAddress simplifies blanks away; a text with a tab in it is not an address here.
    for (const QChar c : text)
        if (c.isSpace()) return std::nullopt;
    QHostAddress address;
    if (!address.setAddress(text) || address.protocol() != QAbstractSocket::IPv4Protocol)
        return std::nullopt;
    return address.toIPv4Address();
}

QtHostResolver::QtHostResolver(QObject* parent) : QObject(parent) {}

QtHostResolver::~QtHostResolver()
{
    for (auto it = m_pending.cbegin(); it != m_pending.cend(); ++it)
        QHostInfo::abortHostLookup(it.key());
}

quint64 QtHostResolver::lookup(const QString& name, Resolved resolved)
{
    // Results come back in any order: each is matched to its request by the lookup id.
    const int id =
        QHostInfo::lookupHost(name, this, [this](const QHostInfo& info) { finished(info); });
    m_pending.insert(id, std::move(resolved));
    return quint64(id);
}

void QtHostResolver::cancel(quint64 id)
{
    if (m_pending.remove(int(id))) QHostInfo::abortHostLookup(int(id));
}

void QtHostResolver::finished(const QHostInfo& info)
{
    const Resolved resolved = m_pending.take(info.lookupId());
    if (!resolved) return;  // cancelled
    std::optional<quint32> first;
    if (info.error() == QHostInfo::NoError) {
        // Qt asks for both families; only an IPv4 address can be probed.
        for (const QHostAddress& a : info.addresses()) {
            if (a.protocol() == QAbstractSocket::IPv4Protocol) {
                first = a.toIPv4Address();
                break;
            }
        }
    }
    resolved(first);
}

}  // namespace sentrok
