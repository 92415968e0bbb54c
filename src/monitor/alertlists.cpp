#include "monitor/alertlists.h"

#include <QHash>

#include <algorithm>
#include <functional>

namespace sentrok {

namespace {

const QString kCrLf = QStringLiteral("\r\n");
// An ancestor listed only to carry the hosts behind it: it went down before this pass.
const QString kStillDown = QStringLiteral(" (всё ещё нет связи)");
constexpr std::size_t kNone = std::size_t(-1);

QString compose(const std::vector<AlertEntry>& entries, const QHash<qint64, std::size_t>& at,
                Change change)
{
    const auto anchorOf = [&](std::size_t i) { return at.value(entries[i].anchor, kNone); };
    std::vector<std::vector<std::size_t>> under;  // sized at the first host under another
    std::vector<std::size_t> roots;
    std::vector<char> placed(entries.size(), 0);
    for (std::size_t i = 0; i < entries.size(); ++i) {
        if (entries[i].change != change) continue;
        for (std::size_t k = i; !placed[k];) {
            placed[k] = 1;
            const std::size_t anchor = entries[k].anchor ? anchorOf(k) : kNone;
            if (anchor == kNone) {
                roots.push_back(k);
                break;
            }
            if (under.empty()) under.resize(entries.size());
            under[anchor].push_back(k);
            k = anchor;
        }
    }
    QString out;
    const std::function<void(std::size_t, int)> add = [&](std::size_t i, int depth) {
        const bool stillDown = change == Change::Down && entries[i].change == Change::None;
        out += QString(2 * depth, u' ') + entries[i].label + (stillDown ? kStillDown : QString()) +
               kCrLf;
        if (under.empty()) return;
        std::sort(under[i].begin(), under[i].end());
        for (std::size_t k : under[i]) add(k, depth + 1);
    };
    std::sort(roots.begin(), roots.end());
    for (std::size_t r : roots) add(r, 0);
    return out;
}

}  // namespace

AlertLists composeAlertLists(const std::vector<AlertEntry>& entries)
{
    QHash<qint64, std::size_t> at;
    at.reserve(qsizetype(entries.size()));
    for (std::size_t i = 0; i < entries.size(); ++i) at.insert(entries[i].id, i);
    return {compose(entries, at, Change::Down), compose(entries, at, Change::Up)};
}

QString alertText(const QString& downList, const QString& upList)
{
    return QStringLiteral("NO CONNECT") + kCrLf + downList + kCrLf + QStringLiteral("CONNECT") +
           kCrLf + upList;
}

}  // namespace sentrok
