#pragma once

#include "probe/prober.h"

#include <QHash>
#include <QList>
#include <QTimer>

namespace sentrok::test {

// A prober whose answers the test gives: per address from a table (delivered from the event
// loop, as the real one does), or by hand for probes left pending.
class FakeProber final : public Prober {
public:
    struct Started {
        quint64 id{};
        ProbeRequest request{};
        Done done{};
        bool finished = false;
    };

    quint64 start(const ProbeRequest& request, Done done) override
    {
        const quint64 id = ++m_next;
        started << Started{id, request, std::move(done)};
        if (answers.contains(request.host)) {
            const ProbeOutcome outcome = answers.value(request.host);
            QTimer::singleShot(0, [this, id, outcome] { finish(id, outcome); });
        }
        return id;
    }
    void cancel(quint64 id) override
    {
        cancelled << id;
        for (Started& s : started)
            if (s.id == id) s.finished = true;
    }
    // Answers a pending probe by its address.
    bool finishHost(const QString& host, const ProbeOutcome& outcome)
    {
        for (Started& s : started)
            if (!s.finished && s.request.host == host) return finish(s.id, outcome);
        return false;
    }
    bool finish(quint64 id, const ProbeOutcome& outcome)
    {
        for (Started& s : started) {
            if (s.id != id || s.finished) continue;
            s.finished = true;
            Done done = s.done;
            done(outcome);
            return true;
        }
        return false;
    }
    int pending() const
    {
        int n = 0;
        for (const Started& s : started) n += s.finished ? 0 : 1;
        return n;
    }
    QStringList hosts() const
    {
        QStringList out;
        for (const Started& s : started) out << s.request.host;
        return out;
    }

    QHash<QString, ProbeOutcome> answers;
    QList<Started> started;
    QList<quint64> cancelled;

private:
    quint64 m_next = 0;
};

inline ProbeOutcome reply(const QString& ms) { return {ms, {}}; }
inline ProbeOutcome silent() { return {QStringLiteral("-1"), {}}; }

}  // namespace sentrok::test
