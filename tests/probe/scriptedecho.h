#pragma once

#include "probe/echotransport.h"
#include "probe/hostresolver.h"

#include <QHash>
#include <QObject>
#include <QSet>
#include <QTimer>

namespace sentrok::test {

// Runs a callback later from the event loop unless it is forgotten first.
class Later : public QObject {
public:
    int forgotten = 0;
    quint64 run(int ms, std::function<void()> fn)
    {
        const quint64 token = ++m_last;
        m_live.insert(token);
        QTimer::singleShot(ms, this, [this, token, fn] {
            if (m_live.remove(token)) fn();
        });
        return token;
    }
    void forget(quint64 token) { forgotten += m_live.remove(token); }

private:
    quint64 m_last = 0;
    QSet<quint64> m_live;
};

// An echo transport that answers as the test says and keeps every request.
class ScriptedTransport final : public Later, public EchoTransport {
public:
    struct Answer {
        std::optional<qint32> rttMs{};  // empty: the echo fails
        int afterMs = 0;
    };
    QList<EchoRequest> sent;
    QList<Answer> answers;                     // one per request, in order; then failures
    QHash<QString, QList<Answer>> answersFor;  // by destination, taken before `answers`
    QString notSent;  // not empty: every request fails unsent, with these words

    quint64 send(const EchoRequest& request, Answered answered) override
    {
        sent << request;
        QList<Answer>& own = answersFor[request.address.toString()];
        const Answer a = !own.isEmpty()       ? own.takeFirst()
                         : !answers.isEmpty() ? answers.takeFirst()
                                              : Answer{};
        return run(a.afterMs, [answered, a, why = notSent] { answered({a.rttMs, why}); });
    }
    void cancel(quint64 token) override { forget(token); }
};

// A resolver that knows the names it is given, and only those.
class ScriptedResolver final : public Later, public HostResolver {
public:
    QHash<QString, QHostAddress> names;
    QStringList asked;

    quint64 lookup(const QString& name, Resolved resolved) override
    {
        asked << name;
        const auto address = names.contains(name) ? std::optional(names[name]) : std::nullopt;
        return run(0, [resolved, address] { resolved(address); });
    }
    void cancel(quint64 id) override { forget(id); }
};

}  // namespace sentrok::test
