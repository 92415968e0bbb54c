// The chat alerts of a real monitoring session: from the end of a pass (the moment the status bar
// learns it is over) until a local receiver has the channel's message whole. A Session checks
// three hosts with a probe that answers at once, one of them going down and coming back on
// alternate passes, so every pass has news; a webhook channel and a Telegram channel (its Bot API
// played by a local receiver) each get one message per pass. Receivers on 127.0.0.1 in a private
// network namespace (scripts/bench.sh passalerts); the session's own loop runs them, so an
// arrival counts only once the loop has read it, and a pass's database work shares the loop too.
//
// With "hang", a third channel (Telegram) whose server never answers stands beside them: its
// requests wait out their time-out one after the other, and the passes and the other channels'
// messages are to take no longer for it. The median length of a pass is printed either way.
//
//   bench_passalerts [PASSES] [hang]     20 passes unless given

#include "../tests/channels/fakehttp.h"
#include "benchkit.h"
#include "channels/channelrecord.h"
#include "channels/channelsecrets.h"
#include "channels/channelstore.h"
#include "common/clock.h"
#include "monitor/monitorview.h"
#include "probe/prober.h"
#include "secrets/secretstore.h"
#include "session/session.h"
#include "store/schema.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTemporaryDir>
#include <QTextStream>
#include <QTimer>
#include <QUuid>

#include <algorithm>
#include <chrono>
#include <vector>

using namespace sentrok;
using namespace sentrok::bench;
using test::FakeHttp;

