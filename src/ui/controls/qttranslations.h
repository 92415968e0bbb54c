#pragma once

class QCoreApplication;

namespace sentrok {

// Qt's own texts (the buttons of message boxes, the context menus of text boxes) in Russian
// whatever the user's locale, like every other text of the program, from Qt's translations
// (Debian's qt6-translations-l10n). False, after saying so on standard error, when they are
// not installed: Qt's texts then stay English.
bool installQtTranslations(QCoreApplication& app);

}  // namespace sentrok
