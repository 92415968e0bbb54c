#pragma once

#include "history/availability.h"

#include <QString>
#include <QStringList>

#include <vector>

namespace sentrok {

// A field as RFC 4180 wants it: quoted when it holds a comma, a quote or a line break, its
// quotes doubled.
QString csvField(const QString& text);

// The figures of a period, one line a host, in the columns sentrok-db prints and the history
// window exports: id, ip, desc, checks, failed, outages, downtime seconds, availability in
// percent with three decimals, reply min / mean / max / p95, and the seconds of the downtime
// while an ancestor was down. Empty where there is nothing to say.
QStringList figureHeadings();
QStringList figureFields(const HostFigures& f);
// Comma-separated with a heading line, lines ending CR LF.
QString figuresCsv(const std::vector<HostFigures>& figures);
// Tab-separated with a heading line, for a terminal.
QString figuresText(const std::vector<HostFigures>& figures);

}  // namespace sentrok
