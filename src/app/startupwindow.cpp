#include "app/startupwindow.h"

#include "store/dbworker.h"
#include "store/database.h"
#include "store/schema.h"

#include <QEventLoop>
#include <QProgressDialog>

#include <atomic>
#include <optional>

namespace sentrok {

bool upgradeAtStart(const QString& dbFile)
{
    {
        Database db(dbFile, Database::uniqueName(QStringLiteral("version")));
        if (schemaVersion(db) >= kSchemaVersion) return true;
    }
    QProgressDialog dialog;
    dialog.setWindowTitle(QStringLiteral("Sentrok"));
    dialog.setLabelText(QStringLiteral("Обновление базы данных…"));
    dialog.setCancelButtonText(QStringLiteral("Отмена"));
    dialog.setRange(0, 0);
    dialog.setMinimumDuration(0);
    dialog.setMinimumWidth(460);
    dialog.setAutoClose(false);
    dialog.setAutoReset(false);
    dialog.show();

    std::atomic<bool> cancel{false};
    QObject::connect(&dialog, &QProgressDialog::canceled, [&cancel] { cancel = true; });
    std::optional<DbError> error;
    QEventLoop loop;
    {
        DbWorker thread(dbFile, {.connectionBase = QStringLiteral("upgrade"), .nice = DbWorker::kBackgroundNice});
        QProgressDialog* shown = &dialog;
        thread.run<bool>(
            &dialog,
            [&cancel, shown](Database& db) {
                upgradeSchema(db, [&cancel, shown](int version, const QString& what, qint64 done, qint64 total) {
                    if (cancel) throw UpgradeCancelled();
                    const int percent = total > 0 ? int(done * 100 / total) : -1;
                    QMetaObject::invokeMethod(
                        shown,
                        [shown, version, what, done, total, percent] {
                            QString text = QStringLiteral("Обновление базы данных до версии %1:\n%2")
                                               .arg(version)
                                               .arg(what);
                            if (total > 0)
                                text += QStringLiteral("\nобработано %L1 из %L2 записей журнала").arg(done).arg(total);
                            text += QStringLiteral("\n\nПри отмене база останется прежней.");
                            shown->setLabelText(text);
                            if (percent >= 0) {
                                shown->setRange(0, 100);
                                shown->setValue(percent);
                            }
                        },
                        Qt::QueuedConnection);
                });
                return true;
            },
            [&loop](bool) { loop.quit(); },
            [&loop, &error](const DbError& e) {
                error = e;
                loop.quit();
            });
        loop.exec();
    }
    if (cancel) return false;
    if (error) throw *error;
    return true;
}

}  // namespace sentrok
