#include "app/startupwindow.h"

#include <QProgressDialog>

namespace sentrok {

StartupWindow::StartupWindow(Session& session) : m_session(session) {}

StartupWindow::~StartupWindow() = default;

UpgradeProgress StartupWindow::progress()
{
    UpgradeProgress out;
    out.begins = [this](int, int) {
        m_dialog = std::make_unique<QProgressDialog>();
        QProgressDialog& dialog = *m_dialog;
        dialog.setWindowTitle(QStringLiteral("Sentrok"));
        dialog.setLabelText(QStringLiteral("Обновление базы данных…"));
        dialog.setCancelButtonText(QStringLiteral("Отмена"));
        dialog.setRange(0, 0);
        dialog.setMinimumDuration(0);
        dialog.setMinimumWidth(460);
        dialog.setAutoClose(false);
        dialog.setAutoReset(false);
        QObject::connect(&dialog, &QProgressDialog::canceled,
                         [this] { m_session.cancelUpgrade(); });
        dialog.show();
    };
    out.report = [this](int version, const QString& what, qint64 done, qint64 total) {
        if (!m_dialog) return;
        QString text =
            QStringLiteral("Обновление базы данных до версии %1:\n%2").arg(version).arg(what);
        if (total > 0)
            text += QStringLiteral("\nобработано %L1 из %L2 записей журнала").arg(done).arg(total);
        text += QStringLiteral("\n\nПри отмене база останется прежней.");
        m_dialog->setLabelText(text);
        if (total > 0) {
            m_dialog->setRange(0, 100);
            m_dialog->setValue(int(done * 100 / total));
        }
    };
    out.ends = [this] { m_dialog.reset(); };
    return out;
}

}  // namespace sentrok
