#pragma once

#include "probe/echotransport.h"
#include "probe/hostresolver.h"

#include <QHash>
#include <QList>
#include <QObject>
#include <QSet>
#include <QTimer>

namespace sentrok::test {

// An echo transport that answers as the test says, from the event loop, and keeps every
// request it was given.
class ScriptedTransport final : public QObject, public EchoTransport {
public:
    struct Answer {
        std::optional<qint32> rttMs;  // empty: the echo fails
        int afterMs = 0;              // when the answer comes
    };

    QList<EchoRequest> sent;
    QSet<quint64> cancelled;
    // Taken in order, one per request; when it runs out, every echo fails at once.
    QList<Answer> answers;
    // Answers for one destination, taken in order before `answers`.
    QHash<quint32, QList<Answer>> answersFor;
    bool insideSend = false;  // true only while send() runs

    quint64 send(const EchoRequest& request, Answered answered) override
    {
        insideSend = true;
        sent << request;
        Answer a;
        if (!answersFor.value(request.address).isEmpty())
            a = answersFor[request.address].takeFirst();
        else if (!answers.isEmpty())
            a = answers.takeFirst();
        const quint64 token = ++m_lastToken;
        m_live.insert(token);
        QTimer::singleShot(a.afterMs, this, [this, token, a, answered] {
            if (m_live.remove(token)) answered(a.rttMs);
        });
        insideSend = false;
        return token;
    }

    void cancel(quint64 token) override
    {
        cancelled << token;
        m_live.remove(token);
    }

private:
    quint64 m_lastToken = 0;
    QSet<quint64> m_live;
};

// A resolver that knows the names it is given, and only those.
class ScriptedResolver final : public QObject, public HostResolver {
public:
    QHash<QString, quint32> names;
    QStringList asked;
    QSet<quint64> cancelled;

    quint64 lookup(const QString& name, Resolved resolved) override
    {
        asked << name;
        const quint64 id = ++m_lastId;
        m_live.insert(id);
        const std::optional<quint32> address =
            names.contains(name) ? std::optional<quint32>(names.value(name)) : std::nullopt;
        QTimer::singleShot(0, this, [this, id, address, resolved] {
            if (m_live.remove(id)) resolved(address);
        });
        return id;
    }

    void cancel(quint64 id) override
    {
        cancelled << id;
        m_live.remove(id);
    }

private:
    quint64 m_lastId = 0;
    QSet<quint64> m_live;
};

}  // namespace sentrok::test
