#include "monitor/viewer.h"

#include "alerts/sound.h"
#include "common/conversions.h"
#include "common/datetext.h"
#include "store/database.h"
#include "store/passes.h"

#include <QTextStream>

namespace sentrok {

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
            m_subscribed = m_db->listen(kNewsChannel, [this] { poll(); });
        }
        Database& db = *m_db;
        // What was recorded before the window came is history, not news.
        if (m_lastEvent < 0) m_lastEvent = newestEvent(db);
        bool news = false;
        for (const EventRow& e : eventsAfter(db, m_lastEvent)) {
            m_lastEvent = e.id;
            // Gone down behind an ancestor that was down: grey, and the ancestor's sound is enough.
            const bool unreachable = e.down && e.ancestor != 0;
            m_deps.view->PrintStat(printableText(e.ip), printableText(e.desc), printableText(e.wait),
                                   e.reply,
                                   unreachable ? kColorUnreachable : e.down ? kColorDown : kColorUp);
            if (m_deps.sound && !unreachable)
                e.down ? m_deps.sound->PlayDownSound() : m_deps.sound->PlayUpSound();
            news = true;
        }
        if (const std::optional<LastPass> pass = lastPass(db)) {
            m_lastPassTime = pass->time;
            if (!pass->open && pass->id != m_lastPass) {
                m_lastPass = pass->id;
                m_deps.view->setPanelText(3, pass->hosts.toString());
                m_deps.view->setPanelText(4, pass->failed.toString());
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
