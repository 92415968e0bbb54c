#pragma once

// What the web tests share: a provider the test fills by hand, a snapshot with one host of each
// kind, and a client that waits for its answers.

#include "support/httpclient.h"
#include "web/statusprovider.h"

#include <QEventLoop>
#include <QMutex>
#include <QSslError>
#include <QTcpSocket>
#include <QTimer>

#include <atomic>
#include <memory>

namespace sentrok::test {

using web::HostState;
using web::HostStatus;
using web::StatusSnapshot;

// Answers with what the test put in it, after `delayMs`, on the asking object's thread.
class FakeStatus final : public web::StatusProvider {
public:
    void publish(StatusSnapshot s)
    {
        m_slot.publish(std::make_shared<StatusSnapshot>(std::move(s)));
    }
    std::shared_ptr<const StatusSnapshot> snapshot() const override { return m_slot.get(); }
    qint64 lastLookMs() const override { return lastLook.load(); }

    bool hostReport(const web::HostQuery& q, QObject* context,
                    std::function<void(web::HostReport)> done) override
    {
        QMutexLocker lock(&m_mutex);
        if (busy) return false;
        queries.push_back(q);
        QTimer::singleShot(delayMs, context, [done, r = report] { done(r); });
        return true;
    }
    bool eventsAfter(qint64 after, int limit, QObject* context,
                     std::function<void(web::EventsAnswer)> done) override
    {
        QMutexLocker lock(&m_mutex);
        if (busy) return false;
        eventQueries.push_back({after, limit});
        QTimer::singleShot(delayMs, context, [done, a = events] { done(a); });
        return true;
    }
    std::vector<web::HostQuery> takeQueries()
    {
        QMutexLocker lock(&m_mutex);
        return std::exchange(queries, {});
    }

    std::atomic<qint64> lastLook{0};
    // Set before asking.
    web::HostReport report;
    web::EventsAnswer events;
    bool busy = false;
    int delayMs = 0;
    std::vector<web::HostQuery> queries;
    std::vector<std::pair<qint64, int>> eventQueries;

private:
    web::SnapshotSlot m_slot;
    QMutex m_mutex;
};

inline const QString kHostileText =
    QStringLiteral("<script>window.pwned=1</script><img src=x onerror=\"pwned=2\"> & 'q'");

// A router that is down, a switch unreachable behind it, a server that answers (with a hostile
// description), and a host never checked. `nowMs`: when it is taken.
inline StatusSnapshot sampleSnapshot(qint64 nowMs)
{
    StatusSnapshot s;
    s.takenMs = nowMs;
    s.intervalSecs = 60;
    s.leaseHolder = QStringLiteral("sentrok-monitor на test, pid 1");
    s.monitoring = true;
    s.lastPass = web::PassInfo{7, s.leaseHolder, nowMs - 20'000, nowMs - 8'500, 4, 2};
    s.newestCheckMs = nowMs - 9'000;
    const auto host = [&](qint64 id, const char* ip, QString desc, HostState st) {
        HostStatus h;
        h.id = id;
        h.address = QString::fromLatin1(ip);
        h.description = std::move(desc);
        h.state = st;
        if (st != HostState::Unchecked) {
            h.lastCheckMs = nowMs - 9'000;
            h.sinceMs = nowMs - 3'600'000;
            h.availability = {0.5, 0.95, 0.999};
            h.checksOk = 100;
            h.checksFailed = 3;
            for (auto& c : h.strip) c = {60, st == HostState::Up ? 0 : 60};
        }
        return h;
    };
    HostStatus router = host(1, "192.0.2.1", QStringLiteral("Маршрутизатор"), HostState::Down);
    HostStatus sw =
        host(2, "192.0.2.2", QStringLiteral("Коммутатор \"этаж\" 2"), HostState::Unreachable);
    sw.parent = 1;
    sw.downAncestor = 1;
    HostStatus server = host(3, "198.51.100.7", kHostileText, HostState::Up);
    server.replyMs = 12;
    HostStatus fresh = host(4, "2001:db8::4", QStringLiteral("Новый"), HostState::Unchecked);
    s.hosts = {sw, router, server, fresh};  // in description order, as a snapshot keeps them
    s.replyBuckets[3] = 5;
    s.replyBuckets[12] = 2;
    s.replySumMs = 5 * 3 + 2 * 13;
    for (qint64 id = 11; id <= 13; ++id)
        s.recentEvents.push_back(
            {id, 1, router.address, router.description, HostState::Down, nowMs - 60'000, -1});
    s.eventsFloor = 10;
    s.lastEventId = 13;
    s.index();
    return s;
}

// Sends bytes as they are and gathers what comes back until the server closes (or `waitMs`).
inline QByteArray rawExchange(quint16 port, const QByteArray& bytes, int waitMs = 5000,
                              bool* closed = nullptr)
{
    QTcpSocket s;
    s.connectToHost(QStringLiteral("127.0.0.1"), port);
    if (!s.waitForConnected(5000)) return {};
    s.write(bytes);
    QByteArray got;
    QEventLoop loop;
    QObject::connect(&s, &QTcpSocket::readyRead, &loop, [&] { got += s.readAll(); });
    QObject::connect(&s, &QTcpSocket::disconnected, &loop, &QEventLoop::quit);
    QTimer::singleShot(waitMs, &loop, &QEventLoop::quit);
    loop.exec();
    got += s.readAll();
    if (closed) *closed = s.state() == QAbstractSocket::UnconnectedState;
    return got;
}

}  // namespace sentrok::test
