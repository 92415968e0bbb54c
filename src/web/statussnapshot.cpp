#include "web/statussnapshot.h"

namespace sentrok::web {

QString stateName(HostState state)
{
    switch (state) {
        case HostState::Up:
            return QStringLiteral("up");
        case HostState::Down:
            return QStringLiteral("down");
        case HostState::Unreachable:
            return QStringLiteral("unreachable");
        case HostState::Unchecked:
            break;
    }
    return QStringLiteral("unchecked");
}

QString stripText(const std::array<HourCell, kStripHours>& strip)
{
    QString out(kStripHours, u'-');
    for (int i = 0; i < kStripHours; ++i) {
        const HourCell& c = strip[std::size_t(i)];
        if (c.checks <= 0) continue;
        out[i] = c.failed <= 0 ? u'o' : c.failed >= c.checks ? u'x' : u'p';
    }
    return out;
}

const HostStatus* StatusSnapshot::find(qint64 id) const
{
    const auto it = m_index.constFind(id);
    return it == m_index.cend() ? nullptr : &hosts[*it];
}

void StatusSnapshot::index()
{
    m_index.clear();
    m_index.reserve(qsizetype(hosts.size()));
    for (std::size_t i = 0; i < hosts.size(); ++i) m_index.insert(hosts[i].id, i);
}

}  // namespace sentrok::web