namespace {

qint64 steadyNs() { return std::chrono::steady_clock::now().time_since_epoch().count(); }

// Every host answers at once, except the flapping one on every other pass.
class FlappingProber final : public Prober {
public:
    QString flapping;
    bool down = false;
    quint64 start(const ProbeRequest& r, Done done) override
    {
        const bool silent = r.host == flapping && down;
        QTimer::singleShot(0, [silent, done = std::move(done)] {
            done({silent ? QStringLiteral("-1") : QStringLiteral("3"), {}});
        });
        return ++m_id;
    }
    void cancel(quint64) override {}

private:
    quint64 m_id = 0;
};

// Notes when each pass ends.
class EndsView final : public MonitorView {
public:
    std::vector<qint64> starts, ends;
    void PrintStat(const QString&, const QString&, const QString&, const QString&,
                   std::uint32_t) override
    {
    }
    QString panelText(int) const override { return {}; }
    void setPanelText(int, const QString&) override {}
    void setPanelToolTip(int, const QString&) override {}
    void setPanelEnabled(int, bool) override {}
    void setStartEnabled(bool) override {}
    void setBusy(bool busy) override { (busy ? starts : ends).push_back(steadyNs()); }
    void reportCheckFailure(const QString&) override {}
    void clearCheckFailures() override {}
    void setCondition(Condition, const QString& text) override
    {
        if (!text.isEmpty()) QTextStream(stderr) << "condition: " << text << "\n";
    }
};

void addChannel(Database& db, SecretStore& store, ChannelKind kind, const QString& url,
                const QString& secret)
{
    ChannelSettings c;
    c.record = {.id = 0,
                .kind = kind,
                .name = kindWord(kind),
                .target = QStringLiteral("-100"),
                .apiUrl = kind == ChannelKind::Telegram ? url : QString(),
                .pin = {},
                .enabled = true,
                .secretRef = QStringLiteral("channel:") + QUuid::createUuid().toString()};
    c.secret = secret;
    QEventLoop loop;
    writeChannelSecret(store, c, [&](const QString& error, const QString&) {
        if (!error.isEmpty()) qFatal("secret not written: %s", qPrintable(error));
        loop.quit();
    });
    loop.exec();
    sentrok::addChannel(db, c.record);
}

void report(const char* what, const std::vector<qint64>& ends, const QList<FakeHttp::Seen>& seen,
            int passes)
{
    std::vector<double> ms;
    // Each message belongs to the last pass that ended before it came.
    for (int i = 0; i < passes && i < seen.size(); ++i) {
        const auto after = std::upper_bound(ends.begin(), ends.end(), seen[i].steadyNs);
        if (after != ends.begin()) ms.push_back(double(seen[i].steadyNs - *(after - 1)) / 1e6);
    }
    std::sort(ms.begin(), ms.end());
    if (ms.empty()) {
        QTextStream(stdout) << what << ": nothing arrived\n";
        return;
    }
    QTextStream(stdout) << what << ": pass end to arrival, median "
                        << QString::number(ms[ms.size() / 2], 'f', 2) << " ms, min "
                        << QString::number(ms.front(), 'f', 2) << ", max "
                        << QString::number(ms.back(), 'f', 2) << " over " << ms.size()
                        << " passes\n";
}

}  // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const int passes = argc > 1 ? std::max(1, atoi(argv[1])) : 20;
    const bool hang = argc > 2 && QByteArrayView(argv[2]) == "hang";
    QTemporaryDir dir;
    qputenv(SecretStore::kFileVariable, dir.filePath("secrets.json").toUtf8());
    const QString file = dir.filePath("sentrok.mdb");
    createDatabase(file);
    FakeHttp hook, api;
    QList<FakeHttp::Reply> never;
    for (int i = 0; i < 4 * passes; ++i) never << FakeHttp::Reply::hanging();
    FakeHttp hanging(never);
    {
        Database db(file, QStringLiteral("setup"));
        // Back to back: the interval is read in whole seconds, and a pass of three hosts is short.
        db.execute(QStringLiteral("update options set refresh_time=0"));
        for (const char* ip : {"198.51.100.1", "198.51.100.2", "198.51.100.3"})
            addHost(db, QString::fromLatin1(ip), QStringLiteral("bench"));
        SecretStore store;
        addChannel(db, store, ChannelKind::Webhook, {}, hook.url(QStringLiteral("/hooks/bench")));
        addChannel(db, store, ChannelKind::Telegram, api.url(),
                   QStringLiteral("424242:benchbenchbenchbenchbench"));
        if (hang) {
            addChannel(db, store, ChannelKind::Telegram, hanging.url(),
                       QStringLiteral("434343:hanghanghanghanghanghang"));
        }
    }
    SystemClock clock;
    NoBoxes boxes;
    FlappingProber prober;
    prober.flapping = QStringLiteral("198.51.100.2");
    EndsView view;
    Session session({.program = QStringLiteral("bench"),
                     .programFolder = dir.path(),
                     .database = file,
                     .clock = &clock,
                     .boxes = &boxes,
                     .prober = &prober});
    session.open();
    // Each pass flips the host for the next one.
    QObject::connect(&session, &Session::passAnnounced, &app,
                     [&](const PassReport&) { prober.down = !prober.down; });
    session.start(&view);
    QTimer check;
    QObject::connect(&check, &QTimer::timeout, &app, [&] {
        if (hook.seen.size() >= passes && api.seen.size() >= passes) app.quit();
    });
    check.start(5);
    QTimer::singleShot(std::chrono::minutes(5), &app, [&] { app.exit(1); });
    const int status = app.exec();
    session.stop();
    report("webhook", view.ends, hook.seen, passes);
    report("telegram", view.ends, api.seen, passes);
    std::vector<double> lengths;
    for (std::size_t i = 0; i < view.starts.size() && i < view.ends.size(); ++i)
        lengths.push_back(double(view.ends[i] - view.starts[i]) / 1e6);
    std::sort(lengths.begin(), lengths.end());
    if (!lengths.empty())
        QTextStream(stdout) << "pass length" << (hang ? " beside a hanging channel" : "")
                            << ": median " << QString::number(lengths[lengths.size() / 2], 'f', 2)
                            << " ms, max " << QString::number(lengths.back(), 'f', 2) << " ms over "
                            << lengths.size()
                            << " passes; requests to the hanging channel: " << hanging.seen.size()
                            << "\n";
    return status;
}
