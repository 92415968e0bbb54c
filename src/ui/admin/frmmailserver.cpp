#include "ui/admin/frmmailserver.h"

#include "alerts/mailalert.h"
#include "common/clock.h"
#include "secrets/secretstore.h"
#include "store/database.h"
#include "ui/controls/windowgeometry.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QDir>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QSignalBlocker>
#include <QVBoxLayout>

#include <algorithm>

namespace sentrok {

namespace {

struct SecurityChoice {
    MailSecurity security;
    const char* caption;
};
const SecurityChoice kChoices[] = {
    {MailSecurity::None, "Без шифрования"},
    {MailSecurity::StartTls, "STARTTLS: шифрование после приветствия"},
    {MailSecurity::Tls, "TLS: шифрование с начала соединения"},
};

QLineEdit* edit(QWidget* parent, const char* name, const QString& placeholder = {})
{
    auto* e = new QLineEdit(parent);
    e->setObjectName(QString::fromLatin1(name));
    e->setPlaceholderText(placeholder);
    return e;
}

}  // namespace

frmMailServer::frmMailServer(MailServerDialogDeps deps, QWidget* parent)
    : QDialog(parent), m_deps(std::move(deps))
{
    setObjectName(QStringLiteral("frmMailServer"));
    setWindowTitle(QStringLiteral("Почтовый сервер"));
    m_form = new QFormLayout;
    QFormLayout* form = m_form;
    txtPort = edit(this, "txtPort");
    // As wide as a port number, not as the dialog.
    txtPort->setMaximumWidth(txtPort->fontMetrics().horizontalAdvance(QStringLiteral("0000000")) +
                             16);
    cboSecurity = new QComboBox(this);
    cboSecurity->setObjectName(QStringLiteral("cboSecurity"));
    for (const SecurityChoice& c : kChoices)
        cboSecurity->addItem(QString::fromUtf8(c.caption), securityWord(c.security));
    txtLogin = edit(this, "txtLogin", QStringLiteral("пусто: без входа на сервер"));
    txtPassword = edit(this, "txtPassword", QStringLiteral("пусто: оставить сохранённый"));
    txtPassword->setEchoMode(QLineEdit::Password);
    txtPin = edit(this, "txtPin", QStringLiteral("пусто: проверка по сертификатам системы"));
    // Half a fingerprint as certificate viewers show it; the rest scrolls, and the tool tip has
    // all of it.
    txtPin->setMinimumWidth(txtPin->fontMetrics().horizontalAdvance(QStringLiteral("AA:")) * 16);
    const QString pinHint = QStringLiteral(
        "Отпечаток SHA-256 сертификата сервера, которому доверять, "
        "даже если его никто не подписал");
    txtPin->setToolTip(pinHint);
    connect(txtPin, &QLineEdit::textChanged, this, [this, pinHint](const QString& pin) {
        txtPin->setToolTip(pin.isEmpty() ? pinHint : pinHint + QStringLiteral(":\n") + pin);
    });
    form->addRow(QStringLiteral("Порт:"), txtPort);
    form->addRow(QStringLiteral("Защита соединения:"), cboSecurity);
    form->addRow(QStringLiteral("Пользователь:"), txtLogin);
    form->addRow(QStringLiteral("Пароль:"), txtPassword);
    form->addRow(QStringLiteral("Отпечаток сертификата:"), txtPin);

    lblSecret = new QLabel(this);
    lblSecret->setObjectName(QStringLiteral("lblSecret"));
    lblSecret->setWordWrap(true);

    auto* buttons = m_buttons = new QDialogButtonBox(this);
    cmdTestMail = buttons->addButton(QStringLiteral("Отправить тестовое письмо"),
                                     QDialogButtonBox::ActionRole);
    cmdTestMail->setObjectName(QStringLiteral("cmdTestMail"));
    cmdSaveMail = buttons->addButton(QStringLiteral("Сохранить"), QDialogButtonBox::AcceptRole);
    cmdSaveMail->setObjectName(QStringLiteral("cmdSaveMail"));
    QPushButton* cancel =
        buttons->addButton(QStringLiteral("Отмена"), QDialogButtonBox::RejectRole);
    cancel->setObjectName(QStringLiteral("cmdCancel"));
    // Save closes only once everything is stored: not through the box's accepted().
    connect(cmdSaveMail, &QPushButton::clicked, this, &frmMailServer::cmdSaveMail_Click);
    connect(cmdTestMail, &QPushButton::clicked, this, &frmMailServer::cmdTestMail_Click);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
    connect(cboSecurity, &QComboBox::currentIndexChanged, this, &frmMailServer::securityChanged);

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addWidget(lblSecret);
    layout->addWidget(buttons);
    fitToScreen(this);
}

frmMailServer::~frmMailServer() = default;

SecretStore& frmMailServer::secrets()
{
    if (m_deps.secrets) return *m_deps.secrets;
    if (!m_ownSecrets) m_ownSecrets = std::make_unique<SecretStore>();
    return *m_ownSecrets;
}

bool frmMailServer::Form_Load()
{
    std::optional<RecipientRow> row;
    try {
        upgradeEmailsTable(*m_deps.db);
        row = readRecipientRow(*m_deps.db);
    } catch (const DbError& e) {
        m_deps.boxes->ask({e.userText(), kAppTitle, MsgButtons::Ok, MsgIcon::Stop, parentWidget()});
        return false;
    }
    const RecipientRow r = row.value_or(RecipientRow{});
    QString why;
    const MailServerOptions o =
        checkMailServer({r.port ? QString::number(*r.port) : QString(), r.security, r.login, r.pin},
                        MailAlert::kSmtpPort, &why)
            .value_or(MailServerOptions{});
    {
        const QSignalBlocker quiet(cboSecurity);
        cboSecurity->setCurrentIndex(cboSecurity->findData(securityWord(o.security)));
    }
    m_shownSecurity = o.security;
    txtPort->setText(QString::number(o.port));
    txtLogin->setText(o.login);
    txtPin->setText(pinForDisplay(o.pin));
    lblSecret->setText(
        secrets().place() == SecretStore::Place::Keyring
            ? QStringLiteral("Пароль хранится в хранилище паролей рабочего стола, не в базе.")
            : QStringLiteral("Хранилище паролей рабочего стола не найдено: пароль хранится в "
                             "файле %1, доступном только вам, не в базе.")
                  .arg(QDir::toNativeSeparators(secrets().filePath())));
    // As wide as the fields and buttons want; the note under them wraps to that width rather than
    // stretch the dialog across the screen.
    const QMargins margins = layout()->contentsMargins();
    const int width = std::max(m_form->sizeHint().width(), m_buttons->sizeHint().width()) +
                      margins.left() + margins.right();
    resize(width, heightForWidth(width));
    return true;
}

// A port left at the usual one of the old choice follows the new one.
void frmMailServer::securityChanged()
{
    const MailSecurity now = kChoices[std::max(cboSecurity->currentIndex(), 0)].security;
    if (txtPort->text().trimmed() == QString::number(usualPort(m_shownSecurity)))
        txtPort->setText(QString::number(usualPort(now)));
    m_shownSecurity = now;
}

std::optional<MailServerOptions> frmMailServer::checkedInput()
{
    QString why;
    auto o = checkMailServer(
        {txtPort->text(), cboSecurity->currentData().toString(), txtLogin->text(), txtPin->text()},
        MailAlert::kSmtpPort, &why);
    if (!o) m_deps.boxes->ask({why, kAppTitle, MsgButtons::Ok, MsgIcon::Exclamation, this});
    return o;
}

void frmMailServer::warnClearTextOnce(const MailServerOptions& o)
{
    if (o.security != MailSecurity::None || o.login.isEmpty() || m_clearTextWarned) return;
    m_clearTextWarned = true;
    m_deps.boxes->ask({QStringLiteral("Соединение без шифрования: имя пользователя и пароль будут "
                                      "переданы серверу открытым текстом.\r\nВыберите шифрование "
                                      "(STARTTLS или TLS), если сервер его поддерживает."),
                       kAppTitle, MsgButtons::Ok, MsgIcon::Exclamation, this});
}

void frmMailServer::cmdSaveMail_Click()
{
    const std::optional<MailServerOptions> o = checkedInput();
    if (!o) return;
    const QString password = txtPassword->text();
    const QString server = m_deps.addresses.smtp.toString().trimmed();
    if (!password.isEmpty() && (o->login.isEmpty() || server.isEmpty())) {
        m_deps.boxes->ask({QStringLiteral("Пароль хранится для пользователя на сервере: укажите "
                                          "пользователя и SMTP сервер"),
                           kAppTitle, MsgButtons::Ok, MsgIcon::Exclamation, this});
        return;
    }
    warnClearTextOnce(*o);
    try {
        const RecipientRow& a = m_deps.addresses;
        saveMailServer(*m_deps.db, *o, {a.smtp, a.from, a.email, a.desc});
    } catch (const DbError& e) {
        m_deps.boxes->ask({e.userText(), kAppTitle, MsgButtons::Ok, MsgIcon::Stop, this});
        return;
    }
    if (password.isEmpty()) {
        accept();
        return;
    }
    cmdSaveMail->setEnabled(false);
    SecretStore& store = secrets();
    store.write(SecretStore::keyFor(o->login, server), password,
                [this, guard = QPointer<frmMailServer>(this), &store](const QString& error,
                                                                      SecretStore::Place where) {
                    if (!guard) return;
                    cmdSaveMail->setEnabled(true);
                    if (!error.isEmpty()) {
                        m_deps.boxes->tell({QStringLiteral("Пароль не сохранён: ") + error,
                                            kAppTitle, MsgButtons::Ok, MsgIcon::Stop, this});
                        return;
                    }
                    txtPassword->clear();
                    // Over the window beneath: this one closes now and would take the box along.
                    m_deps.boxes->tell({store.describe(where), kAppTitle, MsgButtons::Ok,
                                        MsgIcon::None, parentWidget()});
                    accept();
                });
}

void frmMailServer::cmdTestMail_Click()
{
    const std::optional<MailServerOptions> o = checkedInput();
    if (!o) return;
    warnClearTextOnce(*o);
    if (!m_test) {
        if (!m_deps.clock) m_ownClock = std::make_unique<SystemClock>();
        m_test = std::make_unique<MailAlert>(*m_deps.db, *m_deps.boxes,
                                             m_deps.clock ? *m_deps.clock : *m_ownClock);
        m_test->setShowErrors(false);
        m_test->setSecrets(&secrets());
        connect(m_test.get(), &MailAlert::finished, this, [this](MailAlert::Outcome outcome) {
            cmdTestMail->setEnabled(true);
            if (outcome == MailAlert::Outcome::Delivered)
                m_deps.boxes->tell({QStringLiteral("Тестовое письмо принято почтовым сервером %1 "
                                                   "для %2")
                                        .arg(m_test->serverName(), m_test->recipient()),
                                    kAppTitle, MsgButtons::Ok, MsgIcon::None, this});
            else if (outcome != MailAlert::Outcome::Abandoned)
                m_deps.boxes->tell(
                    {QStringLiteral("Тестовое письмо не отправлено.\r\n") + m_test->lastError(),
                     MailAlert::kErrorTitle, MsgButtons::Ok, MsgIcon::Stop, this});
        });
    }
    RecipientRow row = m_deps.addresses;
    row.port = o->port;
    row.security = securityWord(o->security);
    row.login = o->login;
    row.pin = o->pin;
    const QString password = txtPassword->text();
    cmdTestMail->setEnabled(false);
    m_test->sendWith(row, MailAlert::kTestText,
                     password.isEmpty() ? std::nullopt : std::optional<QString>(password));
}

}  // namespace sentrok
