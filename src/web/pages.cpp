#include "web/escape.h"
#include "web/timetext.h"
#include "web/views.h"

#include <QHash>
#include <QSet>

#include <algorithm>

namespace sentrok::web {

namespace {

// The head of every page: styles and script from the server itself, nothing inline (the
// Content-Security-Policy forbids it), nothing from elsewhere.
void head(QString& out, const QString& title)
{
    out += QStringLiteral(
               "<!DOCTYPE html>\n<html lang=\"ru\"><head><meta charset=\"utf-8\">"
               "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">"
               "<title>%1</title><link rel=\"stylesheet\" href=\"/static/sentrok.css\">"
               "<link rel=\"icon\" href=\"/static/icon.svg\" type=\"image/svg+xml\">"
               "<script src=\"/static/sentrok.js\" defer></script></head>\n")
               .arg(htmlText(title));
}

QString percent(const std::optional<double>& a)
{
    if (!a) return QStringLiteral("—");
    const double p = *a * 100.0;
    // Two decimals where they tell hosts apart (99,95 against 99,99), fewer below.
    QString text = QString::number(p, 'f', p >= 99.0 && p < 100.0 ? 2 : 1);
    if (text.endsWith(QLatin1String(".0"))) text.chop(2);
    return text.replace(u'.', u',') + QStringLiteral(" %");
}

const char* tierClass(const std::optional<double>& a)
{
    switch (tierOf(a)) {
        case Tier::Best:
            return "best";
        case Tier::Good:
            return "good";
        case Tier::Fair:
            return "fair";
        case Tier::Poor:
            return "poor";
        case Tier::Unknown:
            break;
    }
    return "none";
}

// The strip as runs of equal hours: most hosts are one run, so ten thousand rows stay small.
void strip(QString& out, const std::array<HourCell, kStripHours>& cells)
{
    const QString letters = stripText(cells);
    out += QStringLiteral("<span class=\"strip\" title=\"проверки за 24 часа\">");
    for (int i = 0; i < kStripHours;) {
        int j = i;
        while (j < kStripHours && letters[j] == letters[i]) ++j;
        out += QLatin1String("<i class=\"h");
        out += letters[i] == u'-' ? u'n' : letters[i];
        out += QLatin1String(" w");
        out += QString::number(j - i);
        out += QLatin1String("\"></i>");
        i = j;
    }
    out += QLatin1String("</span>");
}

QString sinceText(TimeText& times, const HostStatus& h)
{
    if (h.sinceMs < 0) return QStringLiteral("—");
    return QStringLiteral("с ") + times.brief(h.sinceMs);
}

QString replyText(const HostStatus& h)
{
    if (h.lastCheckMs < 0) return QStringLiteral("—");
    if (h.replyMs < 0) return QStringLiteral("нет ответа");
    return QString::number(h.replyMs) + QStringLiteral(" мс");
}

// Appended piece by piece: a page of ten thousand rows is written at every change.
void row(QString& out, TimeText& times, const PageRow& r)
{
    const HostStatus& h = *r.host;
    const QString id = QString::number(h.id);
    out += QLatin1String("<tr class=\"");
    out += stateName(h.state);
    out += QLatin1String(" d");
    out += QString::number(std::min(r.depth, 9));
    out += QLatin1String("\" data-id=\"");
    out += id;
    out += QLatin1String("\"><td class=\"desc\"><a href=\"/host/");
    out += id;
    out += QLatin1String("\">");
    out += h.description.isEmpty() ? QStringLiteral("(без описания)") : htmlText(h.description);
    out += QLatin1String("</a>");
    if (h.underMaintenance) {
        out += QLatin1String(" <span class=\"maint\" title=\"");
        out += htmlText(h.maintenance);
        out += QLatin1String("\">обслуживание</span>");
    }
    out += QLatin1String("</td><td class=\"addr\">");
    out += htmlText(h.address);
    out += QLatin1String("</td><td class=\"since\">");
    out += sinceText(times, h);
    out += QLatin1String("</td><td class=\"reply\">");
    out += replyText(h);
    out += QLatin1String("</td>");
    static const QString labels[] = {QStringLiteral("24 ч"), QStringLiteral("7 д"),
                                     QStringLiteral("30 д")};
    for (std::size_t p = 0; p < h.availability.size(); ++p) {
        const auto& a = h.availability[p];
        out += QLatin1String("<td class=\"avail ");
        out += QLatin1String(tierClass(a));
        out += QLatin1String("\" data-label=\"");
        out += labels[p];
        out += QLatin1String("\">");
        out += percent(a);
        out += QLatin1String("</td>");
    }
    out += QLatin1String("<td class=\"strip\">");
    strip(out, h.strip);
    out += QLatin1String("</td></tr>\n");
}

void section(QString& out, TimeText& times, const char* id, const QString& title,
             const std::vector<PageRow>& rows)
{
    out += QStringLiteral("<section id=\"%1\"%2><h2>%3 <span class=\"count\">%4</span></h2>")
               .arg(QLatin1String(id), rows.empty() ? QStringLiteral(" hidden") : QString(), title)
               .arg(rows.size());
    out += QStringLiteral(
        "<table><thead><tr><th class=\"desc\">Описание</th><th class=\"addr\">Адрес</th><th "
        "class=\"since\">С какого времени</th><th class=\"reply\">Ответ</th>"
        "<th class=\"avail\">24 ч</th><th class=\"avail\">7 д</th><th class=\"avail\">30 д</th><th "
        "class=\"strip\">Последние 24 часа</th></tr></thead><tbody>\n");
    for (const PageRow& r : rows) row(out, times, r);
    out += QStringLiteral("</tbody></table></section>\n");
}

QString passLine(TimeText& times, const StatusSnapshot& s)
{
    QString out;
    if (s.runningPass)
        out += QStringLiteral("Идёт проход с %1. ").arg(times.full(s.runningPass->startedMs));
    if (s.lastPass && s.lastPass->finishedMs >= 0)
        out += QStringLiteral("Последний проход: %1, %2, хостов %3, не ответили %4. ")
                   .arg(times.full(s.lastPass->finishedMs),
                        spanText((s.lastPass->finishedMs - s.lastPass->startedMs) / 1000))
                   .arg(s.lastPass->hosts)
                   .arg(s.lastPass->failed);
    else if (!s.runningPass)
        out += QStringLiteral("Проходов ещё не было. ");
    out += s.leaseHolder.isEmpty()
               ? QStringLiteral("Проверки сейчас никто не ведёт.")
               : QStringLiteral("Проверки ведёт %1%2.")
                     .arg(htmlText(s.leaseHolder),
                          s.monitoring ? QStringLiteral(" (этот процесс)") : QString());
    return out;
}

void pageStart(QString& out, const QString& title, quint64 generation)
{
    head(out, title);
    out += QStringLiteral("<body data-generation=\"%1\"><header><h1><a href=\"/\">Sentrok</a></h1>")
               .arg(generation);
}

}  // namespace

PageSections pageSections(const StatusSnapshot& s)
{
    PageSections out;
    QHash<qint64, std::vector<const HostStatus*>> behind;  // unreachable hosts by their ancestor
    for (const HostStatus& h : s.hosts)
        if (h.state == HostState::Unreachable) behind[h.downAncestor].push_back(&h);
    QSet<qint64> placed;
    const std::function<void(const HostStatus&, int)> place = [&](const HostStatus& h, int depth) {
        if (placed.contains(h.id)) return;
        placed.insert(h.id);
        out.down.push_back({&h, depth});
        for (const HostStatus* d : behind.value(h.id)) place(*d, depth + 1);
    };
    for (const HostStatus& h : s.hosts) {
        if (h.state == HostState::Down)
            place(h, 0);
        else if (h.state == HostState::Up)
            out.up.push_back({&h, 0});
        else if (h.state == HostState::Unchecked)
            out.unchecked.push_back({&h, 0});
    }
    // Behind an ancestor that is not down (the two read a moment apart): shown on their own.
    for (const HostStatus& h : s.hosts)
        if (h.state == HostState::Unreachable && !placed.contains(h.id)) place(h, 0);
    return out;
}

QByteArray statusPage(const StatusSnapshot* s)
{
    QString out;
    out.reserve(s ? qsizetype(s->hosts.size()) * 420 + 4096 : 4096);
    pageStart(out, QStringLiteral("Sentrok: состояние хостов"), s ? s->generation : 0);
    if (!s) {
        out += QStringLiteral(
            "<p id=\"summary\">Состояние хостов ещё не прочитано из базы данных; "
            "страница обновится сама.</p></header><main id=\"hosts\"></main>"
            "<footer><span id=\"stale\" hidden>Нет связи с "
            "сервером.</span></footer></body></html>\n");
        return out.toUtf8();
    }
    TimeText times;
    const PageSections sections = pageSections(*s);
    qsizetype unreachable = 0;
    for (const PageRow& r : sections.down) unreachable += r.host->state == HostState::Unreachable;
    out += QStringLiteral(
               "<p id=\"summary\">Не отвечают: %1 · недоступны: %2 · отвечают: %3 · не "
               "проверялись: %4</p>")
               .arg(qsizetype(sections.down.size()) - unreachable)
               .arg(unreachable)
               .arg(sections.up.size())
               .arg(sections.unchecked.size());
    out += QStringLiteral("<p id=\"pass\">%1</p>").arg(passLine(times, *s));
    out += QStringLiteral("<ul id=\"problems\"%1>")
               .arg(s->problems.isEmpty() ? QStringLiteral(" hidden") : QString());
    for (const QString& p : s->problems) out += QStringLiteral("<li>%1</li>").arg(htmlText(p));
    out += QStringLiteral("</ul></header>\n<main id=\"hosts\">\n");
    section(out, times, "down", QStringLiteral("Не отвечают"), sections.down);
    section(out, times, "up", QStringLiteral("Отвечают"), sections.up);
    section(out, times, "unchecked", QStringLiteral("Не проверялись"), sections.unchecked);
    out += QStringLiteral(
               "</main>\n<footer>Состояние на <span id=\"updated\">%1</span>. "
               "<span id=\"stale\" hidden>Нет связи с сервером.</span> "
               "<a href=\"/api/v1/status\">JSON</a> · <a href=\"/metrics\">метрики</a></footer>"
               "</body></html>\n")
               .arg(times.full(s->takenMs));
    return out.toUtf8();
}

namespace {

QString stateWords(HostState state)
{
    switch (state) {
        case HostState::Up:
            return QStringLiteral("отвечает");
        case HostState::Down:
            return QStringLiteral("не отвечает");
        case HostState::Unreachable:
            return QStringLiteral("недоступен: не отвечает хост, через который он доступен");
        case HostState::Unchecked:
            break;
    }
    return QStringLiteral("не проверялся");
}

const char* const kPeriodNames[] = {"24h", "7d", "30d"};
const char* const kPeriodWords[] = {"24 часа", "7 дней", "30 дней"};

// The outages of one period, the newest first; a month of a flapping host is cut short.
void outageSection(QString& out, TimeText& times, const HostFigures& f, int period)
{
    constexpr std::size_t kMaxRows = 500;
    out += QStringLiteral(
               "<section class=\"outages\"><h3>За %1</h3><p>Доступность: %2 · перерывов: %3 · "
               "простой: %4</p>")
               .arg(QString::fromUtf8(kPeriodWords[period]), percent(f.availability))
               .arg(f.outages)
               .arg(spanText(f.downtimeSecs));
    if (f.outageList.empty()) {
        out += QStringLiteral("<p>Перерывов не было.</p></section>\n");
        return;
    }
    out += QStringLiteral(
        "<table><thead><tr><th>Начало</th><th>Конец</th><th>Длительность</th></tr></thead><tbody>");
    const qint64 toMs = f.to.toMSecsSinceEpoch();
    std::size_t shown = 0;
    for (auto it = f.outageList.rbegin(); it != f.outageList.rend() && shown < kMaxRows;
         ++it, ++shown)
        out += QStringLiteral("<tr><td>%1</td><td>%2</td><td>%3</td></tr>")
                   .arg(times.full(it->startMs),
                        it->open() ? QStringLiteral("продолжается") : times.full(it->endMs),
                        spanText(((it->open() ? toMs : it->endMs) - it->startMs) / 1000));
    out += QStringLiteral("</tbody></table>");
    if (f.outageList.size() > kMaxRows)
        out += QStringLiteral("<p>…и ещё %1 более ранних.</p>").arg(f.outageList.size() - kMaxRows);
    out += QStringLiteral("</section>\n");
}

}  // namespace

QByteArray hostPage(const HostStatus& h, const HostReport& report, const QString& period,
                    qint64 fromMs, qint64 toMs)
{
    TimeText times;
    const QString name = h.description.isEmpty() ? h.address : h.description;
    QString out;
    pageStart(out, QStringLiteral("Sentrok: ") + name, 0);
    out += QStringLiteral(
               "<p><a href=\"/\">Все хосты</a></p></header><main id=\"host\" data-id=\"%1\">")
               .arg(h.id);
    out +=
        QStringLiteral("<h2>%1</h2><p>Адрес: %2 · <span class=\"%3\">%4</span>%5 · ответ: %6</p>")
            .arg(htmlText(name), htmlText(h.address), stateName(h.state), stateWords(h.state),
                 h.sinceMs >= 0 ? QStringLiteral(" с ") + times.full(h.sinceMs) : QString(),
                 replyText(h));
    out += QStringLiteral("<nav class=\"periods\">График за:");
    for (int i = 0; i < 3; ++i)
        out +=
            QStringLiteral(" <a href=\"/host/%1?period=%2\"%3>%4</a>")
                .arg(QString::number(h.id), QLatin1String(kPeriodNames[i]),
                     period == QLatin1String(kPeriodNames[i]) ? QStringLiteral(" class=\"current\"")
                                                              : QString(),
                     QString::fromUtf8(kPeriodWords[i]));
    out += QStringLiteral("</nav>\n");
    if (!report.error.isEmpty()) {
        out += QStringLiteral("<p class=\"problem\">История хоста не прочитана: %1</p>")
                   .arg(htmlText(report.error));
    } else {
        out += QStringLiteral("<figure>") + replyChart(report.history, fromMs, toMs) +
               QStringLiteral("</figure>\n");
        for (int i = 0; i < 3; ++i) outageSection(out, times, report.periods[std::size_t(i)], i);
    }
    out += QStringLiteral("</main></body></html>\n");
    return out.toUtf8();
}

QByteArray messagePage(const QString& title, const QString& text)
{
    QString out;
    pageStart(out, QStringLiteral("Sentrok: ") + title, 0);
    out += QStringLiteral(
               "</header><main><h2>%1</h2><p>%2</p><p><a href=\"/\">Все "
               "хосты</a></p></main></body></html>\n")
               .arg(htmlText(title), htmlText(text));
    return out.toUtf8();
}

}  // namespace sentrok::web
