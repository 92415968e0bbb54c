#include "probe/echoprober.h"

#include <QTimer>

namespace sentrok {

EchoProber::EchoProber(const EchoEngineOptions& options, QObject* parent)
    : QObject(parent),
      m_engine(new IcmpEchoEngine(options, this)),
      m_transport(m_engine),
      m_resolver(new SystemResolver(kLookupLimitMs, this))
{
    connect(m_engine, &IcmpEchoEngine::socketUnavailable, this, &EchoProber::socketUnavailable);
    connect(m_engine, &IcmpEchoEngine::socketAvailable, this, &EchoProber::socketAvailable);
}

EchoProber::EchoProber(EchoTransport& transport, HostResolver& resolver, QObject* parent)
    : QObject(parent), m_transport(&transport), m_resolver(&resolver)
{
}

EchoProber::~EchoProber()
{
    while (!m_probes.empty()) cancel(m_probes.begin()->first);
}

EchoProber::EchoProbe* EchoProber::find(quint64 id)
{
    const auto it = m_probes.find(id);
    return it == m_probes.end() ? nullptr : &it->second;
}

quint64 EchoProber::start(const ProbeRequest& request, Done done)
{
    const quint64 id = ++m_lastId;
    EchoProbe& probe = m_probes[id];
    probe.done = std::move(done);

    const QString host = trimHostText(request.host);
    if (host.isEmpty()) {  // nothing to ask: no echo, the empty result
        finishLater(id, {});
        return id;
    }
    if (host.size() > kMaxHostLength) {
        finishLater(id, {{}, hostTooLongText(host)});
        return id;
    }
    // The record's texts are checked before the name is looked up: a record that cannot be
    // probed is reported as such whether or not its name resolves.
    const EchoParamsOrError normalised =
        normaliseEchoParams(request.wait, request.ttl, request.count, request.length, m_locale);
    if (!normalised.params) {
        finishLater(id, {{}, normalised.error});
        return id;
    }
    probe.params = *normalised.params;

    if (const auto literal = literalAddress(host)) {
        probe.address = *literal;
        nextEcho(id);
    } else {
        probe.lookup = m_resolver->lookup(
            host,
            [this, id](const std::optional<QHostAddress>& address) { resolved(id, address); });
    }
    return id;
}

void EchoProber::cancel(quint64 id)
{
    auto node = m_probes.extract(id);
    if (node.empty()) return;
    const EchoProbe& probe = node.mapped();
    if (probe.echoToken) m_transport->cancel(probe.echoToken);
    if (probe.lookup) m_resolver->cancel(*probe.lookup);
}

void EchoProber::resolved(quint64 id, const std::optional<QHostAddress>& address)
{
    EchoProbe* probe = find(id);
    if (!probe) return;
    probe->lookup.reset();
    // A name that does not resolve has nowhere to send to: every echo of it fails, and none
    // goes to whichever host was resolved before.
    if (!address) {
        finish(id, {QStringLiteral("-1"), {}});
        return;
    }
    probe->address = *address;
    nextEcho(id);
}

void EchoProber::nextEcho(quint64 id)
{
    EchoProbe& probe = *find(id);
    if (probe.echoesDone == probe.params.echoes) {
        const auto mean = probe.sum.meanText(probe.params.echoes);
        finish(id, {mean.value_or(QString()), {}});
        return;
    }
    if (probe.params.timeoutMs == 0) {
        // Its time-out is over before a reply could come: the echo fails without being sent.
        QTimer::singleShot(0, this, [this, id] { answered(id, {}); });
        return;
    }
    const EchoRequest echo{probe.address, probe.params.ttl, probe.params.payload,
                           probe.params.timeoutMs};
    probe.echoToken =
        m_transport->send(echo, [this, id](const EchoReply& reply) { answered(id, reply); });
}

void EchoProber::answered(quint64 id, const EchoReply& reply)
{
    EchoProbe* probe = find(id);
    if (!probe) return;
    probe->echoToken = 0;
    // An echo that could not be sent tells nothing about the host: the check was not made.
    if (!reply.notSent.isEmpty()) {
        finish(id, {{}, reply.notSent});
        return;
    }
    ++probe->echoesDone;
    if (!probe->sum.add(reply.rttMs.value_or(-1))) {
        finish(id, {{}, sumOverflowText()});
        return;
    }
    nextEcho(id);
}

void EchoProber::finish(quint64 id, const ProbeOutcome& outcome)
{
    auto node = m_probes.extract(id);
    if (node.empty()) return;
    // Taken out first: the caller may start or cancel probes from inside `done`.
    node.mapped().done(outcome);
}

void EchoProber::finishLater(quint64 id, const ProbeOutcome& outcome)
{
    QTimer::singleShot(0, this, [this, id, outcome] { finish(id, outcome); });
}

}  // namespace sentrok
