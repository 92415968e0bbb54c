#include "ui/admin/frmchannels.h"

#include "channels/channelsecrets.h"
#include "channels/channelsender.h"
#include "channels/channelstore.h"
#include "common/conversions.h"
#include "secrets/secretstore.h"
#include "store/database.h"
#include "ui/controls/windowgeometry.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>

namespace sentrok {

namespace {

const QString kTitle = QStringLiteral("Каналы оповещения");

QLineEdit* edit(QWidget* parent, const char* name, const QString& placeholder = {})
{
    auto* e = new QLineEdit(parent);
    e->setObjectName(QString::fromLatin1(name));
    e->setPlaceholderText(placeholder);
    return e;
}

QPushButton* button(QWidget* parent, const char* name, const QString& caption)
{
    auto* b = new QPushButton(caption, parent);
    b->setObjectName(QString::fromLatin1(name));
    b->setAutoDefault(false);
    return b;
}

}  // namespace

frmChannels::frmChannels(ChannelsDialogDeps deps, QWidget* parent)
    : QDialog(parent), m_deps(std::move(deps))
{
    setObjectName(QStringLiteral("frmChannels"));
    setWindowTitle(kTitle);

    lstChannels = new QTableWidget(0, 5, this);
    lstChannels->setObjectName(QStringLiteral("lstChannels"));
    lstChannels->setHorizontalHeaderLabels({QStringLiteral("№"), QStringLiteral("Вид"),
                                            QStringLiteral("Имя"), QStringLiteral("Чат или адрес"),
                                            QStringLiteral("Включён")});
    lstChannels->setSelectionBehavior(QAbstractItemView::SelectRows);
    lstChannels->setSelectionMode(QAbstractItemView::SingleSelection);
    lstChannels->setEditTriggers(QAbstractItemView::NoEditTriggers);
    lstChannels->verticalHeader()->hide();
    lstChannels->horizontalHeader()->setStretchLastSection(true);

    cmdRemove = button(this, "cmdRemove", QStringLiteral("Удалить"));
    cmdEnable = button(this, "cmdEnable", QStringLiteral("Включить / выключить"));
    cmdTest = button(this, "cmdTest", QStringLiteral("Отправить тестовое сообщение"));
    auto* rowButtons = new QHBoxLayout;
    rowButtons->addWidget(cmdRemove);
    rowButtons->addWidget(cmdEnable);
    rowButtons->addWidget(cmdTest);
    rowButtons->addStretch();

    cboKind = new QComboBox(this);
    cboKind->setObjectName(QStringLiteral("cboKind"));
    cboKind->addItem(QStringLiteral("Telegram"), kindWord(ChannelKind::Telegram));
    cboKind->addItem(QStringLiteral("Webhook (Mattermost, Slack, Rocket.Chat...)"),
                     kindWord(ChannelKind::Webhook));
    txtName = edit(this, "txtName", QStringLiteral("пусто: по чату или серверу"));
    txtName->setMaxLength(kMaxChannelName);
    txtTarget = edit(this, "txtTarget");
    txtToken = edit(this, "txtToken", QStringLiteral("123456789:AAH..."));
    txtToken->setEchoMode(QLineEdit::Password);
    txtApiUrl = edit(this, "txtApiUrl", QStringLiteral("пусто: ") + kTelegramApi);
    lblTarget = new QLabel(this);
    auto* form = new QFormLayout;
    form->addRow(QStringLiteral("Вид:"), cboKind);
    form->addRow(QStringLiteral("Имя:"), txtName);
    form->addRow(lblTarget, txtTarget);
    form->addRow(QStringLiteral("Токен бота:"), txtToken);
    form->addRow(QStringLiteral("Адрес Bot API:"), txtApiUrl);
    cmdAdd = button(this, "cmdAdd", QStringLiteral("Добавить канал"));

    lblResult = new QLabel(this);
    lblResult->setObjectName(QStringLiteral("lblResult"));
    lblResult->setWordWrap(true);
    lblResult->setTextFormat(Qt::PlainText);
    auto* close = new QDialogButtonBox(QDialogButtonBox::Close, this);
    close->button(QDialogButtonBox::Close)->setText(QStringLiteral("Закрыть"));

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(lstChannels);
    layout->addLayout(rowButtons);
    layout->addLayout(form);
    layout->addWidget(cmdAdd, 0, Qt::AlignLeft);
    layout->addWidget(lblResult);
    layout->addWidget(close);

    connect(cboKind, &QComboBox::currentIndexChanged, this, &frmChannels::kindChanged);
    connect(cmdAdd, &QPushButton::clicked, this, &frmChannels::cmdAdd_Click);
    connect(cmdRemove, &QPushButton::clicked, this, &frmChannels::cmdRemove_Click);
    connect(cmdEnable, &QPushButton::clicked, this, &frmChannels::cmdEnable_Click);
    connect(cmdTest, &QPushButton::clicked, this, &frmChannels::cmdTest_Click);
    connect(close, &QDialogButtonBox::rejected, this, &QDialog::reject);
    kindChanged();
    resize(640, 480);
    fitToScreen(this);
}

frmChannels::~frmChannels() = default;

SecretStore& frmChannels::secrets()
{
    if (m_deps.secrets) return *m_deps.secrets;
    if (!m_ownSecrets) m_ownSecrets = std::make_unique<SecretStore>();
    return *m_ownSecrets;
}

bool frmChannels::Form_Load() { return refill(); }

void frmChannels::kindChanged()
{
    const bool telegram = cboKind->currentData().toString() == kindWord(ChannelKind::Telegram);
    lblTarget->setText(telegram ? QStringLiteral("Чат:") : QStringLiteral("Адрес webhook:"));
    txtTarget->setPlaceholderText(telegram ? QStringLiteral("-1001234567890 или @имя_канала")
                                           : QStringLiteral("https://chat.example.org/hooks/..."));
    // A webhook's address may hold its secret: typed unseen, like a token.
    txtTarget->setEchoMode(telegram ? QLineEdit::Normal : QLineEdit::Password);
    txtToken->setEnabled(telegram);
    txtApiUrl->setEnabled(telegram);
}

bool frmChannels::refill()
{
    try {
        m_records = readChannels(*m_deps.db);
    } catch (const DbError& e) {
        tell(QStringLiteral("Каналы оповещения не прочитаны: ") + e.userText(), MsgIcon::Stop);
        return false;
    }
    lstChannels->setRowCount(int(m_records.size()));
    for (int row = 0; row < m_records.size(); ++row) {
        const ChannelRecord& r = m_records[row];
        const QString cells[] = {QString::number(r.id),
                                 r.kind == ChannelKind::Telegram ? QStringLiteral("Telegram")
                                                                 : QStringLiteral("webhook"),
                                 printableText(r.name), printableText(r.target),
                                 r.enabled ? QStringLiteral("да") : QStringLiteral("нет")};
        for (int column = 0; column < 5; ++column)
            lstChannels->setItem(row, column, new QTableWidgetItem(cells[column]));
    }
    lstChannels->resizeColumnsToContents();
    return true;
}

std::optional<ChannelRecord> frmChannels::selected() const
{
    const int row = lstChannels->currentRow();
    if (row < 0 || row >= m_records.size()) return std::nullopt;
    return m_records[row];
}

void frmChannels::tell(const QString& text, MsgIcon icon)
{
    m_deps.boxes->tell({text, kTitle, MsgButtons::Ok, icon, this});
}

void frmChannels::cmdAdd_Click()
{
    if (m_busy) return;
    ChannelAddInput input;
    const bool telegram = cboKind->currentData().toString() == kindWord(ChannelKind::Telegram);
    input.kind = telegram ? ChannelKind::Telegram : ChannelKind::Webhook;
    input.name = txtName->text();
    if (telegram) {
        input.chat = txtTarget->text();
        input.apiUrl = txtApiUrl->text();
    }
    input.secretFromStdin = true;
    QString why;
    const std::optional<ChannelSettings> channel =
        makeChannel(input, telegram ? txtToken->text() : txtTarget->text(), &why);
    if (!channel) {
        tell(why, MsgIcon::Exclamation);
        emit addFinished(false);
        return;
    }
    m_busy = true;
    cmdAdd->setEnabled(false);
    writeChannelSecret(
        secrets(), *channel,
        [self = QPointer<frmChannels>(this), channel = *channel](const QString& error,
                                                                 const QString& where) {
            if (!self) return;
            self->m_busy = false;
            self->cmdAdd->setEnabled(true);
            if (!error.isEmpty()) {
                self->tell(QStringLiteral("Канал не добавлен: секрет не сохранён: ") + error,
                           MsgIcon::Stop);
                emit self->addFinished(false);
                return;
            }
            try {
                addChannel(*self->m_deps.db, channel.record);
            } catch (const DbError& e) {
                forgetChannelSecret(self->secrets(), channel.record.secretRef,
                                    [](const QString&, const QString&) {});
                self->tell(QStringLiteral("Канал не добавлен: ") + e.userText(), MsgIcon::Stop);
                emit self->addFinished(false);
                return;
            }
            self->txtToken->clear();
            self->txtTarget->clear();
            self->txtName->clear();
            self->lblResult->setText(
                QStringLiteral("Добавлен: %1. %2").arg(channelTitle(channel.record), where));
            self->refill();
            emit self->addFinished(true);
        });
}

void frmChannels::cmdRemove_Click()
{
    const std::optional<ChannelRecord> record = selected();
    if (!record) return;
    if (m_deps.boxes->ask({QStringLiteral("Удалить канал %1?").arg(channelTitle(*record)), kTitle,
                           MsgButtons::YesNo, MsgIcon::Question, this}) != MsgAnswer::Yes)
        return;
    try {
        removeChannel(*m_deps.db, record->id);
    } catch (const DbError& e) {
        tell(QStringLiteral("Канал не удалён: ") + e.userText(), MsgIcon::Stop);
        return;
    }
    forgetChannelSecret(secrets(), record->secretRef, [](const QString&, const QString&) {});
    lblResult->setText(QStringLiteral("Удалён: ") + channelTitle(*record));
    refill();
}

void frmChannels::cmdEnable_Click()
{
    const std::optional<ChannelRecord> record = selected();
    if (!record) return;
    const int row = lstChannels->currentRow();
    try {
        setChannelEnabled(*m_deps.db, record->id, !record->enabled);
    } catch (const DbError& e) {
        tell(QStringLiteral("Канал не изменён: ") + e.userText(), MsgIcon::Stop);
        return;
    }
    refill();
    lstChannels->selectRow(row);
}

void frmChannels::cmdTest_Click()
{
    std::optional<ChannelRecord> record = selected();
    if (!record) return;
    record->enabled = true;  // a channel turned off may still be tried
    cmdTest->setEnabled(false);
    lblResult->setText(
        QStringLiteral("Отправка тестового сообщения: %1...").arg(channelTitle(*record)));
    const auto shown = [self = QPointer<frmChannels>(this)](bool delivered, const QString& words) {
        if (!self) return;
        self->cmdTest->setEnabled(true);
        self->lblResult->setText((delivered ? QStringLiteral("Доставлено. Ответ сервера: ")
                                            : QStringLiteral("Не доставлено: ")) +
                                 printableText(words));
        emit self->testFinished(delivered);
    };
    loadChannelSecrets(secrets(), {*record},
                       [self = QPointer<frmChannels>(this), shown](QList<ChannelSettings> channels,
                                                                   QStringList problems) {
                           if (!self) return;
                           if (channels.isEmpty()) {
                               shown(false, problems.join(QStringLiteral("; ")));
                               return;
                           }
                           testChannel(
                               channels.first(), self->m_deps.monitor, self.data(),
                               [shown](ChannelTestOutcome o) { shown(o.delivered, o.words); });
                       });
}

}  // namespace sentrok
