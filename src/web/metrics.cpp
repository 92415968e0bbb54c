#include "web/escape.h"
#include "web/views.h"

namespace sentrok::web {

namespace {

// One family: its help, its type, then its samples.
void family(QByteArray& out, const char* name, const char* type, const char* help)
{
    out += "# HELP ";
    out += name;
    out += ' ';
    out += help;
    out += "\n# TYPE ";
    out += name;
    out += ' ';
    out += type;
    out += '\n';
}

void sample(QByteArray& out, const char* name, const QByteArray& labels, const QByteArray& value)
{
    out += name;
    if (!labels.isEmpty()) {
        out += '{';
        out += labels;
        out += '}';
    }
    out += ' ';
    out += value;
    out += '\n';
}

QByteArray hostLabels(const HostStatus& h)
{
    return "id=\"" + QByteArray::number(h.id) + "\",address=\"" + labelValue(h.address).toUtf8() +
           "\",description=\"" + labelValue(h.description).toUtf8() + '"';
}

// Whole milliseconds as seconds, exactly: a timestamp has thirteen digits, more than a double
// printed briefly keeps.
QByteArray seconds(qint64 ms)
{
    if (ms < 0)
        return '-' + seconds(-ms);  // a pass that ended "before" it began: the clock was set back
    QByteArray out = QByteArray::number(ms / 1000);
    if (const qint64 frac = ms % 1000) {
        QByteArray f = QByteArray::number(frac).rightJustified(3, '0');
        while (f.endsWith('0')) f.chop(1);
        out += '.' + f;
    }
    return out;
}

void hostFamilies(QByteArray& out, const StatusSnapshot& s, const std::vector<QByteArray>& labels)
{
    family(out, "sentrok_host_up", "gauge",
           "Ответил ли хост на последнюю проверку: 1 отвечает, 0 не отвечает или недоступен.");
    for (std::size_t i = 0; i < s.hosts.size(); ++i)
        if (s.hosts[i].state != HostState::Unchecked)
            sample(out, "sentrok_host_up", labels[i],
                   s.hosts[i].state == HostState::Up ? "1" : "0");
    family(out, "sentrok_host_unreachable", "gauge",
           "Недоступен ли хост: не отвечает, пока не отвечает хост, через который он доступен.");
    for (std::size_t i = 0; i < s.hosts.size(); ++i)
        if (s.hosts[i].state != HostState::Unchecked)
            sample(out, "sentrok_host_unreachable", labels[i],
                   s.hosts[i].state == HostState::Unreachable ? "1" : "0");
    family(out, "sentrok_host_maintenance", "gauge",
           "Идёт ли обслуживание хоста: проверки пишутся, оповещений нет.");
    for (std::size_t i = 0; i < s.hosts.size(); ++i)
        sample(out, "sentrok_host_maintenance", labels[i], s.hosts[i].underMaintenance ? "1" : "0");
    family(out, "sentrok_host_reply_seconds", "gauge",
           "Среднее время ответа при последней проверке хоста, если он ответил.");
    for (std::size_t i = 0; i < s.hosts.size(); ++i)
        if (s.hosts[i].replyMs >= 0)
            sample(out, "sentrok_host_reply_seconds", labels[i], seconds(s.hosts[i].replyMs));
    family(out, "sentrok_checks_total", "counter", "Записанные проверки хоста по их итогу.");
    for (std::size_t i = 0; i < s.hosts.size(); ++i) {
        sample(out, "sentrok_checks_total", labels[i] + ",result=\"ok\"",
               QByteArray::number(s.hosts[i].checksOk));
        sample(out, "sentrok_checks_total", labels[i] + ",result=\"failed\"",
               QByteArray::number(s.hosts[i].checksFailed));
    }
}

// Reply times are whole milliseconds: bucket k holds [bucketLow(k), bucketLow(k + 1) - 1], so
// "at most bucketLow(k + 1) - 1 ms" is exact.
void replyHistogram(QByteArray& out, const StatusSnapshot& s)
{
    family(out, "sentrok_reply_seconds", "histogram",
           "Время ответа всех отвеченных проверок всех хостов.");
    qint64 cumulative = 0;
    for (int k = 0; k + 1 < kReplyBuckets; ++k) {
        cumulative += s.replyBuckets[std::size_t(k)];
        sample(out, "sentrok_reply_seconds_bucket", "le=\"" + seconds(bucketLow(k + 1) - 1) + '"',
               QByteArray::number(cumulative));
    }
    cumulative += s.replyBuckets[kReplyBuckets - 1];
    sample(out, "sentrok_reply_seconds_bucket", "le=\"+Inf\"", QByteArray::number(cumulative));
    sample(out, "sentrok_reply_seconds_sum", {}, seconds(s.replySumMs));
    sample(out, "sentrok_reply_seconds_count", {}, QByteArray::number(cumulative));
}

void passFamilies(QByteArray& out, const StatusSnapshot& s)
{
    const bool ended = s.lastPass && s.lastPass->finishedMs >= 0 && s.lastPass->startedMs >= 0;
    family(out, "sentrok_pass_duration_seconds", "gauge",
           "Сколько длился последний завершённый проход.");
    if (ended)
        sample(out, "sentrok_pass_duration_seconds", {},
               seconds(s.lastPass->finishedMs - s.lastPass->startedMs));
    family(out, "sentrok_last_pass_timestamp_seconds", "gauge",
           "Когда завершился последний проход, в секундах от 1970-01-01 UTC.");
    if (ended)
        sample(out, "sentrok_last_pass_timestamp_seconds", {}, seconds(s.lastPass->finishedMs));
    family(out, "sentrok_monitor_active", "gauge",
           "Ведёт ли проверки этот процесс (держит ли право на проверки).");
    sample(out, "sentrok_monitor_active", {}, s.monitoring ? "1" : "0");
}

}  // namespace

QByteArray metricsText(const StatusSnapshot& s)
{
    QByteArray out;
    out.reserve(qsizetype(s.hosts.size()) * 600 + 8192);
    std::vector<QByteArray> labels;
    labels.reserve(s.hosts.size());
    for (const HostStatus& h : s.hosts) labels.push_back(hostLabels(h));
    hostFamilies(out, s, labels);
    family(out, "sentrok_hosts", "gauge", "Хосты в каждом состоянии.");
    std::array<qint64, 4> counts{};
    for (const HostStatus& h : s.hosts) ++counts[std::size_t(h.state)];
    for (HostState st :
         {HostState::Up, HostState::Down, HostState::Unreachable, HostState::Unchecked})
        sample(out, "sentrok_hosts", "state=\"" + stateName(st).toLatin1() + '"',
               QByteArray::number(counts[std::size_t(st)]));
    replyHistogram(out, s);
    passFamilies(out, s);
    return out;
}

}  // namespace sentrok::web
