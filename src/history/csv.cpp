#include "history/csv.h"

#include "common/conversions.h"

namespace sentrok {

namespace {

QStringList russianHeadings()
{
    return {QStringLiteral("Код"),
            QStringLiteral("IP-адрес"),
            QStringLiteral("Описание"),
            QStringLiteral("Проверок"),
            QStringLiteral("Неудачных"),
            QStringLiteral("Обрывов"),
            QStringLiteral("Простой, с"),
            QStringLiteral("Доступность, %"),
            QStringLiteral("Ответ мин, мс"),
            QStringLiteral("Ответ сред, мс"),
            QStringLiteral("Ответ макс, мс"),
            QStringLiteral("95-й процентиль, мс"),
            QStringLiteral("Простой из-за родителя, с"),
            QStringLiteral("Обслуживание, с"),
            QStringLiteral("Простой в обслуживании, с"),
            QStringLiteral("Доступность без обслуживания, %")};
}

// Decimals in the locale's form; thousands never grouped, which spreadsheets would read as text.
QStringList fields(const HostFigures& f, QLocale locale)
{
    locale.setNumberOptions(QLocale::OmitGroupSeparator);
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
            f.availability ? locale.toString(*f.availability * 100.0, 'f', 3) : QString(),
            ms(t.replyMin),
            mean ? locale.toString(*mean, 'f', 1) : QString(),
            ms(t.replyMax),
            p95 ? QString::number(*p95) : QString(),
            QString::number(f.ancestorDownSecs),
            QString::number(f.maintenanceSecs),
            QString::number(f.maintenanceDownSecs),
            f.slaAvailability ? locale.toString(*f.slaAvailability * 100.0, 'f', 3) : QString()};
}

QString csvText(const std::vector<HostFigures>& figures, const QStringList& headings,
                const QLocale& numbers, QChar separator)
{
    const auto line = [separator](const QStringList& fields) {
        QStringList quoted;
        for (const QString& s : fields) quoted << csvField(s, separator);
        return quoted.join(separator) + QStringLiteral("\r\n");
    };
    QString out = line(headings);
    for (const HostFigures& f : figures) out += line(fields(f, numbers));
    return out;
}

}  // namespace

QString csvField(const QString& text, QChar separator)
{
    if (!text.contains(separator) && !text.contains(u'"') && !text.contains(u'\n') &&
        !text.contains(u'\r'))
        return text;
    QString quoted = text;
    quoted.replace(QStringLiteral("\""), QStringLiteral("\"\""));
    return u'"' + quoted + u'"';
}

QStringList figureHeadings()
{
    return {QStringLiteral("id"), QStringLiteral("ip"), QStringLiteral("desc"),
            QStringLiteral("checks"), QStringLiteral("failed"), QStringLiteral("outages"),
            QStringLiteral("downtime_s"), QStringLiteral("availability_pct"),
            QStringLiteral("reply_min_ms"), QStringLiteral("reply_mean_ms"),
            QStringLiteral("reply_max_ms"), QStringLiteral("reply_p95_ms"),
            // Last, so that what reads the columns by their place reads them as before.
            QStringLiteral("downtime_ancestor_s"),
            // Planned work, after what was there before for the same reason.
            QStringLiteral("maintenance_s"), QStringLiteral("downtime_maintenance_s"),
            QStringLiteral("sla_availability_pct")};
}

QStringList figureFields(const HostFigures& f) { return fields(f, QLocale::c()); }

QString figuresCsv(const std::vector<HostFigures>& figures)
{
    return csvText(figures, figureHeadings(), QLocale::c(), u',');
}

QString figuresCsv(const std::vector<HostFigures>& figures, const QLocale& locale)
{
    const bool comma = locale.decimalPoint() == QLatin1String(",");
    const QStringList headings =
        locale.language() == QLocale::Russian ? russianHeadings() : figureHeadings();
    return csvText(figures, headings, comma ? locale : QLocale::c(), comma ? u';' : u',');
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
        if (!f.slaAvailability) fields[15] = QStringLiteral("-");
        out += line(fields);
    }
    return out;
}

}  // namespace sentrok
