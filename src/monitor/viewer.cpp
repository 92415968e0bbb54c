#include "monitor/viewer.h"

#include "alerts/sound.h"
#include "common/conversions.h"
#include "common/datetext.h"
#include "store/database.h"

#include <QTextStream>

namespace sentrok {

namespace {

const QString kChannel = QStringLiteral("sentrok");

}  // namespace

Viewer::Viewer(ViewerDeps deps, QObject* parent) : QObject(parent), m_deps(std::move(deps))
{
    m_timer.setInterval(kPollMs);
    connect(&m_timer, &QTimer::timeout, this, &Viewer::poll);
}

Viewer::~Viewer() = default;

void Viewer::start()
{
    m_lastEvent = -1;
    m_timer.start();
    poll();
}

void Viewer::stop()
{
    m_timer.stop();
    m_db.reset();
    m_subscribed = false;
}

void Viewer::poll()
{
    if (!m_timer.isActive()) return;
    try {
        if (!m_db) {
            m_db = std::make_unique<Database>(m_deps.database,
                                              Database::uniqueName(QStringLiteral("viewer")));
            m_subscribed = m_db->listen(kChannel, [this] { poll(); });
        }
        Database& db = *m_db;
        if (m_lastEvent < 0) {
            // What was recorded before the window came is history, not news.
            const QVariant last = db.execute(QStringLiteral("select max(id) from events")).field(0);
            m_lastEvent = last.isNull() ? 0 : last.toLongLong();
        }
        bool news = false;
        for (Result r = db.execute(
                 QStringLiteral("select e.id, e.kind, e.time_echo, e.time_wait, a.ip, a.[desc], "
                                "e.ancestor from events e inner join address a on a.id = e.id_ip "
                                "where e.id > ? order by e.id"),
                 {m_lastEvent});
             !r.eof(); r.moveNext()) {
            m_lastEvent = r.field(0).toLongLong();
            const bool down = r.field(1).toString() == QLatin1String("down");
            // Gone down behind an ancestor that was down: grey, and the ancestor's sound is enough.
            const bool unreachable = down && !r.field(6).isNull();
            m_deps.view->PrintStat(printableText(r.field(4).toString()),
                                   printableText(r.field(5).toString()),
                                   printableText(r.field(3).toString()), r.field(2).toString(),
                                   unreachable ? kColorUnreachable : down ? kColorDown : kColorUp);
            if (m_deps.sound && !unreachable)
                down ? m_deps.sound->PlayDownSound() : m_deps.sound->PlayUpSound();
            news = true;
        }
        Result pass = db.execute(QStringLiteral(
            "select id, started, finished, hosts, failed from passes order by id desc limit 1"));
        if (!pass.eof()) {
            const qint64 id = pass.field(0).toLongLong();
            const QVariant finished = pass.field(2);
            m_lastPassTime = fromStored(finished.isNull() ? pass.field(1) : finished);
            if (!finished.isNull() && id != m_lastPass) {
                m_lastPass = id;
                m_deps.view->setPanelText(3, pass.field(3).toString());
                m_deps.view->setPanelText(4, pass.field(4).toString());
                m_deps.view->setPanelText(5, QStringLiteral("100%"));
                news = true;
            }
        }
        if (news && m_deps.getNoCon) m_deps.getNoCon();
    } catch (const DbError& e) {
        // Told once per kind of trouble; the next poll tries again.
        if (e.userText() != m_lastError)
            QTextStream(stderr) << "sentrok: " << printableLine(e.userText()) << "\n";
        m_lastError = e.userText();
        if (e.isGone()) m_db.reset();
        return;
    }
    m_lastError.clear();
}

}  // namespace sentrok
