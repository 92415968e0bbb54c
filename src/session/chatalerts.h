#pragma once

#include "channels/channelrecord.h"
#include "monitor/announcement.h"

#include <QList>
#include <QObject>

#include <chrono>
#include <functional>
#include <memory>

namespace sentrok {

class ChannelDispatcher;
class ChannelReports;
class Database;
class MessageBoxes;
class SecretStore;
struct ChannelMessage;

struct ChatAlertsDeps {
    Database* database = nullptr;   // read on this object's thread, as the mail reads its recipient
    MessageBoxes* boxes = nullptr;  // null: failures go to standard error only
    // The sixth panel's line while a channel fails (empty once every channel delivers again).
    std::function<void(const QString&)> panel = nullptr;
    std::function<void(const QString&)> log = nullptr;  // what cannot be sent at all
    std::chrono::milliseconds retryWindow{600'000};     // the check interval
    SecretStore* secrets = nullptr;                     // null: the store the mail password is in
};

// The chat channels of a process that checks: one message per channel for each pass that changed
// something, the mail's text and grouping. The table is read again with each such pass (one small
// query); the secrets only when the channels have changed since, so a keyring is not asked every
// pass. Messages of a pass that comes while the secrets are read wait for them, in order.
class ChatAlerts : public QObject {
    Q_OBJECT
public:
    explicit ChatAlerts(ChatAlertsDeps deps, QObject* parent = nullptr);
    ~ChatAlerts() override;

    // Reads the channels and their secrets now (at start), so the first pass need not wait.
    void load();
    void pass(const PassReport& report);

    ChannelReports& reports() const { return *m_reports; }

private:
    bool reread();  // false: the table could not be read
    void loadSecrets();
    void flush();

    ChatAlertsDeps m_deps;
    std::unique_ptr<SecretStore> m_ownSecrets;
    std::unique_ptr<ChannelDispatcher> m_dispatcher;
    std::unique_ptr<ChannelReports> m_reports;
    QList<ChannelRecord> m_records;  // as last read
    QList<ChannelRecord> m_loaded;   // whose secrets the dispatcher has
    bool m_loading = false;
    QList<ChannelMessage> m_waiting;  // until the secrets are read
};

// The channels' message of a pass: the mail's text, and the hosts gone down (unreachable ones
// with the ancestor they are listed under) and come back, in the pass's order.
ChannelMessage passMessage(const PassReport& report);

}  // namespace sentrok
