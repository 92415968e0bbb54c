#pragma once

#include "alerts/smtp.h"
#include "common/clock.h"
#include "common/messages.h"
#include "store/database.h"
#include "store/mailsettings.h"

#include <QObject>
#include <QPointer>
#include <QSslError>
#include <QString>
#include <QTimer>

#include <chrono>
#include <memory>
#include <optional>

class QSslSocket;

namespace sentrok {

class SecretStore;

// The alert e-mail of a monitoring pass: one mail to the recipient of table emails, sent over
// SMTP without ever blocking the window.
//
// Two dialogues. The plain one, for a row with security none and no user name (every row
// written before those settings existed): the client speaks only when spoken to. Each
// complete reply of the server either moves the dialogue one step on (220, 250 and 354,
// whatever the step), or refuses (4xx, 5xx): the dialogue then ends at once with QUIT, and a
// refusal of the error table is told to the user in words. Any other reply is ignored.
// Steps: 0 greeting, 1 RSET, 2 HELO, 3 MAIL FROM, 4 RCPT TO, 5 DATA, 6 the message; the reply
// to the message is answered with QUIT and the connection is closed at once.
//
// The extended one, for STARTTLS, TLS from the first byte, or a user name: greeting, EHLO,
// STARTTLS and EHLO again where asked, AUTH PLAIN or LOGIN (whichever the server offers),
// MAIL FROM, RCPT TO, DATA, the message with Date and Message-ID, QUIT. Every step expects
// its own reply; anything else, a TLS handshake that fails, a certificate that neither passes
// the system's check nor matches the pinned fingerprint, ends the dialogue with one error box
// naming the server's words. Nothing goes out in clear that was meant to go encrypted: a
// server that does not offer STARTTLS when it was asked for gets QUIT and nothing else.
//
// At most one mail is in flight: a new alert abandons the one under way. A dialogue ends when
// QUIT has gone out, when the connection fails or the server closes it, when the server
// talks nonsense, or when no command is answered within the reply time-out; the next alert
// always starts afresh. However often and however much a server refuses, the user sees one
// error box at a time: refusals while it is open only count up in it.
class MailAlert : public QObject {
    Q_OBJECT
public:
    enum class Outcome {
        Delivered,  // the server took the message; QUIT sent
        Refused,    // the server answered with 4xx or 5xx, or not as the step expects
        Failed,     // no connection, no TLS, connection lost, no reply in time, nonsense
        Abandoned,  // a newer alert took over
    };
    Q_ENUM(Outcome)

