// The chat channels from the caller's side: how long a message takes from its hand-over to the
// dispatcher until a local receiver has it whole, and what the hand-over costs the caller (the
// pass) while another channel hangs. Receivers on 127.0.0.1 in a private network namespace
// (scripts/bench.sh channels); the caller's loop runs them, as the window's loop would run the
// pass, so an arrival counts only once the loop has read it.
//
// Rounds, each of ROUNDS messages, one at a time (the next is handed over once the last arrived):
//   webhook            one webhook channel, a pass's message of 3 hosts
//   telegram           one Telegram channel, the same message
//   beside a hang      the webhook again, with a Telegram channel beside it whose server never
//                      answers (its requests pile up behind the first, as they would)
//   10,000 hosts down  the webhook, a message listing 10,000 hosts (about 700 KB of JSON)
//
//   bench_channels [ROUNDS]     20 unless given

#include "../tests/channels/fakehttp.h"
#include "channels/channeldispatcher.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QTextStream>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <vector>

using namespace sentrok;
using namespace std::chrono_literals;
using test::FakeHttp;

namespace {

const QString kToken = QStringLiteral("424242:benchbenchbenchbenchbench");

ChannelSettings channel(qint64 id, ChannelKind kind, const QString& url)
{
    ChannelSettings c;
    c.record.id = id;
    c.record.kind = kind;
    c.record.name = QStringLiteral("bench %1").arg(id);
    c.record.target = QStringLiteral("-100");
    c.record.apiUrl = url;
    c.secret = kind == ChannelKind::Telegram ? kToken : url + QStringLiteral("/hooks/x");
    return c;
}

ChannelMessage passMessage(int hosts)
{
    QString text = QStringLiteral("NO CONNECT\r\n");
    QList<ChannelHost> down;
    for (int i = 0; i < hosts; ++i) {
        const QString ip = QStringLiteral("198.51.100.%1").arg(i % 250);
        text += QStringLiteral("Коммутатор %1 [%2]\r\n").arg(i).arg(ip);
        down << ChannelHost{i + 1, ip, QStringLiteral("Коммутатор %1").arg(i), 0};
    }
    return channelMessage(text + QStringLiteral("\r\nCONNECT\r\n"), QDateTime::currentDateTime(),
                          QStringLiteral("bench"), down, {});
}

qint64 steadyNs() { return std::chrono::steady_clock::now().time_since_epoch().count(); }

// The caller's own CPU time: on two busy cores the hand-over's wall time also holds whatever
// ran while the scheduler gave the core to the channels' thread just woken.
qint64 threadCpuNs()
{
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return qint64(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

// ROUNDS hand-overs to `dispatcher`, each waiting for `receiver` to have it: the median and worst
// of the hand-over call and of the time to arrival, in ms.
void round(QTextStream& out, const char* name, ChannelDispatcher& dispatcher, FakeHttp& receiver,
           const ChannelMessage& message, int rounds)
{
    std::vector<double> handOver, handOverCpu, arrival;
    for (int i = 0; i < rounds; ++i) {
        const qsizetype before = receiver.seen.size();
        const qint64 start = steadyNs(), startCpu = threadCpuNs();
        dispatcher.send(message);
        handOverCpu.push_back(double(threadCpuNs() - startCpu) / 1e6);
        handOver.push_back(double(steadyNs() - start) / 1e6);
        const QDeadlineTimer limit(10s);
        while (receiver.seen.size() == before && !limit.hasExpired())
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
        if (receiver.seen.size() == before) {
            out << name << ": no arrival within 10 s\n";
            return;
        }
        arrival.push_back(double(receiver.seen.last().steadyNs - start) / 1e6);
    }
    out << QStringLiteral(
               "%1: hand-over median %2 ms (caller's CPU %3 ms), worst %4 ms; arrival median %5 "
               "ms, worst %6 ms (%7 messages)\n")
               .arg(QString::fromLatin1(name))
               .arg(median(handOver), 0, 'f', 3)
               .arg(median(handOverCpu), 0, 'f', 3)
               .arg(*std::max_element(handOver.begin(), handOver.end()), 0, 'f', 3)
               .arg(median(arrival), 0, 'f', 2)
               .arg(*std::max_element(arrival.begin(), arrival.end()), 0, 'f', 2)
               .arg(rounds);
    out.flush();
}

}  // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QTextStream out(stdout);
    if (qEnvironmentVariableIsEmpty("SENTROK_NETNS")) {
        out << "bench_channels: run it through scripts/bench.sh channels (a private network "
               "namespace)\n";
        return 2;
    }
    const int rounds = argc > 1 ? QString::fromLocal8Bit(argv[1]).toInt() : 20;
    FakeHttp webhook, bot,
        hanging(QList<FakeHttp::Reply>(rounds * 2 + 2, FakeHttp::Reply::hanging()));
    ChannelTiming timing;
    timing.requestTimeout = 60s;
    const ChannelMessage small = passMessage(3);
    {
        ChannelDispatcher d(timing);
        d.setChannels({channel(1, ChannelKind::Webhook, webhook.url())});
        round(out, "webhook", d, webhook, small, rounds);
        d.setChannels({channel(2, ChannelKind::Telegram, bot.url())});
        round(out, "telegram", d, bot, small, rounds);
        d.setChannels({channel(1, ChannelKind::Webhook, webhook.url()),
                       channel(3, ChannelKind::Telegram, hanging.url())});
        round(out, "beside a hang", d, webhook, small, rounds);
        out << "the hanging server got " << hanging.seen.size()
            << " request(s), the rest wait in its channel's queue\n";
        d.setChannels({channel(1, ChannelKind::Webhook, webhook.url())});
        round(out, "10,000 hosts down", d, webhook, passMessage(10'000), std::max(1, rounds / 4));
    }
    return 0;
}
