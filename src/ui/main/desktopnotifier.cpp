#include "ui/main/desktopnotifier.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QSystemTrayIcon>

namespace sentrok {

namespace {

const QString kInterface = QStringLiteral("org.freedesktop.Notifications");
const QString kDefaultAction = QStringLiteral("default");

}  // namespace

DesktopNotifier::DesktopNotifier(QSystemTrayIcon* tray, QObject* parent)
    : QObject(parent), m_tray(tray)
{
    connect(m_tray, &QSystemTrayIcon::messageClicked, this, &DesktopNotifier::clicked);
}

void DesktopNotifier::notify(const QString& title, const QString& text)
{
    QString body = text;
    body.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    body = body.trimmed();
    if (m_tray->isVisible()) {
        m_tray->showMessage(title, body, QSystemTrayIcon::Information);
        return;
    }
    notifyOnBus(title, body);
}

// Never waits: the call goes out and its answer, or its failure where no service runs, comes
// back through the event loop.
void DesktopNotifier::notifyOnBus(const QString& title, const QString& text)
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) return;
    if (!m_listening) {
        // Any sender: naming the service would ask the bus for its owner and wait for the answer.
        m_listening = bus.connect(QString(), kPath, kInterface, QStringLiteral("ActionInvoked"),
                                  this, SLOT(actionInvoked(uint,QString)));
    }
    QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kInterface,
                                                       QStringLiteral("Notify"));
    // Servers that read markup would take a "<" in a host's description for a tag.
    call << QStringLiteral("Sentrok") << m_shownId << QStringLiteral("sentrok") << title
         << text.toHtmlEscaped() << QStringList{kDefaultAction, QStringLiteral("Показать")}
         << QVariantMap{{QStringLiteral("desktop-entry"), QStringLiteral("sentrok")}} << qint32(-1);
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* w) {
        const QDBusPendingReply<uint> reply = *w;
        if (reply.isValid()) m_shownId = reply.value();
        w->deleteLater();
    });
}

void DesktopNotifier::actionInvoked(uint id, const QString& action)
{
    if (id == m_shownId && id != 0 && action == kDefaultAction) emit clicked();
}

}  // namespace sentrok
