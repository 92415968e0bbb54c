#pragma once

#include "common/messages.h"
#include "store/mailsettings.h"

#include <QDialog>

#include <memory>

class QComboBox;
class QDialogButtonBox;
class QFormLayout;
class QLabel;
class QLineEdit;
class QPushButton;

namespace sentrok {

class Clock;
class Database;
class MailAlert;
class SecretStore;

// What the mail server dialog is given by the administration window or by a test.
struct MailServerDialogDeps {
    Database* db = nullptr;  // the administration window's connection
    MessageBoxes* boxes = nullptr;
    const Clock* clock = nullptr;    // the test message's date; the system's when null
    SecretStore* secrets = nullptr;  // where the password goes; the desktop's choice when null
    // The recipient boxes of the administration window as they stand: the server a password
    // belongs to, and the addresses of a test message.
    RecipientRow addresses{};
};

// The mail server's settings that the recipient frame has no room for: port, security, user name,
// password and the certificate's fingerprint, with a test message. Saving writes the row at
// once; the password goes to the secret store, never to the database.
class frmMailServer : public QDialog {
    Q_OBJECT
public:
    explicit frmMailServer(MailServerDialogDeps deps, QWidget* parent = nullptr);
    ~frmMailServer() override;

    // Fills the fields from the recipient row. False after telling the user why it failed.
    bool Form_Load();

    void cmdSaveMail_Click();
    void cmdTestMail_Click();

private:
    std::optional<MailServerOptions> checkedInput();
    void warnClearTextOnce(const MailServerOptions& options);
    void securityChanged();
    SecretStore& secrets();

    MailServerDialogDeps m_deps;
    std::unique_ptr<SecretStore> m_ownSecrets;
    std::unique_ptr<Clock> m_ownClock;
    std::unique_ptr<MailAlert> m_test;
    MailSecurity m_shownSecurity = MailSecurity::None;
    bool m_clearTextWarned = false;

    QFormLayout* m_form = nullptr;
    QDialogButtonBox* m_buttons = nullptr;
    QLineEdit* txtPort = nullptr;
    QComboBox* cboSecurity = nullptr;
    QLineEdit* txtLogin = nullptr;
    QLineEdit* txtPassword = nullptr;
    QLineEdit* txtPin = nullptr;
    QLabel* lblSecret = nullptr;
    QPushButton* cmdTestMail = nullptr;
    QPushButton* cmdSaveMail = nullptr;
};

}  // namespace sentrok
