#include "ui/main/desktopnotifier.h"

#include "ui/controls/usersettings.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusVariant>
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
    if (!desktopNotificationsOn()) {
        emit withheld();
        return;
    }
    QString body = text;
    body.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    body = body.trimmed();
    // Where the program is when the pass ends decides where the notification goes.
    const bool inTray = m_tray->isVisible();
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        show(title, body, inTray);
        return;
    }
    // Do not disturb: the service says so where it has the property (KDE's, for one); a service
    // without it answers with an error, and a desktop that keeps quiet by itself (GNOME's)
    // holds the notification back on its own.
    QDBusMessage get = QDBusMessage::createMethodCall(
        kService, kPath, QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
    get << kInterface << QStringLiteral("Inhibited");
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(get), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, title, body, inTray](QDBusPendingCallWatcher* w) {
                const QDBusPendingReply<QDBusVariant> reply = *w;
                w->deleteLater();
                if (reply.isValid() && reply.value().variant().toBool()) {
                    emit withheld();
                    return;
                }
                show(title, body, inTray);
            });
}

void DesktopNotifier::show(const QString& title, const QString& body, bool inTray)
{
    if (inTray) {
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
                                  this, SLOT(actionInvoked(uint, QString)));
    }
    QDBusMessage call =
        QDBusMessage::createMethodCall(kService, kPath, kInterface, QStringLiteral("Notify"));
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
