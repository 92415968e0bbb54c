#pragma once

#include "common/messages.h"
#include "store/hosts.h"

#include <QFont>
#include <QPointer>
#include <QString>
#include <QWidget>

#include <functional>
#include <memory>
#include <utility>

class QCheckBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QPlainTextEdit;

namespace sentrok {

class Clock;
class Database;
class SecretStore;
class Sound;
class TablePurge;
class WrapButton;
class frmChannels;
class frmMailServer;
class frmMaintenance;
class frmParent;

// What the administration window is given by the main window or by a test.
struct AdminWindowDeps {
    QString programFolder{};
    MessageBoxes* boxes = nullptr;
    Sound* sound = nullptr;  // plays the files named in the two sound boxes
    std::function<void(const QString& ip)> showHistory = nullptr;  // a double click on an address
    // For the mail server dialog: the test message's clock and the password's store; the
    // system's own when null.
    const Clock* clock = nullptr;
    SecretStore* secrets = nullptr;
    QString database{};  // a file or a URL; empty: sentrok.mdb in programFolder
};

// The window "Работа с базой": the host records, the check interval and sound files, the alert
// recipient, the log purge and the per-host reports. It talks to the database through a
// connection of its own, open from Form_Load until the window is closed; everything it changes
// reaches the rest of the program only through the database.
class frmBase : public QWidget {
    Q_OBJECT
public:
    explicit frmBase(AdminWindowDeps deps, QWidget* parent = nullptr);
    ~frmBase() override;

    // Opens the connection and fills the boxes from the database. False, after showing the
    // user the database's error, when that fails; the window then holds no connection.
    bool Form_Load();

protected:
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void buildHostFrame();
    void buildDetailFrame();
    void buildOptionsFrame();
    void buildRecipientFrame();
    QLabel* makeLabel(QWidget* parent, const QString& name, const QString& caption, double left,
                      double top, double width, double height, Qt::Alignment alignment);
    QLineEdit* makeEdit(QWidget* parent, const QString& name, double left, double top, double width,
                        double height, const QString& toolTip = {});
    WrapButton* makeButton(QWidget* parent, const QString& name, const QString& caption,
                           double left, double top, double width, double height,
                           void (frmBase::*handler)(), const QString& toolTip = {});
    void place(QWidget* w, double left, double top, double width, double height);
    void fitLabel(QLabel* label, int limit);
    void applyThinBorders();

    // Runs a handler, showing any database failure to the user instead of letting it reach the
    // event loop.
    void guarded(void (frmBase::*handler)());
    void showFailure(const QString& text);
    void refuse(const QString& text);
    bool confirm(const QString& text, const QString& title);
    Database& db();

    void readSettings();
    void readRecipient();
    void Form_Unload();
    void GetAdr();
    void lstAdr_Click();
    void cmdClear_Click();
    void showFields(const HostFields& host);
    HostFields typedFields() const;
    void cmdAdd_Click();
    void cmdEdit_Click();
    void cmdDel_Click();
    void cmdParent_Click();
    void showParent();
    void cmdConfirm_Click();
    void saveConfirm();
    void showConfirm();
    void cmdMaintenance_Click();
    bool hostInputAccepted();
    void cmdSaveOpt_Click();
    void cmdDelSMTP_Click();
    void cmdMailServer_Click();
    void cmdChannels_Click();
    void Command1_Click();
    void Command2_Click();
    void cmdClearLog_Click();
    void Command3_Click();
    void Command4_Click();
    void showReport(QString (*compose)(Database&, qint64, const QLocale&));

    AdminWindowDeps m_deps;
    std::unique_ptr<Database> m_db;
    QFont m_normalFont;
    bool m_pressOnSelected = false;
    // The log purge under way; it goes on if the window is closed.
    QPointer<TablePurge> m_purge;

    QGroupBox* Frame1 = nullptr;
    QGroupBox* Frame2 = nullptr;
    QGroupBox* Frame3 = nullptr;
    QGroupBox* Frame4 = nullptr;
    QListWidget* lstAdr = nullptr;
    QLineEdit* txtID = nullptr;
    QLineEdit* txtIP = nullptr;
    QLineEdit* txtDESC = nullptr;
    QLineEdit* txtVW = nullptr;
    QLineEdit* txtVN = nullptr;
    QLineEdit* txtVL = nullptr;
    QLineEdit* txtVI = nullptr;
    QLineEdit* txtCOLOR = nullptr;
    WrapButton* cmdDel = nullptr;
    WrapButton* cmdClear = nullptr;
    WrapButton* cmdAdd = nullptr;
    WrapButton* cmdEdit = nullptr;
    WrapButton* cmdParent = nullptr;
    QPointer<frmParent> m_parentChooser;
    WrapButton* cmdConfirm = nullptr;
    WrapButton* cmdMaintenance = nullptr;
    QPointer<frmMaintenance> m_maintenance;
    std::pair<qint64, int> m_confirmTo{};  // the host and count saveConfirm writes
    WrapButton* Command3 = nullptr;
    WrapButton* Command4 = nullptr;
    QPlainTextEdit* txtDetail = nullptr;
    QLineEdit* txtInt = nullptr;
    QLineEdit* txtSoundDown = nullptr;
    QLineEdit* txtSoundUp = nullptr;
    WrapButton* Command1 = nullptr;
    WrapButton* Command2 = nullptr;
    WrapButton* cmdClearLog = nullptr;
    WrapButton* cmdSaveOpt = nullptr;
    QCheckBox* chkNotify = nullptr;
    WrapButton* cmdDelSMTP = nullptr;
    WrapButton* cmdMailServer = nullptr;
    WrapButton* cmdChannels = nullptr;
    QPointer<frmMailServer> m_mailServer;
    QPointer<frmChannels> m_channels;
    QLineEdit* txtSmtp = nullptr;
    QLineEdit* txtFROM = nullptr;
    QLineEdit* txtTO = nullptr;
    QLineEdit* txtEDesc = nullptr;
};

}  // namespace sentrok
