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
    m_socket = socket;
    m_reader = {};
    m_refused = false;
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
        m_replyTimer.start(m_replyTimeout);
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
    if (code.startsWith(u'4') || code.startsWith(u'5')) m_refused = true;
    const QString text = smtp::errorText(code, m_server);
    if (!text.isNull()) m_boxes.tell({text, kErrorTitle, MsgButtons::Ok, MsgIcon::Stop});
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
            m_step = 0;
            end(Outcome::Delivered);
            return;
    }
    ++m_step;
}

void MailAlert::send(const QByteArray& bytes) { m_socket->write(bytes); }

void MailAlert::fail(const QString& reason)
{
    QTcpSocket* socket = m_socket;
    if (!socket) return;
    // A server that refuses and hangs up at once: its last words come first.
    if (socket->bytesAvailable() > 0) {
        onReadyRead();
        if (m_socket != socket) return;
    }
    const Outcome outcome = m_refused ? Outcome::Refused : Outcome::Failed;
    // A refusal has been shown already; anything else would pass unseen.
    if (outcome == Outcome::Failed)
        warn(QStringLiteral("письмо с оповещением не отправлено, почтовый сервер \"%1\" порт %2: "
                            "%3")
                 .arg(m_server)
                 .arg(m_port)
                 .arg(reason));
    end(outcome);
}

void MailAlert::end(Outcome outcome)
{
    QTcpSocket* socket = m_socket;
    if (!socket) return;
    m_socket = nullptr;
    m_replyTimer.stop();
    socket->disconnect(this);
    if (outcome == Outcome::Delivered && socket->state() == QAbstractSocket::ConnectedState) {
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
