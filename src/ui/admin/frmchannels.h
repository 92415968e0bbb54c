#pragma once

#include "channels/channelrecord.h"
#include "common/messages.h"

#include <QDialog>

#include <memory>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QTableWidget;

namespace sentrok {

class Database;
class SecretStore;

struct ChannelsDialogDeps {
    Database* db = nullptr;  // the administration window's connection
    MessageBoxes* boxes = nullptr;
    SecretStore* secrets = nullptr;  // where tokens go; the desktop's choice when null
    QString monitor{};               // who the test message says it comes from
};

// "Каналы оповещения": the chat channels beside the alert mail, added, removed, turned on and
// off, and tried with a test message. Rows are written at once; a token or a webhook's URL goes
// to the secret store, never to the database, and is never shown again. Nothing waits: the secret
// store and the test message answer through the event loop.
class frmChannels : public QDialog {
    Q_OBJECT
public:
    explicit frmChannels(ChannelsDialogDeps deps, QWidget* parent = nullptr);
    ~frmChannels() override;

    // Fills the list. False after telling the user why it failed.
    bool Form_Load();

    void cmdAdd_Click();
    void cmdRemove_Click();
    void cmdEnable_Click();
    void cmdTest_Click();

signals:
    // A test message's outcome has been shown (for tests and the curious).
    void testFinished(bool delivered);
    // A channel was added (or refused) once the secret store answered.
    void addFinished(bool added);

private:
    void kindChanged();
    bool refill();
    std::optional<ChannelRecord> selected() const;
    void tell(const QString& text, MsgIcon icon);
    SecretStore& secrets();

    ChannelsDialogDeps m_deps;
    std::unique_ptr<SecretStore> m_ownSecrets;
    QList<ChannelRecord> m_records;
    QTableWidget* lstChannels = nullptr;
    QComboBox* cboKind = nullptr;
    QLineEdit* txtName = nullptr;
    QLineEdit* txtTarget = nullptr;
    QLineEdit* txtToken = nullptr;
    QLineEdit* txtApiUrl = nullptr;
    QLabel* lblTarget = nullptr;
    QLabel* lblResult = nullptr;
    QPushButton* cmdAdd = nullptr;
    QPushButton* cmdRemove = nullptr;
    QPushButton* cmdEnable = nullptr;
    QPushButton* cmdTest = nullptr;
    bool m_busy = false;  // a secret is being written
};

}  // namespace sentrok
