#include "session/chatalerts.h"

#include "channels/channeldispatcher.h"
#include "channels/channelmessage.h"
#include "channels/channelreports.h"
#include "channels/channelsecrets.h"
#include "channels/channelstore.h"
#include "secrets/secretstore.h"
#include "store/database.h"

#include <QPointer>

namespace sentrok {

ChannelMessage passMessage(const PassReport& report)
{
    QList<ChannelHost> down, up;
    for (const HostChange& c : report.changes) {
        const ChannelHost host{.id = c.host.id,
                               .address = c.host.ip,
                               .description = c.host.desc,
                               .ancestor = c.ancestor ? c.ancestor->id : 0};
        switch (c.kind) {
            case ChangeKind::Up:
                up << host;
                break;
            case ChangeKind::Down:
            case ChangeKind::Unreachable:
                down << host;
                break;
            case ChangeKind::Maintenance:  // shown in the window only, never sent
                break;
        }
    }
    return channelMessage(report.alertText, report.time, report.checkedBy, std::move(down),
                          std::move(up));
}

ChatAlerts::ChatAlerts(ChatAlertsDeps deps, QObject* parent)
    : QObject(parent),
      m_deps(std::move(deps)),
      m_dispatcher(std::make_unique<ChannelDispatcher>()),
      m_reports(std::make_unique<ChannelReports>(m_deps.boxes))
{
    if (!m_deps.secrets) m_deps.secrets = (m_ownSecrets = std::make_unique<SecretStore>()).get();
    m_dispatcher->setRetryWindow(m_deps.retryWindow);
    connect(m_dispatcher.get(), &ChannelDispatcher::failed, m_reports.get(),
            &ChannelReports::failed);
    connect(m_dispatcher.get(), &ChannelDispatcher::delivered, m_reports.get(),
            [this](qint64 id, const QString&) { m_reports->delivered(id); });
    connect(m_reports.get(), &ChannelReports::panelChanged, this, [this](const QString& text) {
        if (m_deps.panel) m_deps.panel(text);
    });
}

ChatAlerts::~ChatAlerts() = default;

void ChatAlerts::load()
{
    if (reread()) loadSecrets();
}

void ChatAlerts::pass(const PassReport& report)
{
    if (report.alertText.isEmpty()) return;
    // A table that cannot be read now sends to the channels known before.
    reread();
    m_waiting << passMessage(report);
    if (m_records != m_loaded)
        loadSecrets();
    else
        flush();
}

bool ChatAlerts::reread()
{
    try {
        m_records = readChannels(*m_deps.database);
        return true;
    } catch (const DbError& e) {
        if (m_deps.log)
            m_deps.log(QStringLiteral("каналы оповещения не прочитаны: ") + e.userText());
        return false;
    }
}

void ChatAlerts::loadSecrets()
{
    if (m_loading) return;  // its answer reads again what changed meanwhile
    m_loading = true;
    const QList<ChannelRecord> records = m_records;
    loadChannelSecrets(*m_deps.secrets, records,
                       [self = QPointer<ChatAlerts>(this), this, records](
                           QList<ChannelSettings> channels, QStringList problems) {
                           if (!self) return;
                           m_loading = false;
                           m_loaded = records;
                           m_dispatcher->setChannels(channels);
                           // A channel without its secret fails as one that cannot send.
                           if (!problems.isEmpty())
                               m_reports->failed(0, problems.join(QStringLiteral("\r\n")));
                           else
                               m_reports->delivered(0);
                           if (m_records != m_loaded)
                               loadSecrets();
                           else
                               flush();
                       });
}

void ChatAlerts::flush()
{
    for (const ChannelMessage& m : std::as_const(m_waiting)) m_dispatcher->send(m);
    m_waiting.clear();
}

}  // namespace sentrok
