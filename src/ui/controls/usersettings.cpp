#include "ui/controls/usersettings.h"

#include <QSettings>

namespace sentrok {

namespace {

const QString kNotifications = QStringLiteral("notifications/desktop");

QSettings userSettings()
{
    return QSettings(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("sentrok"),
                     QStringLiteral("sentrok"));
}

}  // namespace

bool desktopNotificationsOn() { return userSettings().value(kNotifications, true).toBool(); }

void setDesktopNotificationsOn(bool on) { userSettings().setValue(kNotifications, on); }

}  // namespace sentrok
