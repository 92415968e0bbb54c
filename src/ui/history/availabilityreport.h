#pragma once

#include "history/historyquery.h"

#include <QString>

#include <map>
#include <vector>

class QPagedPaintDevice;

namespace sentrok {

struct AvailabilityReport {
    QDateTime from, to, made;
    std::vector<HostFigures> figures{};
    // For each host that had outages: its hourly mean reply times, for a small chart.
    std::map<qint64, std::vector<ReplyPoint>> hourly{};
};

// Gathers what the report needs; on a worker's connection.
AvailabilityReport gatherReport(Database& db, const QDateTime& from, const QDateTime& to,
                                const QDateTime& made);

// Paints the report, page after page: the title and period, the table of every host, then a
// small chart for each host that had outages. Works on any thread.
void paintReport(QPagedPaintDevice& device, const AvailabilityReport& report);

// Writes the report as a PDF file; an empty text on success, else what went wrong.
QString writeReportPdf(const QString& file, const AvailabilityReport& report);

// Table cells as the window and the report show them, numbers in the locale's form.
QString percentText(double percent, int decimals);
QString availabilityText(const HostFigures& f);
// The downtime, and in brackets the part of it while an ancestor was down, when there was one.
QString downtimeText(const HostFigures& f);
QString lossText(const HostFigures& f);
QString replyText(qint64 ms);
QString meanText(const HostFigures& f);
QString p95Text(const HostFigures& f);
QColor tierColor(Tier tier);

}  // namespace sentrok
