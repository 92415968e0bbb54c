#pragma once

#include <QString>
#include <QVariant>

#include <optional>

namespace sentrok {

class Database;

// How the alert mail reaches its server. None is the plain dialogue to an internal relay;
// StartTls upgrades the connection before anything else is said; Tls speaks TLS from the
// first byte.
enum class MailSecurity { None, StartTls, Tls };

// The alert recipient row of table emails, the mail server's settings included. A file
// made before those settings existed reads as port NULL, security none, no user, no pin.
struct RecipientRow {
    QVariant smtp, from, email, desc;  // as stored: NULL and blanks are the caller's to judge
    std::optional<int> port{};         // NULL: the default port
    QString security{};                // as stored; empty: none
    QString login{};                   // empty: no authentication
    QString pin{};                     // SHA-256 of the server's certificate, or empty
};

// The server settings once checked: what the dialogue acts on.
struct MailServerOptions {
    quint16 port = 25;
    MailSecurity security = MailSecurity::None;
    QString login{};
    QString pin{};  // 64 lowercase hex digits, or empty
};

// The settings a user typed or a file holds, checked. On refusal `error` says why in words
// and nothing is to be saved. An empty port or security takes the default.
struct MailServerInput {
    QString port, security, login, pin;
};
std::optional<MailServerOptions> checkMailServer(const MailServerInput& input, quint16 defaultPort,
                                                 QString* error);

QString securityWord(MailSecurity security);
// The usual port of each kind of connection: 25, 587, 465.
quint16 usualPort(MailSecurity security);
// Upper-case hex with colons, as certificate viewers show it.
QString pinForDisplay(const QString& pin);

// Adds the server-settings columns to a file made without them; in one transaction, and
// nothing when they are there already. Old programs still read and write the row as before.
// Throws DbError.
void upgradeEmailsTable(Database& db);
// The same inside the caller's transaction (a step of the schema's upgrades).
void addEmailServerColumns(Database& db);

// The first row of table emails, or nothing when there is none. A file not yet upgraded reads
// as the old rules read it. Throws DbError.
std::optional<RecipientRow> readRecipientRow(Database& db);

// The recipient's addresses as the administration window saves them, whatever the answer about
// the other settings: into the recipient row, or a new one when there is none.
struct RecipientAddresses {
    QString smtp, from, email, desc;
};
void saveRecipient(Database& db, const RecipientAddresses& addresses);
// "Удалить email": no recipient, no alert mail.
void deleteRecipients(Database& db);

// Writes the server settings into every recipient row (there is meant to be one); inserts a
// row with the given addresses when there is none. Throws DbError.
void saveMailServer(Database& db, const MailServerOptions& options,
                    const QVariantList& addressesIfNew);

}  // namespace sentrok
