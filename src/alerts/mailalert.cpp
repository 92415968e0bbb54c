#include "alerts/mailalert.h"

#include "common/conversions.h"
#include "common/datetext.h"
#include "common/inputrules.h"
#include "secrets/secretstore.h"

#include <QCryptographicHash>
#include <QDebug>
#include <QSslCertificate>
#include <QSslSocket>

namespace sentrok {

namespace {

bool missing(const QVariant& value) { return value.isNull() || value.toString().isEmpty(); }

bool hasLineBreak(const QString& text) { return text.contains(u'\r') || text.contains(u'\n'); }

// On standard error: a server's words among them are one line, and drive no terminal.
void warn(const QString& text)
{
    qWarning().noquote() << QStringLiteral("sentrok: ") + printableLine(text);
}

// "(и ещё 3 ошибки отправки почты)", with the noun agreeing with the number.
QString moreErrorsText(int n)
{
    const int tens = n % 100, units = n % 10;
    const char16_t* noun = u"ошибок";
    if (units == 1 && tens != 11)
        noun = u"ошибка";
    else if (units >= 2 && units <= 4 && (tens < 12 || tens > 14))
        noun = u"ошибки";
    return QStringLiteral("(и ещё %1 %2 отправки почты)").arg(n).arg(QString::fromUtf16(noun));
}

QString domainOf(const QString& address)
{
    const qsizetype at = address.lastIndexOf(u'@');
    return at >= 0 ? address.mid(at + 1) : QString();
}

}  // namespace

MailAlert::MailAlert(Database& db, MessageBoxes& boxes, const Clock& clock, quint16 port,
                     QObject* parent)
    : QObject(parent), m_db(db), m_boxes(boxes), m_clock(clock), m_port(port)
{
    m_options.port = port;
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
    std::optional<RecipientRow> row;
    try {
        row = readRecipientRow(m_db);
    } catch (const DbError& e) {
        // The pass that called us has more to do; the administrator learns why no mail came.
        warn(QStringLiteral("адресат оповещения не прочитан, письмо не отправлено: ") +
             e.userText());
        return;
    }
    if (row) start(*row, text, true, std::nullopt);
}

void MailAlert::sendWith(const RecipientRow& row, const QString& text,
                         const std::optional<QString>& password)
{
    start(row, text, false, password);
}

// quietDrops: an incomplete row drops the alert without a word, as alerts always have; a test
// message asked for by the user says why instead.
bool MailAlert::start(const RecipientRow& row, const QString& text, bool quietDrops,
                      const std::optional<QString>& password)
{
    const auto drop = [&](const QString& why) {
        if (quietDrops)
            warn(why);
        else
            failBeforeStart(why);
        return false;
    };
    // Tested as stored: a value of blanks passes and fails later, at the connection.
    if (missing(row.smtp) || missing(row.from) || missing(row.email)) {
        if (quietDrops) return false;
        return drop(QStringLiteral("Не заданы SMTP сервер, адрес отправителя или получателя"));
    }
    const QString recipient = row.email.toString().trimmed();
    const QString sender = row.from.toString().trimmed();
    if (recipientRefusal(recipient))
        return drop(QStringLiteral("адрес получателя длиннее %1 знаков, письмо не отправлено")
                        .arg(kMaxRecipientLength));
    // A line break inside an address would smuggle a command of its own into the dialogue.
    if (hasLineBreak(recipient) || hasLineBreak(sender))
        return drop(
            QStringLiteral("адрес отправителя или получателя содержит перевод строки, "
                           "письмо не отправлено"));
    QString why;
    const std::optional<MailServerOptions> options = checkMailServer(
        {row.port ? QString::number(*row.port) : QString(), row.security, row.login, row.pin},
        m_port, &why);

    if (busy()) end(Outcome::Abandoned);
    ++m_dialogue;
    m_server = row.smtp.toString().trimmed();
    m_sender = sender;
    m_recipient = recipient;
    // A recipient without "@" keeps the domain of the last one that had it.
    if (recipient.contains(u'@')) m_domain = domainOf(recipient);
    m_subject = kSubject;
    m_body = generalDateText(m_clock.now()) + QStringLiteral(":  \r\n") + text;
    m_step = 0;
    m_x = X::Greeting;
    if (!options) {
        // Settings no setter would write: the administrator must hear of it, every time.
        failBeforeStart(QStringLiteral("Параметры почтового сервера в базе неверны: ") + why);
        return false;
    }
    m_options = *options;
    m_extended = m_options.security != MailSecurity::None || !m_options.login.isEmpty();
    m_password.clear();
    if (m_extended && !m_options.login.isEmpty())
        withPassword(password);
    else
        connectSocket();
    return true;
}

void MailAlert::withPassword(const std::optional<QString>& given)
{
    if (given) {
        m_password = *given;
        connectSocket();
        return;
    }
    SecretStore* store = m_secrets;
    if (!store) {
        if (!m_ownSecrets) m_ownSecrets = std::make_unique<SecretStore>();
        store = m_ownSecrets.get();
    }
    m_waitingForPassword = true;
    const quint64 dialogue = m_dialogue;
    store->read(SecretStore::keyFor(m_options.login, m_server),
                [this, dialogue, guard = QPointer<MailAlert>(this)](
                    const std::optional<QString>& password, const QString& error) {
                    // A newer alert, or none at all any more: this answer is nobody's.
                    if (!guard || dialogue != m_dialogue || !m_waitingForPassword) return;
                    m_waitingForPassword = false;
                    if (!password) {
                        failBeforeStart(
                            error.isEmpty()
                                ? QStringLiteral("Пароль пользователя %1 для почтового сервера %2 "
                                                 "не сохранён; задайте его в параметрах сервера")
                                      .arg(m_options.login, m_server)
                                : QStringLiteral("Пароль для почтового сервера %1 не прочитан: %2")
                                      .arg(m_server, error));
                        return;
                    }
                    m_password = *password;
                    connectSocket();
                });
}

void MailAlert::connectSocket()
{
    // A socket of its own for every dialogue: whatever the old one still receives goes
    // nowhere.
    auto* socket = new QSslSocket(this);
    // However fast a server talks, no more than this waits unread.
    socket->setReadBufferSize(smtp::ReplyReader::kMaxPending);
    m_socket = socket;
    m_reader = {};
    m_quitSent = false;
    m_eightBit = false;
    m_certificateProblem.clear();
    connect(socket, &QSslSocket::readyRead, this, &MailAlert::onReadyRead);
    connect(socket, &QSslSocket::errorOccurred, this, [this, socket] {
        if (socket->error() == QAbstractSocket::SslHandshakeFailedError &&
            !m_certificateProblem.isEmpty())
            fail(m_certificateProblem, true);
        else
            fail(socket->error() == QAbstractSocket::RemoteHostClosedError
                     ? QStringLiteral("сервер закрыл соединение")
                     : socket->errorString());
    });
    connect(socket, &QSslSocket::disconnected, this,
            [this] { fail(QStringLiteral("сервер закрыл соединение")); });
    connect(socket, &QSslSocket::sslErrors, this, &MailAlert::onSslErrors);
    connect(socket, &QSslSocket::encrypted, this, &MailAlert::onEncrypted);
    m_replyTimer.start(m_replyTimeout);
    if (m_extended && m_options.security == MailSecurity::Tls)
        socket->connectToHostEncrypted(m_server, m_options.port);
    else
        socket->connectToHost(m_server, m_options.port);
}

void MailAlert::onReadyRead()
{
    QSslSocket* socket = m_socket;
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
    const QSslSocket* socket = m_socket;
    emit replied(smtp::fromWire(reply));
    if (m_socket != socket) return;  // a new alert was started from the signal

    const QString code = smtp::replyCode(reply);
    if (m_extended) {
        onExtendedReply(code, reply);
        return;
    }
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
    // The box keeps the table's words alone; whoever asks afterwards (a test message) gets
    // the server's own words too.
    m_lastError = (text.isNull() ? QString() : text + QStringLiteral("\r\n")) +
                  QStringLiteral("Ответ сервера: ") + smtp::serverWords(reply);
    if (!text.isNull())
        showError(text);
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
    if (!m_showErrors) return;
    if (m_errorBox && m_errorBox->isOpen()) {
        ++m_moreErrors;
        m_errorBox->setText(m_errorText + QStringLiteral("\r\n\r\n") +
                            moreErrorsText(m_moreErrors));
        return;
    }
    m_errorText = text;
    m_moreErrors = 0;
    m_errorBox = m_boxes.notice({text, kErrorTitle, MsgButtons::Ok, MsgIcon::Stop});
}

void MailAlert::advance()
{
    switch (m_step) {
        case 0:
            send(smtp::command(QStringLiteral("RSET")));
            break;
        case 1:
            send(smtp::command(QStringLiteral("HELO ") + m_domain));
            break;
        case 2:
            send(smtp::command(QStringLiteral("MAIL FROM: ") + m_sender));
            break;
        case 3:
            send(smtp::command(QStringLiteral("RCPT TO: ") + m_recipient));
            break;
        case 4:
            send(smtp::command(QStringLiteral("DATA")));
            break;
        case 5:
            send(smtp::headerBlock(m_subject, m_sender, m_recipient));
            send(smtp::messageData(m_body));
            break;
        default:
            send(smtp::command(QStringLiteral("QUIT")));
            m_quitSent = true;
            m_step = 0;
            m_lastError.clear();
            end(Outcome::Delivered);
            return;
    }
    ++m_step;
}

void MailAlert::onExtendedReply(const QString& code, const QByteArray& reply)
{
    const auto ehlo = [this] {
        // The greeting domain as the plain dialogue uses it; an address literal where there
        // is none, since EHLO must name something.
        const QString name =
            m_domain.isEmpty() ? u'[' + m_socket->localAddress().toString() + u']' : m_domain;
        send(smtp::command(QStringLiteral("EHLO ") + name));
    };
    const bool authStep =
        m_x == X::AuthLoginUser || m_x == X::AuthLoginPassword || m_x == X::AuthDone;
    const char16_t* expected = nullptr;
    switch (m_x) {
        case X::Greeting:
        case X::StartTls:
            expected = u"220";
            break;
        case X::AuthLoginUser:
        case X::AuthLoginPassword:
            expected = u"334";
            break;
        case X::AuthDone:
            expected = u"235";
            break;
        case X::Data:
            expected = u"354";
            break;
        case X::Handshake:
            break;  // nothing may come in clear between STARTTLS and TLS
        default:
            expected = u"250";
            break;
    }
    const bool accepted =
        (expected && code == QStringView(expected)) || (m_x == X::RcptTo && code == u"251");
    if (!accepted) {
        QString text;
        if (authStep && smtp::isRefusal(code))
            text = QStringLiteral("Почтовый сервер %1 не принял имя пользователя или пароль")
                       .arg(m_server);
        else if (const QString table = smtp::errorText(code, m_server); !table.isNull())
            text = table;
        else
            text = QStringLiteral("Почтовый сервер %1 ответил не так, как ожидалось").arg(m_server);
        const QStringList secrets{
            m_password, QString::fromLatin1(smtp::authPlainToken(m_options.login, m_password))};
        refuseExtended(text + QStringLiteral("\r\nОтвет сервера: ") +
                       smtp::serverWords(reply, secrets));
        return;
    }
    switch (m_x) {
        case X::Greeting:
            ehlo();
            m_x = X::Ehlo;
            return;
        case X::Ehlo:
        case X::EhloAgain: {
            const smtp::Extensions offered = smtp::parseEhlo(reply);
            if (m_options.security == MailSecurity::StartTls && m_x == X::Ehlo) {
                if (!offered.startTls) {
                    refuseExtended(QStringLiteral("Почтовый сервер %1 не предлагает STARTTLS: "
                                                  "письмо не отправлено, ничего не передано "
                                                  "открытым текстом")
                                       .arg(m_server));
                    return;
                }
                send(smtp::command(QStringLiteral("STARTTLS")));
                m_x = X::StartTls;
                return;
            }
            afterEhlo(offered);
            return;
        }
        case X::StartTls:
            // Whatever came with the 220 came in clear and could be anybody's: the encrypted
            // dialogue starts from nothing.
            if (!m_reader.isEmpty() || m_socket->bytesAvailable() > 0) {
                fail(QStringLiteral("сервер прислал данные вслед за согласием на STARTTLS"));
                return;
            }
            m_x = X::Handshake;
            m_replyTimer.start(m_replyTimeout);
            m_socket->startClientEncryption();
            return;
        case X::AuthLoginUser:
            send(m_options.login.toUtf8().toBase64() + "\r\n");
            m_x = X::AuthLoginPassword;
            return;
        case X::AuthLoginPassword:
            send(m_password.toUtf8().toBase64() + "\r\n");
            m_x = X::AuthDone;
            return;
        case X::AuthDone:
            mailFrom();
            return;
        case X::MailFrom:
            send(smtp::command(QStringLiteral("RCPT TO:<") + m_recipient + u'>'));
            m_x = X::RcptTo;
            return;
        case X::RcptTo:
            send(smtp::command(QStringLiteral("DATA")));
            m_x = X::Data;
            return;
        case X::Data: {
            const QString domain = domainOf(m_sender).isEmpty() ? m_domain : domainOf(m_sender);
            send(smtp::extendedHeaderBlock(m_subject, m_sender, m_recipient,
                                           smtp::rfc5322Date(m_clock.now()),
                                           smtp::newMessageId(domain)));
            send(smtp::messageData(m_body));
            m_x = X::Message;
            return;
        }
        case X::Message:
            send(smtp::command(QStringLiteral("QUIT")));
            m_quitSent = true;
            m_lastError.clear();
            end(Outcome::Delivered);
            return;
        case X::Handshake:
            return;
    }
}

void MailAlert::afterEhlo(const smtp::Extensions& offered)
{
    m_eightBit = offered.eightBitMime;
    if (m_options.login.isEmpty()) {
        mailFrom();
        return;
    }
    if (m_options.security == MailSecurity::None) {
        static bool told = false;
        if (!told) {
            told = true;
            warn(QStringLiteral("вход на почтовый сервер %1 без шифрования: имя и пароль "
                                "передаются открытым текстом")
                     .arg(m_server));
        }
    }
    if (offered.authPlain) {
        send("AUTH PLAIN " + smtp::authPlainToken(m_options.login, m_password) + "\r\n");
        m_x = X::AuthDone;
    } else if (offered.authLogin) {
        send(smtp::command(QStringLiteral("AUTH LOGIN")));
        m_x = X::AuthLoginUser;
    } else {
        refuseExtended(QStringLiteral("Почтовый сервер %1 не предлагает вход по имени и паролю "
                                      "(AUTH PLAIN или LOGIN)")
                           .arg(m_server));
    }
}

void MailAlert::mailFrom()
{
    send(smtp::command(QStringLiteral("MAIL FROM:<") + m_sender + u'>' +
                       (m_eightBit ? QStringLiteral(" BODY=8BITMIME") : QString())));
    m_x = X::MailFrom;
}

bool MailAlert::pinMismatch(QString* text) const
{
    if (m_options.pin.isEmpty() || !m_socket) return false;
    const QString got =
        QString::fromLatin1(m_socket->peerCertificate().digest(QCryptographicHash::Sha256).toHex());
    if (got == m_options.pin) return false;
    *text = QStringLiteral(
                "Отпечаток сертификата почтового сервера %1 не совпадает с заданным "
                "в параметрах: соединение прервано.\r\nЗадан: %2\r\nПолучен: %3")
                .arg(m_server, pinForDisplay(m_options.pin), pinForDisplay(got));
    return true;
}

void MailAlert::onSslErrors(const QList<QSslError>& errors)
{
    if (!m_socket) return;
    QString mismatch;
    if (!m_options.pin.isEmpty()) {
        // The pinned certificate is trusted whoever signed it; any other is not.
        if (pinMismatch(&mismatch))
            m_certificateProblem = mismatch;
        else
            m_socket->ignoreSslErrors();
        return;
    }
    QStringList why;
    for (const QSslError& e : errors) why << e.errorString();
    const QString got =
        QString::fromLatin1(m_socket->peerCertificate().digest(QCryptographicHash::Sha256).toHex());
    m_certificateProblem =
        QStringLiteral(
            "Сертификат почтового сервера %1 не прошёл проверку: %2.\r\nЕсли это "
            "сертификат вашего сервера, укажите в параметрах почтового сервера его "
            "отпечаток SHA-256: %3")
            .arg(m_server, why.join(QStringLiteral("; ")), pinForDisplay(got));
}

void MailAlert::onEncrypted()
{
    QString mismatch;
    // A certificate the system trusts is still not the one pinned.
    if (pinMismatch(&mismatch)) {
        fail(mismatch, true);
        return;
    }
    m_replyTimer.start(m_replyTimeout);
    if (m_x == X::Handshake) {
        m_x = X::EhloAgain;
        const QString name =
            m_domain.isEmpty() ? u'[' + m_socket->localAddress().toString() + u']' : m_domain;
        send(smtp::command(QStringLiteral("EHLO ") + name));
    }
}

void MailAlert::refuseExtended(const QString& text)
{
    m_lastError = text;
    showError(text);
    send(smtp::command(QStringLiteral("QUIT")));
    m_quitSent = true;
    end(Outcome::Refused);
}

void MailAlert::send(const QByteArray& bytes)
{
    m_socket->write(bytes);
    // The time-out counts from the latest command: replies that move nothing on do not
    // keep a dialogue alive.
    m_replyTimer.start(m_replyTimeout);
}

void MailAlert::fail(const QString& reason, bool whole)
{
    QSslSocket* socket = m_socket;
    if (!socket) return;
    // A server that refuses and hangs up at once: its last words come first.
    if (socket->bytesAvailable() > 0) {
        onReadyRead();
        if (m_socket != socket) return;
    }
    if (m_extended) {
        m_lastError = whole
                          ? reason
                          : QStringLiteral("Письмо не отправлено: почтовый сервер %1, порт %2: %3")
                                .arg(m_server)
                                .arg(m_options.port)
                                .arg(reason);
        showError(m_lastError);
    } else {
        // Refusals end the dialogue themselves; this would pass unseen.
        m_lastError =
            QStringLiteral("письмо с оповещением не отправлено, почтовый сервер \"%1\" порт %2: %3")
                .arg(m_server)
                .arg(m_options.port)
                .arg(reason);
        warn(m_lastError);
    }
    end(Outcome::Failed);
}

void MailAlert::failBeforeStart(const QString& text)
{
    m_lastError = text;
    if (m_showErrors) {
        showError(text);
        warn(text);
    }
    emit finished(Outcome::Failed);
}

void MailAlert::end(Outcome outcome)
{
    if (m_waitingForPassword) {
        m_waitingForPassword = false;
        emit finished(outcome);
        return;
    }
    QSslSocket* socket = m_socket;
    if (!socket) return;
    m_socket = nullptr;
    m_replyTimer.stop();
    m_reader = {};
    m_password.clear();
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
