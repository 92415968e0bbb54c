#include "monitor/monitor.h"

#include "alerts/sound.h"
#include "common/clock.h"
#include "common/conversions.h"
#include "common/datetext.h"
#include "store/database.h"
#include "store/totals.h"

#include <QCollator>
#include <QElapsedTimer>
#include <QTextStream>

#include <algorithm>
#include <limits>

namespace sentrok {

namespace {

const QString kCrLf = QStringLiteral("\r\n");
// How long one turn of the event loop may spend reading host records or recording outcomes.
constexpr qint64 kRecordSliceMs = 8;
// Host records read at a time.
constexpr int kLoadChunk = 500;

QString listLine(const QString& desc, const QString& ip)
{
    return desc + u'[' + ip + u']' + kCrLf;
}

}  // namespace

Monitor::Monitor(MonitorDeps deps, std::int32_t checkInterval, QObject* parent)
    : QObject(parent), m_deps(std::move(deps)), m_checkInterval(checkInterval)
{
    m_timer.setInterval(1000);
    connect(&m_timer, &QTimer::timeout, this, &Monitor::Timer2_Timer);
}

Monitor::~Monitor()
{
    for (const Slot& s : m_slots)
        if (s.state == SlotState::Probing) m_deps.prober->cancel(s.probeId);
}

void Monitor::start()
{
    m_lastPassTime = m_deps.clock->now();
    m_timer.start();
}

void Monitor::Timer2_Timer()
{
    const qint64 elapsed = m_lastPassTime.secsTo(m_deps.clock->now());
    m_deps.view->setPanelText(1, QString::number(qint64(m_checkInterval) - elapsed));
    if (elapsed > m_checkInterval) RunCheckPass();
    m_deps.view->setPanelText(2, QString::number(m_deps.clock->uptimeMs() / 60000));
}

void Monitor::mnuStart_Click()
{
    RunCheckPass([this] {
        if (m_deps.getNoCon) m_deps.getNoCon();
    });
}

QString Monitor::alertText(const QString& downList, const QString& upList)
{
    return QStringLiteral("NO CONNECT") + kCrLf + downList + kCrLf + QStringLiteral("CONNECT") +
           kCrLf + upList;
}

bool Monitor::RunCheckPass(std::function<void()> after)
{
    if (m_running) return false;
    m_running = true;
    m_after = std::move(after);
    MonitorView& view = *m_deps.view;
    view.setBusy(true);
    m_downList.clear();
    m_upList.clear();
    m_processed = 0;
    m_failedCount = 0;
    view.setStartEnabled(false);
    view.setPanelEnabled(2, false);
    view.setPanelToolTip(4, QStringLiteral("Адресов не пингуется"));
    view.clearCheckFailures();
    // Panel 3 holds the previous pass's count, the divisor of the progress figure.
    if (view.panelText(3) == QLatin1String("0")) view.setPanelText(3, QStringLiteral("100"));

    m_slots.clear();
    m_loadAfter = std::numeric_limits<qint64>::min();
    m_nextToStart = m_nextToRecord = 0;
    m_inFlight = 0;
    loadHosts();
    return true;
}

// Reads the host records a chunk at a time, by id, over as many turns of the event loop as
// a long list needs; then puts them in the order of their descriptions and starts probing.
void Monitor::loadHosts()
{
    static const char* const names[] = {"id", "ip", "desc", "vw", "vi", "vn", "vl"};
    QElapsedTimer slice;
    slice.start();
    try {
        for (;;) {
            int read = 0;
            Result r = m_deps.db->execute(
                QStringLiteral("select id,ip,[desc],vw,vi,vn,vl from address where id > ? "
                               "order by id limit ?"),
                {m_loadAfter, kLoadChunk});
            for (; !r.eof(); r.moveNext(), ++read) {
                Slot s;
                Host& h = s.host;
                QString* texts[] = {nullptr, &h.ip, &h.desc, &h.vw, &h.vi, &h.vn, &h.vl};
                for (int i = 0; i < 7; ++i) {
                    const QVariant v = r.field(i);
                    if (v.isNull()) {
                        if (!h.readError.isEmpty()) h.readError += QStringLiteral(", ");
                        h.readError +=
                            QStringLiteral("поле %1 пусто (NULL)").arg(QLatin1String(names[i]));
                    } else if (i == 0) {
                        h.id = m_loadAfter = v.toLongLong();
                    } else {
                        *texts[i] = v.toString();
                    }
                }
                m_slots.push_back(std::move(s));
            }
            if (read < kLoadChunk) break;
            if (slice.elapsed() >= kRecordSliceMs) {
                QTimer::singleShot(0, this, [this] {
                    if (m_running) loadHosts();
                });
                return;
            }
        }
    } catch (const DbError& e) {
        // Without the host list there is nothing to check: end the pass, keep the totals,
        // and try again one interval later rather than at every tick.
        m_slots.clear();
        const QString message = QStringLiteral("Список адресов не прочитан: %1").arg(e.userText());
        m_deps.view->reportCheckFailure(message);
        QTextStream(stderr) << "sentrok: " << message << "\n";
        m_running = false;
        m_deps.view->setStartEnabled(true);
        m_deps.view->setPanelEnabled(2, true);
        m_deps.view->setBusy(false);
        m_lastPassTime = m_deps.clock->now();
        m_after = nullptr;
        emit passFinished();
        return;
    }
    // Descriptions in the user's alphabetical order, as a person reads the list; equal ones
    // keep the database's order.
    QCollator collator;
    collator.setCaseSensitivity(Qt::CaseInsensitive);
    std::stable_sort(m_slots.begin(), m_slots.end(), [&](const Slot& a, const Slot& b) {
        return collator.compare(a.host.desc, b.host.desc) < 0;
    });
    if (slice.elapsed() >= kRecordSliceMs) {
        // A long list took this turn already: the probes start on the next.
        QTimer::singleShot(0, this, [this] {
            if (!m_running) return;
            startProbes();
            recordReady();
        });
        return;
    }
    startProbes();
    recordReady();
}

void Monitor::startProbes()
{
    while (m_inFlight < m_maxInFlight && m_nextToStart < m_slots.size()) {
        const std::size_t index = m_nextToStart++;
        Slot& s = m_slots[index];
        // Exactly "0" takes a host out of the checks: "00" or " 0" do not.
        if (s.host.vw == QLatin1String("0")) s.skipped = true;
        if (s.skipped || !s.host.readError.isEmpty()) {
            s.state = SlotState::Done;
            continue;
        }
        if (!m_deps.prober) {
            s.outcome.error = QStringLiteral("проверка ICMP недоступна");
            s.state = SlotState::Done;
            continue;
        }
        s.state = SlotState::Probing;
        ++m_inFlight;
        const Host& h = s.host;
        s.probeId = m_deps.prober->start({h.ip, h.vw, h.vi, h.vn, h.vl},
                                         [this, index](const ProbeOutcome& outcome) {
                                             probeDone(index, outcome);
                                         });
    }
}

void Monitor::probeDone(std::size_t index, const ProbeOutcome& outcome)
{
    if (!m_running || index >= m_slots.size()) return;
    Slot& s = m_slots[index];
    if (s.state != SlotState::Probing) return;
    s.outcome = outcome;
    s.state = SlotState::Done;
    --m_inFlight;
    startProbes();
    recordReady();
}

void Monitor::recordReady()
{
    // A slice already due will carry on; recording now would make this turn longer.
    if (m_recording || m_recordQueued) return;
    m_recording = true;
    // Many outcomes may be ready at once, or arrive by the hundred within one turn of the event
    // loop. They are recorded in slices of at most kRecordSliceMs a turn, counted over every
    // call in the turn, so the window never waits long on database writes; each slice is one
    // transaction, so the disk is synchronised once per slice rather than once per host.
    // Within it every check is a unit of its own: a check that fails leaves nothing
    // half-written and takes no other with it.
    if (!m_turnStarted) {
        m_turnStarted = true;
        m_turnSpentNs = 0;
        // Runs at the next turn, before a slice deferred from this one.
        QTimer::singleShot(0, this, [this] { m_turnStarted = false; });
    }
    QElapsedTimer slice;
    slice.start();
    const auto spentMs = [&] { return (m_turnSpentNs + slice.nsecsElapsed()) / 1'000'000; };
    Database& db = *m_deps.db;
    bool batch = true;
    try {
        db.begin();
    } catch (const DbError&) {
        batch = false;  // each check then commits on its own
    }
    std::vector<Recorded> recorded;
    while (m_running && m_nextToRecord < m_slots.size() &&
           m_slots[m_nextToRecord].state == SlotState::Done) {
        if (spentMs() >= kRecordSliceMs) {
            if (!m_recordQueued) {
                m_recordQueued = true;
                QTimer::singleShot(0, this, [this] {
                    m_recordQueued = false;
                    recordReady();
                });
            }
            break;
        }
        if (auto r = CheckHost(m_slots[m_nextToRecord])) recorded.push_back(*r);
        ++m_nextToRecord;
        ++m_processed;
        bool ok = false;
        qint64 divisor = m_deps.view->panelText(3).toLongLong(&ok);
        if (!ok || divisor <= 0) divisor = 100;
        m_deps.view->setPanelText(5, QString::number(m_processed * 100 / divisor) + u'%');
        m_lastPassTime = m_deps.clock->now();
    }
    if (batch) {
        try {
            db.commit();
        } catch (const DbError& e) {
            // Nothing of this slice reached the file: its changes of state are not announced,
            // so the next pass finds them again.
            for (const Recorded& r : recorded) failCheck(*r.host, e.userText());
            recorded.clear();
        }
    }
    for (const Recorded& r : recorded) announce(r);
    m_turnSpentNs += slice.nsecsElapsed();
    m_recording = false;
    if (m_running && m_nextToRecord == m_slots.size()) finishPass();
}

void Monitor::failCheck(const Host& host, const QString& error)
{
    const QString message =
        QStringLiteral("Хост %1 «%2» не проверен: %3").arg(host.ip, host.desc, error);
    m_deps.view->reportCheckFailure(message);
    QTextStream(stderr) << "sentrok: " << message << "\n";
}

// Writes one host's check: a log row, and the outage opened or closed when the state changed.
// Empty when the check was not made or could not be written.
std::optional<Monitor::Recorded> Monitor::CheckHost(const Slot& slot)
{
    const Host& h = slot.host;
    if (slot.skipped) return std::nullopt;
    if (!h.readError.isEmpty()) return failCheck(h, h.readError), std::nullopt;
    if (slot.outcome.failed()) return failCheck(h, slot.outcome.error), std::nullopt;
    const QString result = slot.outcome.result.isEmpty() ? QStringLiteral("-1") : slot.outcome.result;
    const auto n = toInt32(result, QLocale::c());
    if (!n) {
        failCheck(h, QStringLiteral("результат проверки \"%1\" не число").arg(result));
        return std::nullopt;
    }

    Change change = Change::None;
    const QString now = storedDateText(m_deps.clock->now());
    Database& db = *m_deps.db;
    try {
        db.savepoint([&] {
            db.execute(QStringLiteral(
                           "insert into log (id_ip,time_echo,time_wait,dt) values (?,?,?,?)"),
                       {h.id, result, h.vw, now});
            addChecksToTotals(db, {{h.id, now, *n}});
            // CROSS JOIN keeps the host's address as the outer loop: by the open-outage index
            // instead, the lookup would walk every open outage of every host.
            Result open = db.execute(
                QStringLiteral("SELECT noconnect.id as id, noconnect.dt2 as dt2 FROM address "
                               "CROSS JOIN noconnect ON address.id = noconnect.id_ip "
                               "WHERE address.ip = ? AND noconnect.dt2 = ? ORDER BY noconnect.id"),
                {h.ip, kZeroDate});
            const bool down = !open.eof();
            const QVariant outageId = down ? open.field(QStringLiteral("id")) : QVariant();
            open.close();
            if (*n >= 0 && down) {
                db.execute(QStringLiteral("update noconnect set dt2=? where id=?"), {now, outageId});
                change = Change::Up;
            } else if (*n < 0 && !down) {
                // The outage belongs to the first host record with this address.
                Result first = db.execute(
                    QStringLiteral("SELECT id from address where ip=? ORDER BY id"), {h.ip});
                const QVariant hostId = first.field(QStringLiteral("id"));
                first.close();
                db.execute(QStringLiteral("insert into noconnect (id_ip,dt1) values (?,?)"),
                           {hostId, now});
                change = Change::Down;
            }
        });
    } catch (const DbError& e) {
        failCheck(h, e.userText());
        return std::nullopt;
    }
    return Recorded{&h, result, *n < 0, change};
}

void Monitor::announce(const Recorded& r)
{
    const Host& h = *r.host;
    if (r.failed) ++m_failedCount;
    if (r.change == Change::Up) {
        m_deps.view->PrintStat(h.ip, h.desc, h.vw, r.result, kColorUp);
        m_deps.sound->PlayUpSound();
        m_upList += listLine(h.desc, h.ip);
    } else if (r.change == Change::Down) {
        m_deps.view->PrintStat(h.ip, h.desc, h.vw, r.result, kColorDown);
        m_deps.sound->PlayDownSound();
        m_downList += listLine(h.desc, h.ip);
    }
}

void Monitor::finishPass()
{
    MonitorView& view = *m_deps.view;
    view.setPanelText(3, QString::number(m_processed));
    view.setPanelText(4, QString::number(m_failedCount));
    view.setStartEnabled(true);
    view.setPanelEnabled(2, true);
    view.setBusy(false);
    m_lastPassTime = m_deps.clock->now();
    m_running = false;
    m_slots.clear();
    std::function<void()> after = std::move(m_after);
    m_after = nullptr;
    try {
        if ((!m_downList.isEmpty() || !m_upList.isEmpty()) && m_deps.sendAlert)
            m_deps.sendAlert(alertText(m_downList, m_upList));
        if (m_deps.getNoCon) m_deps.getNoCon();
    } catch (const DbError& e) {
        view.reportCheckFailure(e.userText());
    }
    emit passFinished();
    if (after) after();
}

}  // namespace sentrok
