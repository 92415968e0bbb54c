#include "history/csv.h"

#include "common/conversions.h"

namespace sentrok {

QString csvField(const QString& text)
{
    if (!text.contains(u',') && !text.contains(u'"') && !text.contains(u'\n') &&
        !text.contains(u'\r'))
        return text;
    QString quoted = text;
    quoted.replace(QStringLiteral("\""), QStringLiteral("\"\""));
    return u'"' + quoted + u'"';
}

QStringList figureHeadings()
{
    return {QStringLiteral("id"),           QStringLiteral("ip"),         QStringLiteral("desc"),
            QStringLiteral("checks"),       QStringLiteral("failed"),     QStringLiteral("outages"),
            QStringLiteral("downtime_s"),   QStringLiteral("availability_pct"),
            QStringLiteral("reply_min_ms"), QStringLiteral("reply_mean_ms"),
            QStringLiteral("reply_max_ms"), QStringLiteral("reply_p95_ms"),
            // Last, so that what reads the columns by their place reads them as before.
            QStringLiteral("downtime_ancestor_s")};
}

QStringList figureFields(const HostFigures& f)
{
    const ReplyTotals& t = f.totals;
    const auto ms = [](qint64 v) { return v < 0 ? QString() : QString::number(v); };
    const auto mean = t.mean();
    const auto p95 = t.percentile(0.95);
    return {QString::number(f.id),
            f.ip,
            f.desc,
            QString::number(t.checks),
            QString::number(t.failed),
            QString::number(f.outages),
            QString::number(f.downtimeSecs),
            f.availability ? QString::number(*f.availability * 100.0, 'f', 3) : QString(),
            ms(t.replyMin),
            mean ? QString::number(*mean, 'f', 1) : QString(),
            ms(t.replyMax),
            p95 ? QString::number(*p95) : QString(),
            QString::number(f.ancestorDownSecs)};
}

QString figuresCsv(const std::vector<HostFigures>& figures)
{
    const auto line = [](const QStringList& fields) {
        QStringList quoted;
        for (const QString& s : fields) quoted << csvField(s);
        return quoted.join(u',') + QStringLiteral("\r\n");
    };
    QString out = line(figureHeadings());
    for (const HostFigures& f : figures) out += line(figureFields(f));
    return out;
}

QString figuresText(const std::vector<HostFigures>& figures)
{
    const auto line = [](QStringList fields) {
        // A tab or line break of a description would break the columns; any other control
        // character would reach the terminal.
        for (QString& s : fields)
            s = printableText(s.replace(u'\t', u' ').replace(u'\n', u' ').replace(u'\r', u' '));
        return fields.join(u'\t') + u'\n';
    };
    QString out = line(figureHeadings());
    for (const HostFigures& f : figures) {
        QStringList fields = figureFields(f);
        if (!f.availability) fields[7] = QStringLiteral("-");
        out += line(fields);
    }
    return out;
}

}  // namespace sentrok
