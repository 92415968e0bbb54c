#pragma once

#include "probe/echoparams.h"
#include "probe/echotransport.h"
#include "probe/hostresolver.h"
#include "probe/icmpechoengine.h"
#include "probe/prober.h"

#include <QLocale>
#include <QObject>

#include <map>

namespace sentrok {

// EchoProbe for every host: trims and resolves the host text, normalises the record's texts,
// sends the echoes one after the other and reports the truncated mean of their values (the
// reply time, or -1 for an echo that failed). Any number of probes may run at once; they
// share one transport.
class EchoProber final : public QObject, public Prober {
    Q_OBJECT
public:
    // Real ICMP echo through an engine of its own, and the system's resolver.
    explicit EchoProber(const EchoEngineOptions& options = {}, QObject* parent = nullptr);
    // Through the given transport and resolver, which must outlive the prober.
    EchoProber(EchoTransport& transport, HostResolver& resolver, QObject* parent = nullptr);
    ~EchoProber() override;

    quint64 start(const ProbeRequest& request, Done done) override;
    void cancel(quint64 id) override;

    // Numbers in the record's texts are read in this locale, or with a point (default: the
    // system's locale).
    void setLocale(const QLocale& locale) { m_locale = locale; }
    // The engine this prober made, to tune; null when it was given a transport.
    IcmpEchoEngine* engine() const { return m_engine; }

signals:
    // No ICMP socket can be opened (first time, or again after one could): why, and how to
    // fix it. Until then every probe ends with an error: it was not made.
    void socketUnavailable(const QString& message);
    // A socket opened after socketUnavailable: probes are made again.
    void socketAvailable();

private:
    // One probe on its way.
    struct EchoProbe {
        Done done{};
        EchoParams params{};
        QHostAddress address{};
        int echoesDone = 0;
        EchoSum sum{};
        quint64 echoToken = 0;  // the transport's, while an echo is out
        std::optional<quint64> lookup{};
    };

    void resolved(quint64 id, const std::optional<QHostAddress>& address);
    void nextEcho(quint64 id);
    void answered(quint64 id, const EchoReply& reply);
    void finish(quint64 id, const ProbeOutcome& outcome);
    void finishLater(quint64 id, const ProbeOutcome& outcome);
    EchoProbe* find(quint64 id);

    IcmpEchoEngine* m_engine = nullptr;
    EchoTransport* m_transport;
    HostResolver* m_resolver;
    QLocale m_locale;
    quint64 m_lastId = 0;
    std::map<quint64, EchoProbe> m_probes;
};

}  // namespace sentrok
