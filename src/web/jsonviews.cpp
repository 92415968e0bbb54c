#include "web/escape.h"
#include "web/timetext.h"
#include "web/views.h"

namespace sentrok::web {

namespace {

void writeTime(JsonWriter& w, TimeText& times, qint64 ms)
{
    if (ms < 0)
        w.null();
    else
        w.value(times.iso(ms));
}

void writePass(JsonWriter& w, TimeText& times, const std::optional<PassInfo>& pass)
{
    if (!pass) {
        w.null();
        return;
    }
    w.beginObject();
    w.key("id").value(pass->id);
    w.key("monitor").value(pass->monitor);
    w.key("started");
    writeTime(w, times, pass->startedMs);
    w.key("finished");
    writeTime(w, times, pass->finishedMs);
    w.key("duration_seconds");
    if (pass->finishedMs >= 0 && pass->startedMs >= 0)
        w.value(double(pass->finishedMs - pass->startedMs) / 1000.0);
    else
        w.null();
    w.key("hosts").value(pass->hosts);
    w.key("failed").value(pass->failed);
    w.endObject();
}

void writeHost(JsonWriter& w, TimeText& times, const HostStatus& h)
{
    w.beginObject();
    w.key("id").value(h.id);
    w.key("address").value(h.address);
    w.key("description").value(h.description);
    w.key("state").value(stateName(h.state));
    w.key("since");
    writeTime(w, times, h.sinceMs);
    w.key("last_check");
    writeTime(w, times, h.lastCheckMs);
    w.key("reply_ms").valueOrNull(h.replyMs);
    w.key("parent").valueOrNull(h.parent > 0 ? h.parent : -1);
    w.key("down_ancestor").valueOrNull(h.downAncestor > 0 ? h.downAncestor : -1);
    w.key("maintenance");
    if (h.underMaintenance)
        w.value(h.maintenance);  // the window's comment: nothing is announced for the host
    else
        w.null();
    w.key("availability").beginObject();
    w.key("24h").valueOrNull(h.availability[0]);
    w.key("7d").valueOrNull(h.availability[1]);
    w.key("30d").valueOrNull(h.availability[2]);
    w.endObject();
    w.key("strip").value(stripText(h.strip));
    w.endObject();
}

void writeEvent(JsonWriter& w, TimeText& times, const StatusEvent& e)
{
    w.beginObject();
    w.key("id").value(e.id);
    w.key("host").value(e.hostId);
    w.key("address").value(e.address);
    w.key("description").value(e.description);
    w.key("kind").value(stateName(e.kind));
    w.key("time");
    writeTime(w, times, e.atMs);
    w.key("reply_ms").valueOrNull(e.replyMs);
    w.endObject();
}

void writeOutages(JsonWriter& w, TimeText& times, const std::vector<Outage>& outages)
{
    w.beginArray();
    for (const Outage& o : outages) {
        w.beginObject();
        w.key("start");
        writeTime(w, times, o.startMs);
        w.key("end");
        writeTime(w, times, o.endMs);
        w.endObject();
    }
    w.endArray();
}

}  // namespace

QByteArray statusJson(const StatusSnapshot& s)
{
    TimeText times;
    JsonWriter w;
    w.beginObject();
    w.key("generation").value(qint64(s.generation));
    w.key("generated");
    writeTime(w, times, s.takenMs);
    w.key("monitoring").value(s.monitoring);
    w.key("lease_holder").value(s.leaseHolder);
    w.key("interval_seconds").value(qint64(s.intervalSecs));
    w.key("last_pass");
    writePass(w, times, s.lastPass);
    w.key("running_pass");
    writePass(w, times, s.runningPass);
    w.key("last_event_id").value(s.lastEventId);
    w.key("problems").beginArray();
    for (const QString& p : s.problems) w.value(p);
    w.endArray();
    w.key("hosts").beginArray();
    for (const HostStatus& h : s.hosts) writeHost(w, times, h);
    w.endArray();
    w.endObject();
    return w.take();
}

QByteArray eventsJson(const std::vector<StatusEvent>& events, qint64 lastId, bool more)
{
    TimeText times;
    JsonWriter w;
    w.beginObject();
    w.key("last_id").value(lastId);
    w.key("more").value(more);
    w.key("events").beginArray();
    for (const StatusEvent& e : events) writeEvent(w, times, e);
    w.endArray();
    w.endObject();
    return w.take();
}

QByteArray historyJson(const HostStatus& host, const HostReport& report, qint64 fromMs, qint64 toMs)
{
    TimeText times;
    const HostFigures& f = report.history.figures;
    JsonWriter w;
    w.beginObject();
    w.key("id").value(host.id);
    w.key("address").value(host.address);
    w.key("description").value(host.description);
    w.key("from");
    writeTime(w, times, fromMs);
    w.key("to");
    writeTime(w, times, toMs);
    w.key("availability").valueOrNull(f.availability);
    w.key("checks").value(f.totals.checks);
    w.key("failed").value(f.totals.failed);
    w.key("downtime_seconds").value(f.downtimeSecs);
    w.key("outages");
    writeOutages(w, times, f.outageList);
    w.key("points").beginArray();
    for (const ReplyPoint& p : report.history.points) {
        w.beginObject();
        w.key("time");
        writeTime(w, times, p.msecs);
        w.key("reply_ms").valueOrNull(p.reply);
        if (p.hourly) w.key("hourly_mean").value(true);
        w.endObject();
    }
    w.endArray();
    w.endObject();
    return w.take();
}

}  // namespace sentrok::web
