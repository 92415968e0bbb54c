#pragma once

#include "history/availability.h"

#include <QLocale>
#include <QString>
#include <QStringList>

#include <vector>

namespace sentrok {

// A field as RFC 4180 wants it: quoted when it holds the separator, a quote or a line break,
// its quotes doubled.
QString csvField(const QString& text, QChar separator = u',');

// The figures of a period, one line a host: id, ip, desc, checks, failed, outages, downtime
// seconds, availability in percent with three decimals, reply min / mean / max / p95, and the
// seconds of the downtime while an ancestor was down, then the seconds under maintenance, the
// downtime among them and the availability outside them. Empty where there is nothing to say.
// Headings and fields as programs read them: English names, a point before decimals.
QStringList figureHeadings();
QStringList figureFields(const HostFigures& f);
// Comma-separated with a heading line, lines ending CR LF: what sentrok-db prints with --csv,
// whatever the locale.
QString figuresCsv(const std::vector<HostFigures>& figures);
// The same columns for a spreadsheet program of the user's locale, which splits fields at its
// list separator: where numbers take a decimal comma, the fields are separated by ";" and
// decimals take the comma; under a Russian locale the headings are Russian.
QString figuresCsv(const std::vector<HostFigures>& figures, const QLocale& locale);
// Tab-separated with a heading line, for a terminal.
QString figuresText(const std::vector<HostFigures>& figures);

}  // namespace sentrok
