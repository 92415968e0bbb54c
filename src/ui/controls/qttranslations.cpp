#include "ui/controls/qttranslations.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QLocale>
#include <QTextStream>
#include <QTranslator>

namespace sentrok {

bool installQtTranslations(QCoreApplication& app)
{
    const QString folder = QLibraryInfo::path(QLibraryInfo::TranslationsPath);
    auto* translator = new QTranslator(&app);
    if (!translator->load(QLocale(QLocale::Russian, QLocale::Russia), QStringLiteral("qtbase"),
                          QStringLiteral("_"), folder)) {
        delete translator;
        QTextStream(stderr) << "sentrok: Qt's Russian translations are not in " << folder
                            << " (package qt6-translations-l10n): its buttons and menus stay "
                               "English\n";
        return false;
    }
    QCoreApplication::installTranslator(translator);
    return true;
}

}  // namespace sentrok
