#pragma once

#include "alerts/smtp.h"
#include "common/clock.h"
#include "common/messages.h"
#include "store/database.h"

#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>

#include <chrono>
#include <memory>

class QTcpSocket;

namespace sentrok {

// The alert e-mail of a monitoring pass: one mail to the recipient of table emails, sent over
// SMTP without ever blocking the window.
//
// The client speaks only when spoken to. Each complete reply of the server either moves the
// dialogue one step on (220, 250 and 354, whatever the step), or refuses (4xx, 5xx): the
// dialogue then ends at once with QUIT, and a refusal of the error table is told to the user
// in words. Any other reply is ignored. Steps: 0 greeting, 1 RSET, 2 HELO, 3 MAIL FROM,
// 4 RCPT TO, 5 DATA, 6 the message; the reply to the message is answered with QUIT and the
// connection is closed at once.
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
        Refused,    // the server answered with 4xx or 5xx; QUIT sent
        Failed,     // no connection, connection lost, no reply in time, or nonsense replies
        Abandoned,  // a newer alert took over
    };
    Q_ENUM(Outcome)

    static constexpr quint16 kSmtpPort = 25;
    // Longer recipients are not sent to; the administration window refuses them when saved.
    static constexpr int kMaxRecipient = 254;
    static constexpr std::chrono::milliseconds kReplyTimeout{60'000};
    static inline const QString kSubject = QStringLiteral("SENTROK");
    static inline const QString kErrorTitle = QStringLiteral("Ошибка!!!");

    // db: the main window's connection (outlives this object). Refusals are shown through
    // boxes.notice(): they arrive in socket handlers, where a modal box would nest an event
    // loop.
    MailAlert(Database& db, MessageBoxes& boxes, const Clock& clock, quint16 port = kSmtpPort,
              QObject* parent = nullptr);
    ~MailAlert() override;

    // Reads the recipient row afresh, composes the mail and starts connecting; returns at
    // once. Drops the alert when the row is missing or incomplete, when the recipient is too
    // long, or when an address holds a line break. Never throws.
    void SendAlert(const QString& text);

    // The mail state of the last alert sent.
    int step() const { return m_step; }
    bool busy() const { return !m_socket.isNull(); }
    QString serverName() const { return m_server; }
    QString sender() const { return m_sender; }
    QString recipient() const { return m_recipient; }
    QString greetingDomain() const { return m_domain; }
    QString subject() const { return m_subject; }
    QString body() const { return m_body; }

    std::chrono::milliseconds replyTimeout() const { return m_replyTimeout; }
    void setReplyTimeout(std::chrono::milliseconds timeout) { m_replyTimeout = timeout; }

signals:
    // Every complete reply of the server, decoded, just before the dialogue acts on it.
    void replied(const QString& reply);
    // Once for every dialogue started, when it is over.
    void finished(sentrok::MailAlert::Outcome outcome);

private:
    void connectSocket();
    void onReadyRead();
    void onReply(const QByteArray& reply);
    void advance();
    void refuse(const QString& code, const QByteArray& reply);
    void showError(const QString& text);
    void send(const QByteArray& bytes);
    void fail(const QString& reason);
    void end(Outcome outcome);

    Database& m_db;
    MessageBoxes& m_boxes;
    const Clock& m_clock;
    const quint16 m_port;
    std::chrono::milliseconds m_replyTimeout = kReplyTimeout;

    QString m_server, m_sender, m_recipient, m_domain, m_subject, m_body;
    int m_step = 0;

    QPointer<QTcpSocket> m_socket;  // null when no dialogue is under way
    smtp::ReplyReader m_reader;
    QTimer m_replyTimer;
    bool m_quitSent = false;  // the connection may close gracefully, after QUIT has gone

    // The one error box of the mail, while the user has it open.
    std::unique_ptr<Notice> m_errorBox;
    QString m_errorText;  // what it said first
    int m_moreErrors = 0;  // refusals since
};

}  // namespace sentrok
