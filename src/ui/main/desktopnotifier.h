#pragma once

#include <QObject>
#include <QString>

class QSystemTrayIcon;

namespace sentrok {

// One desktop notification for each pass with changes: the tray icon's message while the
// program sits in the tray, otherwise the freedesktop notification service on the session bus,
// where one answers. A click on it brings the main window back (clicked()). None at all while
// the user has turned them off (desktopNotificationsOn()) or while the notification service says
// the desktop does not want to be disturbed (its Inhibited property, where it has one).
class DesktopNotifier : public QObject {
    Q_OBJECT
public:
    static inline const QString kService = QStringLiteral("org.freedesktop.Notifications");
    static inline const QString kPath = QStringLiteral("/org/freedesktop/Notifications");

    DesktopNotifier(QSystemTrayIcon* tray, QObject* parent = nullptr);
    void notify(const QString& title, const QString& text);
    // The service's id of the last notification shown through it; 0 before the first.
    uint shownId() const { return m_shownId; }

signals:
    void clicked();
    // A notification was not shown: turned off, or the desktop is not to be disturbed.
    void withheld();

private slots:
    void actionInvoked(uint id, const QString& action);

private:
    void show(const QString& title, const QString& text, bool inTray);
    void notifyOnBus(const QString& title, const QString& text);

    QSystemTrayIcon* m_tray;
    bool m_listening = false;
    // Each notification replaces the one before: a night of changes leaves one, not a pile.
    uint m_shownId = 0;
};

}  // namespace sentrok
