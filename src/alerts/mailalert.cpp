#include "alerts/mailalert.h"

#include "common/datetext.h"

#include <QDebug>
#include <QTcpSocket>

#include <optional>

namespace sentrok {

namespace {

bool missing(const QVariant& value) { return value.isNull() || value.toString().isEmpty(); }

bool hasLineBreak(const QString& text)
{
    return text.contains(u'\r') || text.contains(u'\n');
}

void warn(const QString& text) { qWarning().noquote() << QStringLiteral("sentrok: ") + text; }

// "(и ещё 3 ошибки отправки почты)", with the noun agreeing with the number.
QString moreErrorsText(int n)
{
    const int tens = n % 100, units = n % 10;
    const char16_t* noun = u"ошибок";
    if (units == 1 && tens != 11) noun = u"ошибка";
    else if (units >= 2 && units <= 4 && (tens < 12 || tens > 14)) noun = u"ошибки";
    return QStringLiteral("(и ещё %1 %2 отправки почты)").arg(n).arg(QString::fromUtf16(noun));
}

struct RecipientRow {
    QVariant smtp, from, email;
};

// The first row of table emails as stored; nothing when there is none or it cannot be read.
std::optional<RecipientRow> readRecipientRow(Database& db)
{
    try {
        Result row = db.execute(QStringLiteral("select smtp,[from],email,[desc] from emails"));
        if (row.eof()) return std::nullopt;
        RecipientRow out{row.field(QStringLiteral("SMTP")), row.field(QStringLiteral("FROM")),
                         row.field(QStringLiteral("email"))};
        row.close();
        return out;
    } catch (const DbError& e) {
        // The pass that called us has more to do; the administrator learns why no mail came.
        warn(QStringLiteral("адресат оповещения не прочитан, письмо не отправлено: ") +
             e.userText());
        return std::nullopt;
    }
}

}  // namespace

MailAlert::MailAlert(Database& db, MessageBoxes& boxes, const Clock& clock, quint16 port,
                     QObject* parent)
    : QObject(parent), m_db(db), m_boxes(boxes), m_clock(clock), m_port(port)
{
    m_replyTimer.setSingleShot(true);
    connect(&m_replyTimer, &QTimer::timeout, this, [this] {
        fail(QStringLiteral("нет ответа сервера за %1 с").arg(m_replyTimeout.count() / 1000.0));
    });
}

MailAlert::~MailAlert()
{
    if (m_socket) {
        m_socket->disconnect(this);
        m_socket->abort();
    }
}

void MailAlert::SendAlert(const QString& text)
{
    const std::optional<RecipientRow> row = readRecipientRow(m_db);
    if (!row) return;
    const auto& [smtp, from, email] = *row;
    // Tested as stored: a value of blanks passes and fails later, at the connection.
    if (missing(smtp) || missing(from) || missing(email)) return;

    const QString recipient = email.toString().trimmed();
    const QString sender = from.toString().trimmed();
    if (recipient.size() > kMaxRecipient) {
        warn(QStringLiteral("адрес получателя длиннее %1 знаков, письмо не отправлено")
                 .arg(kMaxRecipient));
        return;
    }
    // A line break inside an address would smuggle a command of its own into the dialogue.
    if (hasLineBreak(recipient) || hasLineBreak(sender)) {
        warn(QStringLiteral("адрес отправителя или получателя содержит перевод строки, письмо "
                            "не отправлено"));
        return;
    }

    if (busy()) end(Outcome::Abandoned);
    m_server = smtp.toString().trimmed();
    m_sender = sender;
    m_recipient = recipient;
    // A recipient without "@" keeps the domain of the last one that had it.
    if (const qsizetype at = recipient.lastIndexOf(u'@'); at >= 0)
        m_domain = recipient.mid(at + 1);
    m_subject = kSubject;
    m_body = generalDateText(m_clock.now()) + QStringLiteral(":  \r\n") + text;
    m_step = 0;
    connectSocket();
}

void MailAlert::connectSocket()
{
    // A socket of its own for every dialogue: whatever the old one still receives goes
    // nowhere.
    auto* socket = new QTcpSocket(this);
    // However fast a server talks, no more than this waits unread.
    socket->setReadBufferSize(smtp::ReplyReader::kMaxPending);
    m_socket = socket;
    m_reader = {};
    m_quitSent = false;
    connect(socket, &QTcpSocket::readyRead, this, &MailAlert::onReadyRead);
    connect(socket, &QTcpSocket::errorOccurred, this, [this, socket] {
        fail(socket->error() == QAbstractSocket::RemoteHostClosedError
                 ? QStringLiteral("сервер закрыл соединение")
                 : socket->errorString());
    });
    connect(socket, &QTcpSocket::disconnected, this,
            [this] { fail(QStringLiteral("сервер закрыл соединение")); });
    m_replyTimer.start(m_replyTimeout);
    socket->connectToHost(m_server, m_port);
}

void MailAlert::onReadyRead()
{
    QTcpSocket* socket = m_socket;
    if (!socket) return;
    m_reader.append(socket->readAll());
    // Every reply that is complete, in order; the dialogue may end or be replaced on the way.
    while (m_socket == socket) {
        const std::optional<QByteArray> reply = m_reader.next();
        if (!reply) break;
        onReply(*reply);
    }
    if (m_socket == socket && m_reader.overflowed())
        fail(QStringLiteral("сервер прислал более %1 байт без законченного ответа")
                 .arg(smtp::ReplyReader::kMaxPending));
}

void MailAlert::onReply(const QByteArray& reply)
{
    const QTcpSocket* socket = m_socket;
    emit replied(smtp::fromWire(reply));
    if (m_socket != socket) return;  // a new alert was started from the signal

    const QString code = smtp::replyCode(reply);
    if (smtp::isPositive(code)) {
        advance();
        return;
    }
    // Anything else that is not a refusal (221, 334, words) is passed over; the reply time-out
    // ends a server that never says anything useful.
    if (smtp::isRefusal(code)) refuse(code, reply);
}

void MailAlert::refuse(const QString& code, const QByteArray& reply)
{
    const QString text = smtp::errorText(code, m_server);
    if (!text.isNull()) showError(text);
    else
        warn(QStringLiteral("письмо с оповещением не отправлено, почтовый сервер \"%1\" ответил: "
                            "%2")
                 .arg(m_server, smtp::fromWire(reply).trimmed()));
    // Nothing more of this mail can go through: say goodbye rather than wait for a reply that
    // would keep a refusing server talking.
    send(smtp::command(QStringLiteral("QUIT")));
    m_quitSent = true;
    m_step = 0;
    end(Outcome::Refused);
}

void MailAlert::showError(const QString& text)
{
    if (m_errorBox && m_errorBox->isOpen()) {
        ++m_moreErrors;
        m_errorBox->setText(m_errorText + QStringLiteral("\r\n\r\n") + moreErrorsText(m_moreErrors));
        return;
    }
    m_errorText = text;
    m_moreErrors = 0;
    m_errorBox = m_boxes.notice({text, kErrorTitle, MsgButtons::Ok, MsgIcon::Stop});
}

void MailAlert::advance()
{
    switch (m_step) {
        case 0: send(smtp::command(QStringLiteral("RSET"))); break;
        case 1: send(smtp::command(QStringLiteral("HELO ") + m_domain)); break;
        case 2: send(smtp::command(QStringLiteral("MAIL FROM: ") + m_sender)); break;
        case 3: send(smtp::command(QStringLiteral("RCPT TO: ") + m_recipient)); break;
        case 4: send(smtp::command(QStringLiteral("DATA"))); break;
        case 5:
            send(smtp::headerBlock(m_subject, m_sender, m_recipient));
            send(smtp::messageData(m_body));
            break;
        default:
            send(smtp::command(QStringLiteral("QUIT")));
            m_quitSent = true;
            m_step = 0;
            end(Outcome::Delivered);
            return;
    }
    ++m_step;
}

void MailAlert::send(const QByteArray& bytes)
{
    m_socket->write(bytes);
    // The time-out counts from the latest command: replies that move nothing on do not
    // keep a dialogue alive.
    m_replyTimer.start(m_replyTimeout);
}

void MailAlert::fail(const QString& reason)
{
    QTcpSocket* socket = m_socket;
    if (!socket) return;
    // A server that refuses and hangs up at once: its last words come first.
    if (socket->bytesAvailable() > 0) {
        onReadyRead();
        if (m_socket != socket) return;
    }
    // Refusals end the dialogue themselves; this would pass unseen.
    warn(QStringLiteral("письмо с оповещением не отправлено, почтовый сервер \"%1\" порт %2: %3")
             .arg(m_server)
             .arg(m_port)
             .arg(reason));
    end(Outcome::Failed);
}

void MailAlert::end(Outcome outcome)
{
    QTcpSocket* socket = m_socket;
    if (!socket) return;
    m_socket = nullptr;
    m_replyTimer.stop();
    m_reader = {};
    socket->disconnect(this);
    if (m_quitSent && socket->state() == QAbstractSocket::ConnectedState) {
        // QUIT is still on its way out: close once it has gone, not waiting for the answer.
        connect(socket, &QAbstractSocket::disconnected, socket, &QObject::deleteLater);
        socket->disconnectFromHost();
    } else {
        socket->abort();
        socket->deleteLater();
    }
    emit finished(outcome);
}

}  // namespace sentrok