    static constexpr quint16 kSmtpPort = 25;
    static constexpr std::chrono::milliseconds kReplyTimeout{60'000};
    static inline const QString kSubject = QStringLiteral("SENTROK");
    static inline const QString kErrorTitle = QStringLiteral("Ошибка!!!");
    // The text of a test message asked for by the user.
    static inline const QString kTestText = QStringLiteral(
        "Проверка оповещения Sentrok: это письмо отправлено, чтобы проверить параметры почты.\r\n");

    // db: the main window's connection (outlives this object). Refusals are shown through
    // boxes.notice(): they arrive in socket handlers, where a modal box would nest an event
    // loop. port: the port of a row that names none.
    MailAlert(Database& db, MessageBoxes& boxes, const Clock& clock, quint16 port = kSmtpPort,
              QObject* parent = nullptr);
    ~MailAlert() override;

    // Where passwords are read from (not owned); by default the store the desktop offers.
    void setSecrets(SecretStore* secrets) { m_secrets = secrets; }
    // False: no error box; the caller reads lastError() when the dialogue has finished.
    void setShowErrors(bool show) { m_showErrors = show; }

    // Reads the recipient row afresh, composes the mail and starts connecting; returns at
    // once. Drops the alert when the row is missing or incomplete, when the recipient is too
    // long, or when an address holds a line break. Never throws.
    void SendAlert(const QString& text);
    // The same with settings not (yet) stored, and a password typed rather than stored:
    // the test message of the settings dialog and of sentrok-db. Every way it cannot start
    // ends in finished(Failed) with lastError().
    void sendWith(const RecipientRow& row, const QString& text,
                  const std::optional<QString>& password = std::nullopt);

    // The mail state of the last alert sent.
    int step() const { return m_step; }
    bool busy() const { return !m_socket.isNull() || m_waitingForPassword; }
    bool extended() const { return m_extended; }
    QString serverName() const { return m_server; }
    quint16 port() const { return m_options.port; }
    QString sender() const { return m_sender; }
    QString recipient() const { return m_recipient; }
    QString greetingDomain() const { return m_domain; }
    QString subject() const { return m_subject; }
    QString body() const { return m_body; }
    // Words of the last failure or refusal; empty once a mail has been delivered.
    QString lastError() const { return m_lastError; }

    std::chrono::milliseconds replyTimeout() const { return m_replyTimeout; }
    void setReplyTimeout(std::chrono::milliseconds timeout) { m_replyTimeout = timeout; }

signals:
    // Every complete reply of the server, decoded, just before the dialogue acts on it.
    void replied(const QString& reply);
    // Once for every dialogue started, when it is over.
    void finished(sentrok::MailAlert::Outcome outcome);

private:
    // Steps of the extended dialogue: the reply awaited.
    enum class X {
        Greeting,
        Ehlo,
        StartTls,
        Handshake,
        EhloAgain,
        AuthLoginUser,
        AuthLoginPassword,
        AuthDone,
        MailFrom,
        RcptTo,
        Data,
        Message,
    };

    bool start(const RecipientRow& row, const QString& text, bool quietDrops,
               const std::optional<QString>& password);
    void withPassword(const std::optional<QString>& given);
    void connectSocket();
    void onReadyRead();
    void onReply(const QByteArray& reply);
    void advance();
    void onExtendedReply(const QString& code, const QByteArray& reply);
    void afterEhlo(const smtp::Extensions& offered);
    void mailFrom();
    void onSslErrors(const QList<QSslError>& errors);
    void onEncrypted();
    bool pinMismatch(QString* text) const;
    void refuse(const QString& code, const QByteArray& reply);
    void refuseExtended(const QString& text);
    void showError(const QString& text);
    void send(const QByteArray& bytes);
    // whole: the reason is the user's whole text, not words to put after server and port.
    void fail(const QString& reason, bool whole = false);
    void end(Outcome outcome);
    void failBeforeStart(const QString& text);

    Database& m_db;
    MessageBoxes& m_boxes;
    const Clock& m_clock;
    const quint16 m_port;
    std::chrono::milliseconds m_replyTimeout = kReplyTimeout;
    SecretStore* m_secrets = nullptr;
    std::unique_ptr<SecretStore> m_ownSecrets;
    bool m_showErrors = true;

    QString m_server, m_sender, m_recipient, m_domain, m_subject, m_body;
    MailServerOptions m_options;
    bool m_extended = false;
    QString m_password;
    int m_step = 0;
    X m_x = X::Greeting;
    bool m_eightBit = false;  // the server takes BODY=8BITMIME

    QPointer<QSslSocket> m_socket;  // null when no dialogue is under way
    bool m_waitingForPassword = false;
    quint64 m_dialogue = 0;  // counts dialogues: a late answer of the keyring knows its own
    smtp::ReplyReader m_reader;
    QTimer m_replyTimer;
    bool m_quitSent = false;       // the connection may close gracefully, after QUIT has gone
    QString m_certificateProblem;  // why the TLS handshake is about to fail
    QString m_lastError;

    // The one error box of the mail, while the user has it open.
    std::unique_ptr<Notice> m_errorBox;
    QString m_errorText;   // what it said first
    int m_moreErrors = 0;  // refusals since
};

}  // namespace sentrok
