#include "monitor/monitor.h"

#include "common/clock.h"
#include "common/conversions.h"
#include "common/datetext.h"
#include "common/inputrules.h"
#include "monitor/alertlists.h"
#include "store/database.h"
#include "store/lease.h"
#include "store/parents.h"

#include <QElapsedTimer>
#include <QPointer>
#include <QTextStream>

#include <algorithm>
#include <limits>
#include <utility>

namespace sentrok {

namespace {

// How long one turn of the event loop may spend announcing recorded outcomes.
constexpr qint64 kAnnounceSliceMs = 8;
// Outcomes handed to the recorder at a time.
constexpr std::size_t kBatchMax = 1000;
// Kinds of failure remembered as told on standard error.
constexpr int kToldFailuresMax = 1000;

void printError(const QString& text)
{
    QTextStream(stderr) << "sentrok: " << printableLine(text) << "\n";
}

// The result text a probe's outcome is recorded with.
QString resultOf(const ProbeOutcome& outcome)
{
    return outcome.result.isEmpty() ? QStringLiteral("-1") : outcome.result;
}

}  // namespace

Monitor::Monitor(MonitorDeps deps, std::int32_t checkInterval, QObject* parent)
    : QObject(parent),
      m_deps(std::move(deps)),
      m_checkInterval(checkInterval),
      m_recorder(std::make_unique<Recorder>(m_deps.database))
{
    m_timer.setInterval(1000);
    connect(&m_timer, &QTimer::timeout, this, &Monitor::Timer2_Timer);
    connect(m_recorder.get(), &Recorder::waiting, this, &Monitor::recordingWaits);
    m_leaseTimer.setInterval(kLeaseRetryMs);
    connect(&m_leaseTimer, &QTimer::timeout, this, [this] {
        if (!m_held) tryLease();
    });
}

Monitor::~Monitor()
{
    if (m_held) m_recorder->releaseLease();
    for (const Slot& s : m_slots)
        if (s.state == SlotState::Probing) m_deps.prober->cancel(s.probeId);
}

void Monitor::setLeased(const QString& me) { m_me = me; }

void Monitor::start()
{
    m_lastPassTime = m_deps.clock->now();
    m_timer.start();
    if (leased()) {
        tryLease();
        m_leaseTimer.start();
    }
}

void Monitor::tryLease()
{
    m_recorder->acquireLease(m_me, [this, guard = QPointer<Monitor>(this)](LeaseState state) {
        if (!guard) return;
        if (!state.error.isEmpty()) {
            // Shown once while it lasts (the view drops a text it shows already); the lease is
            // asked for again every kLeaseRetryMs.
            m_deps.view->setCondition(state.gone ? Condition::DatabaseGone : Condition::NoLease,
                                      state.error);
            return;
        }
        m_deps.view->setCondition(Condition::NoLease, {});
        if (!m_running) m_deps.view->setCondition(Condition::DatabaseGone, {});
        if (state.held) {
            if (m_held) return;
            m_held = true;
            // Taking over from another process: the next pass follows on from its last one, at
            // once if that one was cut short.
            if (m_waited && state.lastPass.isValid())
                m_lastPassTime = state.lastPassOpen
                                     ? m_deps.clock->now().addSecs(-qint64(m_checkInterval) - 1)
                                     : state.lastPass;
            m_holder = m_me;
            // Every request still waiting is this process's to answer now, those made while
            // nobody held the lease included: the holder before removed the ones it answered.
            m_answeredRequest = 0;
            lookForRequests();
            emit leaseChanged(true, m_me);
            return;
        }
        m_waited = true;
        if (state.lastPass.isValid()) m_lastPassTime = state.lastPass;
        if (state.holder != m_holder || m_held) {
            m_held = false;
            m_holder = state.holder;
            emit leaseChanged(false, state.holder);
        }
    });
}

void Monitor::leaseLost()
{
    m_held = false;
    m_waited = true;
    m_holder.clear();
    emit leaseChanged(false, {});
    tryLease();
}

// Another window may have asked for a pass now ("Начать проверку" where this process monitors).
// Requests made while a pass runs get one pass after it, however many they are.
void Monitor::lookForRequests()
{
    if (m_askingRequests) return;
    m_askingRequests = true;
    m_recorder->newestRequest(
        [this, guard = QPointer<Monitor>(this)](std::optional<qint64> newest) {
            if (!guard) return;
            m_askingRequests = false;
            if (newest && *newest > m_answeredRequest && m_held && !m_running) mnuStart_Click();
        });
}

void Monitor::Timer2_Timer()
{
    const qint64 elapsed = m_lastPassTime.secsTo(m_deps.clock->now());
    m_deps.view->setPanelText(1, QString::number(qint64(m_checkInterval) - elapsed));
    if (elapsed > m_checkInterval && active()) RunCheckPass();
    m_deps.view->setPanelText(2, QString::number(m_deps.clock->uptimeMs() / 60000));
    if (leased() && m_held && !m_running) lookForRequests();
}

void Monitor::mnuStart_Click()
{
    if (!active()) {
        m_recorder->requestPass(m_me, storedDateText(m_deps.clock->now()));
        return;
    }
    RunCheckPass([this] {
        if (m_deps.getNoCon) m_deps.getNoCon();
    });
}

QString Monitor::alertText(const QString& downList, const QString& upList)
{
    return sentrok::alertText(downList, upList);
}

bool Monitor::RunCheckPass(std::function<void()> after)
{
    if (m_running || !active()) return false;
    m_running = true;
    m_after = std::move(after);
    MonitorView& view = *m_deps.view;
    view.setBusy(true);
    m_downList.clear();
    m_upList.clear();
    m_changes.clear();
    m_processed = 0;
    m_failedCount = 0;
    view.setStartEnabled(false);
    view.setPanelEnabled(2, false);
    view.setPanelToolTip(4, QStringLiteral("Адресов не пингуется"));
    view.clearCheckFailures();
    // Panel 3 holds the previous pass's count, the divisor of the progress figure.
    if (view.panelText(3) == QLatin1String("0")) view.setPanelText(3, QStringLiteral("100"));

    m_slots.clear();
    m_nextToStart = m_nextToSend = m_nextToRecord = 0;
    m_inFlight = 0;
    m_batchInFlight = false;
    m_recorder->beginPass(m_me.isEmpty() ? thisProcess(QStringLiteral("sentrok")) : m_me,
                          storedDateText(m_deps.clock->now()));
    m_announceStates.clear();
    m_recorder->loadHosts(m_deps.clock->now(),
                          [this, guard = QPointer<Monitor>(this)](HostsOutcome loaded) {
                              if (guard) hostsLoaded(std::move(loaded));
                          });
    return true;
}

void Monitor::hostsLoaded(HostsOutcome loaded)
{
    if (!m_running) return;
    m_answeredRequest = std::max(m_answeredRequest, loaded.requests);
    if (!loaded.error.isEmpty()) {
        // Without the host list there is nothing to check: end the pass, keep the totals, and
        // try again one interval later rather than at every tick.
        if (loaded.gone) m_deps.view->setCondition(Condition::DatabaseGone, loaded.error);
        const QString message = QStringLiteral("Список адресов не прочитан: %1").arg(loaded.error);
        m_deps.view->reportCheckFailure(message);
        // Said once for as long as it lasts, not at every pass.
        if (std::exchange(m_loadError, message) != message) printError(message);
        finishPass(false);
        return;
    }
    m_loadError.clear();
    m_deps.view->setCondition(Condition::DatabaseGone, {});
    m_slots.resize(loaded.hosts.size());
    for (std::size_t i = 0; i < loaded.hosts.size(); ++i)
        m_slots[i].host = std::move(loaded.hosts[i]);
    linkParents();
    startProbes();
    sendReady();
    announceReady();  // an empty list ends the pass here
}

void Monitor::startProbes()
{
    while (m_inFlight < m_maxInFlight && m_nextToStart < m_slots.size()) {
        const std::size_t index = m_nextToStart++;
        Slot& s = m_slots[index];
        // Exactly "0" takes a host out of the checks: "00" or " 0" do not.
        if (s.host.vw == QLatin1String("0")) s.skipped = true;
        if (s.skipped || !s.host.readError.isEmpty()) {
            s.state = SlotState::Probed;
            continue;
        }
        if (!m_deps.prober) {
            s.outcome.error = QStringLiteral("проверка ICMP недоступна");
            s.state = SlotState::Probed;
            continue;
        }
        // An address the administration window would refuse (stored by another tool or an older
        // version) is not looked up: "999.1.1.1" would go to the name servers at every pass. An
        // empty one is the probe's to answer (no echo, a failed check).
        if (!trimHostText(s.host.ip).isEmpty()) {
            if (const std::optional<QString> refusal = addressRefusal(s.host.ip)) {
                s.outcome.error = *refusal;
                s.state = SlotState::Probed;
                continue;
            }
        }
        s.state = SlotState::Probing;
        ++m_inFlight;
        const HostRecord& h = s.host;
        s.probeId = m_deps.prober->start(
            {h.ip, h.vw, h.vi, h.vn, h.vl},
            [this, index](const ProbeOutcome& outcome) { probeDone(index, outcome); });
    }
}

void Monitor::probeDone(std::size_t index, const ProbeOutcome& outcome)
{
    if (!m_running || index >= m_slots.size()) return;
    Slot& s = m_slots[index];
    if (s.state != SlotState::Probing) return;
    s.outcome = outcome;
    s.state = SlotState::Probed;
    --m_inFlight;
    startProbes();
    sendReady();
}

// Hands the outcomes that are ready, in the pass's order, to the recorder: one batch at a time.
// Checks that were not made need no writing and pass straight through.
void Monitor::sendReady()
{
    if (!m_running || m_batchInFlight) return;
    const std::size_t from = m_nextToSend;
    std::vector<CheckRecord> checks;
    std::vector<std::size_t> written;
    const QString now = storedDateText(m_deps.clock->now());
    while (m_nextToSend < m_slots.size() && m_slots[m_nextToSend].state == SlotState::Probed &&
           m_nextToSend - from < kBatchMax) {
        Slot& s = m_slots[m_nextToSend];
        if (checkFailed(s).value_or(false)) {
            // Down or unreachable: that is known once the checks of its ancestors are in.
            const std::size_t ancestor = nearestDownAncestor(m_nextToSend, false);
            if (ancestor == kPending) break;
            s.ancestor = ancestor;
        }
        s.state = SlotState::Sent;
        s.when = now;
        const HostRecord& h = s.host;
        if (s.skipped) {
            s.recorded = {};
        } else if (!h.readError.isEmpty()) {
            s.recorded = {Change::None, h.readError};
        } else if (s.outcome.failed()) {
            s.recorded = {Change::None, s.outcome.error};
        } else {
            s.result = resultOf(s.outcome);
            if (!toInt32(s.result, QLocale::c())) {
                s.recorded = {Change::None,
                              QStringLiteral("результат проверки \"%1\" не число").arg(s.result)};
            } else {
                s.announce = decide(s);
                const bool quiet =
                    s.announce == Announce::QuietDown || s.announce == Announce::QuietUp;
                checks.push_back(
                    {.hostId = h.id,
                     .ip = h.ip,
                     .vw = h.vw,
                     .result = s.result,
                     .when = now,
                     .ancestor = s.ancestor == kNone ? 0 : m_slots[s.ancestor].host.id,
                     .announce = s.announce == Announce::Down || s.announce == Announce::QuietDown
                                     ? Change::Down
                                 : s.announce == Announce::Up || s.announce == Announce::QuietUp
                                     ? Change::Up
                                     : Change::None,
                     .maintenance = quiet ? h.maintenance : std::nullopt});
                written.push_back(m_nextToSend);
            }
        }
        ++m_nextToSend;
    }
    const std::size_t to = m_nextToSend;
    if (from == to) return;
    if (checks.empty()) {
        batchRecorded(from, to, written, {});
        return;
    }
    m_batchInFlight = true;
    m_recorder->record(std::move(checks), [this, guard = QPointer<Monitor>(this), from, to,
                                           written](BatchOutcome outcome) {
        if (guard) batchRecorded(from, to, written, std::move(outcome));
    });
}

// What the check of a slot announces, from where its address's announcement stands. The state is
// its address's, as outages are: a second host record of an address sees what the first did.
Announce Monitor::decide(const Slot& s)
{
    const HostRecord& h = s.host;
    auto it = m_announceStates.find(h.ip);
    if (it == m_announceStates.end()) {
        // An outage with no change recorded for it that has had its failures was announced by
        // the program that recorded it (one from before changes were recorded).
        const Announced before = h.announcedBefore ? Announced::Yes
                                 : h.quietBefore   ? Announced::Quietly
                                 : h.downBefore && h.failuresBefore >= h.confirm ? Announced::Yes
                                                                                 : Announced::No;
        it = m_announceStates.insert(h.ip, {h.failuresBefore, before});
    }
    const bool failed = sentrok::checkFailed(s.result);
    it->failures = failed ? it->failures + 1 : 0;
    const AnnounceOutcome out = announceOf({.failed = failed,
                                            .failures = it->failures,
                                            .confirm = h.confirm,
                                            .maintenance = h.maintenance.has_value(),
                                            .before = it->state});
    it->state = out.after;
    return out.announce;
}

void Monitor::batchRecorded(std::size_t from, std::size_t to,
                            const std::vector<std::size_t>& written, BatchOutcome outcome)
{
    m_batchInFlight = false;
    if (!m_running || to > m_slots.size()) return;
    if (outcome.gone) {
        m_deps.view->setCondition(Condition::DatabaseGone, outcome.goneText);
        abandonPass(outcome.goneText);
        return;
    }
    if (outcome.leaseLost) {
        abandonPass(outcome.leaseHolder.isEmpty()
                        ? QStringLiteral("Право на проверки потеряно (соединение с базой данных "
                                         "прервалось или файл блокировки удалён), и другой "
                                         "программе оно не досталось; проверки продолжатся, как "
                                         "только оно будет получено снова")
                        : QStringLiteral("Проверки теперь ведёт %1").arg(outcome.leaseHolder));
        leaseLost();
        return;
    }
    for (std::size_t k = 0; k < written.size() && k < outcome.results.size(); ++k) {
        m_slots[written[k]].recorded = outcome.results[k];
        m_slots[written[k]].notWritten = !outcome.results[k].error.isEmpty();
    }
    for (std::size_t i = from; i < to; ++i) m_slots[i].state = SlotState::Recorded;
    announceReady();
    sendReady();
}

// Announces the recorded outcomes in the pass's order: progress, event rows, sounds, alert lines.
// Many may be ready at once: a turn of the event loop spends at most kAnnounceSliceMs on them,
// counted over every call in the turn, and the rest follow in the next turns.
void Monitor::announceReady()
{
    if (m_announceQueued) return;
    if (!m_turnStarted) {
        m_turnStarted = true;
        m_turnSpentNs = 0;
        // Runs at the next turn, before a slice deferred from this one.
        QTimer::singleShot(0, this, [this] { m_turnStarted = false; });
    }
    QElapsedTimer slice;
    slice.start();
    while (m_running && m_nextToRecord < m_slots.size() &&
           m_slots[m_nextToRecord].state == SlotState::Recorded) {
        if ((m_turnSpentNs + slice.nsecsElapsed()) / 1'000'000 >= kAnnounceSliceMs) {
            m_announceQueued = true;
            QTimer::singleShot(0, this, [this] {
                m_announceQueued = false;
                announceReady();
            });
            break;
        }
        announce(m_slots[m_nextToRecord]);
        ++m_nextToRecord;
        ++m_processed;
        bool ok = false;
        qint64 divisor = m_deps.view->panelText(3).toLongLong(&ok);
        if (!ok || divisor <= 0) divisor = 100;
        m_deps.view->setPanelText(5, QString::number(m_processed * 100 / divisor) + u'%');
        m_lastPassTime = m_deps.clock->now();
    }
    m_turnSpentNs += slice.nsecsElapsed();
    if (m_running && !m_announceQueued && m_nextToRecord == m_slots.size()) finishPass(true);
}

void Monitor::announce(const Slot& s)
{
    const HostRecord& h = s.host;
    if (s.skipped) return;
    // A host that did not answer is counted so whether or not the database took its check.
    if (const std::optional<std::int32_t> n = toInt32(s.result, QLocale::c()); n && *n < 0)
        ++m_failedCount;
    if (!s.recorded.error.isEmpty()) {
        failCheck(h, s.recorded.error, s.notWritten);
        return;
    }
    if (s.announce == Announce::Nothing) return;
    const bool quiet = s.announce == Announce::QuietDown || s.announce == Announce::QuietUp;
    HostChange change{.host = {.id = h.id, .ip = h.ip, .desc = h.desc},
                      .kind = quiet                        ? ChangeKind::Maintenance
                              : s.announce == Announce::Up ? ChangeKind::Up
                              : s.ancestor != kNone        ? ChangeKind::Unreachable
                                                           : ChangeKind::Down,
                      .ancestor = std::nullopt,
                      .when = fromStored(s.when),
                      .wait = h.vw,
                      .reply = s.result,
                      .maintenance = quiet ? h.maintenance.value_or(QString()) : QString()};
    if (change.kind == ChangeKind::Unreachable) change.ancestor = refOf(s.ancestor);
    m_changes.push_back(change);
    emit changeAnnounced(change);
}

HostRef Monitor::refOf(std::size_t index) const
{
    const HostRecord& h = m_slots[index].host;
    return {.id = h.id, .ip = h.ip, .desc = h.desc};
}

// The nearest ancestor of a host that came back in this pass too; kNone when none did.
std::size_t Monitor::cameBackWith(std::size_t index) const
{
    for (std::size_t a = m_slots[index].parent; a != kNone; a = m_slots[a].parent)
        if (changed(a, Change::Up)) return a;
    return kNone;
}

// Each host's parent as a slot of this pass, found once per pass. The parents make a forest
// unless the file holds a circle; the hosts on one lose their parents for the pass.
void Monitor::linkParents()
{
    QHash<qint64, std::size_t> slotOf;
    bool any = false;
    for (std::size_t i = 0; i < m_slots.size(); ++i) any = any || m_slots[i].host.parent;
    if (!any) return;
    slotOf.reserve(qsizetype(m_slots.size()));
    for (std::size_t i = 0; i < m_slots.size(); ++i) slotOf.insert(m_slots[i].host.id, i);
    for (Slot& s : m_slots)
        if (s.host.parent) s.parent = slotOf.value(s.host.parent, kNone);
    enum : char { Unseen, OnWalk, Done };
    std::vector<char> mark(m_slots.size(), Unseen);
    std::vector<std::size_t> walk;
    for (std::size_t i = 0; i < m_slots.size(); ++i) {
        std::size_t at = i;
        for (; at != kNone && mark[at] == Unseen; at = m_slots[at].parent) {
            mark[at] = OnWalk;
            walk.push_back(at);
        }
        if (at != kNone && mark[at] == OnWalk) {
            std::size_t c = at;
            do {
                const std::size_t next = m_slots[c].parent;
                m_slots[c].parent = kNone;
                c = next;
            } while (c != at);
        }
        for (std::size_t w : walk) mark[w] = Done;
        walk.clear();
    }
}

// The outcome of a host's own check in this pass: true when it failed, false when it answered,
// nullopt when there is none to record (not checked, not checked yet, or the check not made).
std::optional<bool> Monitor::checkFailed(const Slot& s)
{
    if (s.state == SlotState::Waiting || s.state == SlotState::Probing) return std::nullopt;
    if (s.skipped || !s.host.readError.isEmpty() || s.outcome.failed()) return std::nullopt;
    const std::optional<std::int32_t> n = toInt32(resultOf(s.outcome), QLocale::c());
    if (!n) return std::nullopt;
    return *n < 0;
}

// Whether a host is down in this pass: by its check, or without one by the outage its address
// had open when the pass began. nullopt while its check is still to come.
std::optional<bool> Monitor::downInPass(const Slot& s) const
{
    if (s.state == SlotState::Waiting || s.state == SlotState::Probing) return std::nullopt;
    return checkFailed(s).value_or(s.host.downBefore);
}

// The slot of a host's nearest ancestor that is down in this pass; kNone when none is. While the
// pass runs, kPending when an ancestor's check is still to come and none nearer is down; once it
// is over (`passOver`), such an ancestor counts by the outage it had when the pass began.
std::size_t Monitor::nearestDownAncestor(std::size_t index, bool passOver) const
{
    for (std::size_t a = m_slots[index].parent; a != kNone; a = m_slots[a].parent) {
        std::optional<bool> down = downInPass(m_slots[a]);
        if (!down && !passOver) return kPending;
        if (down.value_or(m_slots[a].host.downBefore)) return a;
    }
    return kNone;
}

// Whether the pass has announced this change of the host.
bool Monitor::changed(std::size_t index, Change change) const
{
    if (index >= m_nextToRecord) return false;
    const Slot& s = m_slots[index];
    return !s.skipped && s.recorded.error.isEmpty() &&
           s.announce == (change == Change::Down ? Announce::Down
                          : change == Change::Up ? Announce::Up
                                                 : Announce::Nothing);
}

// DownList and UpList of the pass (see composeAlertLists): a host that went down goes under its
// nearest ancestor down (whose line, when it had no change of its own in this pass, says that it
// is still down), a host that came back under the nearest ancestor that came back with it.
void Monitor::composeLists()
{
    std::vector<AlertEntry> entries;
    std::vector<std::size_t> order;  // the slot of each entry
    std::vector<char> listed(m_slots.size(), 0);
    const auto add = [&](std::size_t i, Change change, std::size_t anchor) {
        listed[i] = 1;
        entries.push_back({.id = m_slots[i].host.id,
                           .label = hostLabel(m_slots[i].host.desc, m_slots[i].host.ip),
                           .change = change,
                           .anchor = anchor == kNone ? 0 : m_slots[anchor].host.id});
        order.push_back(i);
    };
    for (std::size_t i = 0; i < m_nextToRecord; ++i) {
        if (changed(i, Change::Up)) add(i, Change::Up, cameBackWith(i));
        if (!changed(i, Change::Down)) continue;
        add(i, Change::Down, m_slots[i].ancestor);
        // The ancestors still down that carry it, each under its own nearest ancestor down.
        for (std::size_t a = m_slots[i].ancestor;
             a != kNone && !listed[a] && !changed(a, Change::Down);) {
            const std::size_t next = nearestDownAncestor(a, true);
            add(a, Change::None, next);
            a = next;
        }
    }
    std::vector<std::size_t> byPass(entries.size());
    for (std::size_t k = 0; k < byPass.size(); ++k) byPass[k] = k;
    std::sort(byPass.begin(), byPass.end(),
              [&](std::size_t x, std::size_t y) { return order[x] < order[y]; });
    std::vector<AlertEntry> sorted;
    sorted.reserve(entries.size());
    for (std::size_t k : byPass) sorted.push_back(std::move(entries[k]));
    const AlertLists lists = composeAlertLists(sorted);
    m_downList = lists.down;
    m_upList = lists.up;
}

// The pass's changes, each one that came back with the ancestor it came back with.
PassReport Monitor::report() const
{
    PassReport out{.time = m_lastPassTime,
                   .checkedBy = m_me.isEmpty() ? thisProcess(QStringLiteral("sentrok")) : m_me,
                   .changes = m_changes,
                   .alertText = m_downList.isEmpty() && m_upList.isEmpty()
                                    ? QString()
                                    : alertText(m_downList, m_upList)};
    QHash<qint64, std::size_t> slotOf;
    for (HostChange& c : out.changes) {
        if (c.kind != ChangeKind::Up) continue;
        if (slotOf.isEmpty())
            for (std::size_t i = 0; i < m_nextToRecord; ++i) slotOf.insert(m_slots[i].host.id, i);
        const std::size_t with = cameBackWith(slotOf.value(c.host.id));
        if (with != kNone) c.ancestor = refOf(with);
    }
    return out;
}

void Monitor::failCheck(const HostRecord& host, const QString& error, bool notWritten)
{
    const QString message =
        (notWritten ? QStringLiteral("Проверка хоста %1 «%2» не записана: %3")
                    : QStringLiteral("Хост %1 «%2» не проверен: %3"))
            .arg(printableText(host.ip), printableText(host.desc), printableLine(error));
    m_deps.view->reportCheckFailure(message);
    if (m_toldFailures.contains(error)) {
        ++m_repeatedFailures[error];
        return;
    }
    if (m_toldFailures.size() >= kToldFailuresMax) m_toldFailures.clear();
    m_toldFailures.insert(error);
    printError(message);
}

// The database file went away in the middle of the pass: what is recorded stays announced, the
// rest of the pass is dropped (its hosts belong to a file that is gone).
void Monitor::abandonPass(const QString& why)
{
    for (Slot& s : m_slots)
        if (s.state == SlotState::Probing) m_deps.prober->cancel(s.probeId);
    const qint64 dropped = qint64(m_slots.size() - m_nextToRecord);
    const QString message = QStringLiteral("Не записано проверок: %1. %2").arg(dropped).arg(why);
    m_deps.view->reportCheckFailure(message);
    printError(message);
    finishPass(false);
}

// The end of a pass. A complete one gives its totals to panels 3 and 4; one that could not go on
// keeps the previous totals. Either way the changes that were recorded are mailed.
void Monitor::finishPass(bool complete)
{
    composeLists();
    MonitorView& view = *m_deps.view;
    if (complete) {
        view.setPanelText(3, QString::number(m_processed));
        view.setPanelText(4, QString::number(m_failedCount));
    }
    view.setStartEnabled(true);
    view.setPanelEnabled(2, true);
    view.setBusy(false);
    m_lastPassTime = m_deps.clock->now();
    m_running = false;
    const PassReport passReport = report();
    m_slots.clear();
    m_changes.clear();
    m_recorder->endPass(storedDateText(m_lastPassTime), m_processed, m_failedCount);
    for (auto it = m_repeatedFailures.cbegin(); it != m_repeatedFailures.cend(); ++it)
        printError(QStringLiteral("ещё %1 проверок в этом проходе с той же ошибкой: %2")
                       .arg(it.value())
                       .arg(it.key()));
    m_repeatedFailures.clear();
    std::function<void()> after = std::move(m_after);
    m_after = nullptr;
    emit passAnnounced(passReport);
    try {
        if (m_deps.getNoCon) m_deps.getNoCon();
    } catch (const DbError& e) {
        view.reportCheckFailure(e.userText());
    }
    emit passFinished();
    if (after) after();
}

void Monitor::recordingWaits(const QString& text)
{
    if (text.isEmpty() || !m_running) {
        m_deps.view->setCondition(Condition::RecordingWaits, {});
        return;
    }
    std::size_t waiting = 0;
    for (std::size_t i = m_nextToRecord; i < m_slots.size(); ++i)
        if (m_slots[i].state == SlotState::Sent || m_slots[i].state == SlotState::Probed) ++waiting;
    m_deps.view->setCondition(Condition::RecordingWaits,
                              text + QStringLiteral("\nЖдут записи: %1.").arg(waiting));
}

}  // namespace sentrok
