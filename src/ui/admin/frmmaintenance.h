#pragma once

#include "common/messages.h"

#include <QDialog>

class QCheckBox;
class QComboBox;
class QDateTimeEdit;
class QLineEdit;
class QListWidget;
class QPushButton;

namespace sentrok {

class Database;

struct MaintenanceDialogDeps {
    Database* db = nullptr;  // the administration window's connection
    MessageBoxes* boxes = nullptr;
};

// "Обслуживание": the windows of planned work, during which their hosts are checked and recorded
// but nothing is announced for them. Adding or removing writes at once; a window that ends before
// it begins is refused with the reason, and what was typed stays.
class frmMaintenance : public QDialog {
    Q_OBJECT
public:
    explicit frmMaintenance(MaintenanceDialogDeps deps, QWidget* parent = nullptr);

    // Fills the list and the hosts. False after telling the user why it failed.
    bool Form_Load();
    void cmdAddWindow_Click();
    void cmdRemoveWindow_Click();

private:
    void listWindows();
    void tell(const QString& text, MsgIcon icon);

    MaintenanceDialogDeps m_deps;
    QListWidget* lstWindows = nullptr;
    QComboBox* cboHost = nullptr;
    QCheckBox* chkChildren = nullptr;
    QDateTimeEdit* dtFrom = nullptr;
    QDateTimeEdit* dtTo = nullptr;
    QComboBox* cboRepeat = nullptr;
    QLineEdit* txtComment = nullptr;
    QPushButton* cmdAddWindow = nullptr;
    QPushButton* cmdRemoveWindow = nullptr;
};

}  // namespace sentrok
