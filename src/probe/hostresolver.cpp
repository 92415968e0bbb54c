#include "probe/hostresolver.h"

#include "probe/icmpsocket.h"

#include <QHostAddress>
#include <QUrl>

#include <arpa/inet.h>
#include <netdb.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <vector>

namespace sentrok {

std::optional<QHostAddress> literalAddress(const QString& text)
{
    // QHostAddress simplifies blanks away; a text with a tab in it is not an address here.
    for (const QChar c : text)
        if (c.isSpace()) return std::nullopt;
    const bool bracketed = text.startsWith(u'[') && text.endsWith(u']');
    const QString bare = bracketed ? text.mid(1, text.size() - 2) : text;
    QHostAddress address;
    if (!address.setAddress(bare)) return std::nullopt;
    if (address.protocol() == QAbstractSocket::IPv4Protocol)
        return bracketed ? std::nullopt : std::optional(address);
    if (address.protocol() != QAbstractSocket::IPv6Protocol) return std::nullopt;
    // An IPv4 address written the IPv6 way is reached over IPv4.
    bool mapped = false;
    const quint32 v4 = address.toIPv4Address(&mapped);
    if (mapped) return QHostAddress(v4);
    return address;
}

namespace {

// A thread blocked in a dead lookup holds little but its stack; the bound keeps a name server
// that never answers from costing more than a few hundred of them.
constexpr int kMaxThreads = 512;
constexpr std::size_t kThreadStack = 512 * 1024;
constexpr auto kIdleThreadLife = std::chrono::seconds(10);

std::optional<QHostAddress> addressToProbe(const QByteArray& name)
{
    if (name.isEmpty()) return std::nullopt;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_DGRAM;  // one entry per address
    addrinfo* found = nullptr;
    if (getaddrinfo(name.constData(), nullptr, &hints, &found) != 0) return std::nullopt;
    const addrinfo *v4 = nullptr, *v6 = nullptr;
    for (const addrinfo* a = found; a; a = a->ai_next) {
        if (a->ai_family == AF_INET && !v4) v4 = a;
        if (a->ai_family == AF_INET6 && !v6) v6 = a;
    }
    std::optional<QHostAddress> chosen;
    if (const addrinfo* a = v4 ? v4 : v6) chosen = QHostAddress(a->ai_addr);
    freeaddrinfo(found);
    return chosen;
}

}  // namespace

struct SystemResolver::Shared {
    struct Job {
        quint64 id;
        QByteArray name;
    };
    struct Done {
        quint64 id;
        std::optional<QHostAddress> address;
    };
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<Job> jobs;
    std::vector<Done> done;
    int threads = 0, idle = 0;
    bool stopping = false;
    UniqueFd event{eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)};  // tells the owner `done` has news

    void work()
    {
        std::unique_lock lock(mutex);
        for (;;) {
            ++idle;
            const bool woken =
                wake.wait_for(lock, kIdleThreadLife, [this] { return stopping || !jobs.empty(); });
            --idle;
            if (stopping || !woken) break;
            const Job job = std::move(jobs.front());
            jobs.pop_front();
            lock.unlock();
            const auto address = addressToProbe(job.name);
            lock.lock();
            if (stopping) break;
            done.push_back({job.id, address});
            const std::uint64_t one = 1;
            if (::write(event.get(), &one, sizeof one) < 0) {
                // The counter is full: the owner has news waiting already.
            }
        }
        --threads;
    }

    // Under the lock.
    void startThread(const std::shared_ptr<Shared>& self)
    {
        pthread_attr_t attr;
        pthread_attr_init(&attr);
        pthread_attr_setstacksize(&attr, kThreadStack);
        pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
        auto* held = new std::shared_ptr<Shared>(self);
        pthread_t thread;
        const int failed = pthread_create(
            &thread, &attr,
            [](void* p) -> void* {
                const std::unique_ptr<std::shared_ptr<Shared>> shared(
                    static_cast<std::shared_ptr<Shared>*>(p));
                (*shared)->work();
                return nullptr;
            },
            held);
        pthread_attr_destroy(&attr);
        if (failed)
            delete held;
        else
            ++threads;
    }
};

SystemResolver::SystemResolver(int limitMs, QObject* parent)
    : QObject(parent), m_shared(std::make_shared<Shared>()), m_limitMs(limitMs)
{
    m_clock.start();
    m_wake = std::make_unique<QSocketNotifier>(m_shared->event.get(), QSocketNotifier::Read);
    connect(m_wake.get(), &QSocketNotifier::activated, this, &SystemResolver::collect);
    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, &SystemResolver::expire);
}

SystemResolver::~SystemResolver()
{
    // Threads still blocked in a lookup end on their own and find nobody to tell.
    std::lock_guard lock(m_shared->mutex);
    m_shared->stopping = true;
    m_shared->jobs.clear();
    m_shared->wake.notify_all();
}

quint64 SystemResolver::lookup(const QString& name, Resolved resolved)
{
    const quint64 id = ++m_lastId;
    const qint64 deadline = m_clock.elapsed() + m_limitMs;
    m_pending.emplace(id, Pending{std::move(resolved), deadline});
    m_deadlines.emplace(deadline, id);
    {
        std::lock_guard lock(m_shared->mutex);
        // The name as the DNS carries it; a text that cannot be one is looked up as nothing.
        m_shared->jobs.push_back({id, QUrl::toAce(name)});
        if (m_shared->jobs.size() > std::size_t(m_shared->idle) && m_shared->threads < kMaxThreads)
            m_shared->startThread(m_shared);
    }
    m_shared->wake.notify_one();
    armTimer();
    return id;
}

void SystemResolver::cancel(quint64 id)
{
    const auto it = m_pending.find(id);
    if (it == m_pending.end()) return;
    m_deadlines.erase({it->second.deadlineMs, id});
    m_pending.erase(it);
    std::lock_guard lock(m_shared->mutex);
    std::erase_if(m_shared->jobs, [id](const Shared::Job& j) { return j.id == id; });
}

void SystemResolver::collect()
{
    std::uint64_t count = 0;
    if (::read(m_shared->event.get(), &count, sizeof count) < 0) {
        // Nothing new: a wake-up already handled.
    }
    std::vector<Shared::Done> done;
    {
        std::lock_guard lock(m_shared->mutex);
        done.swap(m_shared->done);
    }
    for (const Shared::Done& d : done) {
        const auto it = m_pending.find(d.id);
        if (it == m_pending.end()) continue;  // cancelled, or already past its limit
        const Resolved resolved = std::move(it->second.resolved);
        m_deadlines.erase({it->second.deadlineMs, d.id});
        m_pending.erase(it);
        resolved(d.address);
    }
    armTimer();
}

void SystemResolver::expire()
{
    const qint64 now = m_clock.elapsed();
    std::vector<quint64> due;
    for (const auto& [deadline, id] : m_deadlines) {
        if (deadline > now) break;
        due.push_back(id);
    }
    for (const quint64 id : due) {
        const auto it = m_pending.find(id);
        if (it == m_pending.end()) continue;  // an answer cancelled it meanwhile
        const Resolved resolved = std::move(it->second.resolved);
        cancel(id);
        resolved(std::nullopt);
    }
    armTimer();
}

void SystemResolver::armTimer()
{
    if (m_deadlines.empty()) {
        m_timer.stop();
        return;
    }
    m_timer.start(int(std::max<qint64>(0, m_deadlines.begin()->first - m_clock.elapsed())));
}

}  // namespace sentrok
