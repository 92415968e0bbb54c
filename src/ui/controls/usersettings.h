#pragma once

namespace sentrok {

// What each user chooses for their own desktop, kept in their configuration folder
// (~/.config/sentrok/sentrok.conf), not in the database that a team may share.

// A desktop notification for every pass with changes; on unless the user turned it off.
bool desktopNotificationsOn();
void setDesktopNotificationsOn(bool on);

}  // namespace sentrok
