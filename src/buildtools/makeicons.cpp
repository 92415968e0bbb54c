// sentrok-makeicons FOLDER: writes the program's icon in every size into
// FOLDER/NxN/apps/sentrok.png, the layout of the hicolor icon theme, for installing beside the
// desktop entry.

#include "ui/controls/programicon.h"

#include <QDir>
#include <QGuiApplication>
#include <QPixmap>
#include <QTextStream>

int main(int argc, char** argv)
{
    // Drawn without a screen: the build may run where there is none.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    QTextStream err(stderr);
    if (argc != 2) {
        err << "usage: sentrok-makeicons FOLDER\n";
        return 2;
    }
    const QDir root(QString::fromLocal8Bit(argv[1]));
    for (int size : sentrok::kIconSizes) {
        const QString folder = root.filePath(QStringLiteral("%1x%1/apps").arg(size));
        const QString file = folder + QStringLiteral("/sentrok.png");
        if (!QDir().mkpath(folder) ||
            !sentrok::iconPixmap(size, sentrok::IconKind::Program).save(file, "PNG")) {
            err << "sentrok-makeicons: cannot write " << file << "\n";
            return 1;
        }
    }
    return 0;
}
