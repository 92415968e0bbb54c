#include "ui/main/application.h"

#include "ui/controls/programicon.h"
#include "ui/controls/qttranslations.h"

#include <QApplication>

namespace sentrok {

void prepareApplication(QApplication& app)
{
    QApplication::setApplicationName(QStringLiteral("sentrok"));
    QGuiApplication::setDesktopFileName(QStringLiteral("sentrok"));
    QApplication::setWindowIcon(programIcon());
    installQtTranslations(app);
}

}  // namespace sentrok
