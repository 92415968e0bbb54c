#pragma once

#include "store/recording.h"

#include <QString>

#include <vector>

namespace sentrok {

// One host of the alert mail's lists.
struct AlertEntry {
    qint64 id = 0;
    QString label{};  // hostLabel()
    // Down or Up: the host's change in this pass. None: an ancestor that went down before the pass,
    // listed only to carry the hosts behind it.
    Change change = Change::None;
    // The host whose line this one goes under (0: none): for a host down or still down, its nearest
    // ancestor down; for a host up, its nearest ancestor that came back in the same pass.
    qint64 anchor = 0;
};

struct AlertLists {
    QString down, up;  // DownList and UpList
};

// DownList and UpList of a pass from its hosts in the pass's order: one line per host, CR LF after
// each, except that a host goes two blanks further in under the line of its anchor (an ancestor
// still down says so after its label), the hosts under one line in the pass's order.
AlertLists composeAlertLists(const std::vector<AlertEntry>& entries);

// The alert mail's text of a pass.
QString alertText(const QString& downList, const QString& upList);

}  // namespace sentrok
