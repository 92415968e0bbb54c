#include "ui/admin/frmparent.h"

#include "store/database.h"
#include "store/parents.h"
#include "ui/controls/windowgeometry.h"

#include <QCollator>
#include <QDialogButtonBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QVBoxLayout>

#include <algorithm>

namespace sentrok {

frmParent::frmParent(ParentDialogDeps deps, QWidget* parent) : QDialog(parent), m_deps(deps)
{
    setObjectName(QStringLiteral("frmParent"));
    setWindowTitle(QStringLiteral("Зависимость хоста"));
    lblHost = new QLabel(this);
    lblHost->setObjectName(QStringLiteral("lblHost"));
    lblHost->setWordWrap(true);
    txtFind = new QLineEdit(this);
    txtFind->setObjectName(QStringLiteral("txtFind"));
    txtFind->setPlaceholderText(QStringLiteral("поиск по описанию или адресу"));
    txtFind->setClearButtonEnabled(true);
    lstParent = new QListWidget(this);
    lstParent->setObjectName(QStringLiteral("lstParent"));
    lstParent->setMinimumSize(360, 300);
    auto* hint =
        new QLabel(QStringLiteral("Пока выбранный хост не отвечает, этот хост при пропадании "
                                  "связи показывается серым, без звука, и в письме "
                                  "стоит под ним."),
                   this);
    hint->setWordWrap(true);
    hint->setEnabled(false);

    auto* buttons = new QDialogButtonBox(this);
    cmdSaveParent = buttons->addButton(QStringLiteral("Сохранить"), QDialogButtonBox::AcceptRole);
    cmdSaveParent->setObjectName(QStringLiteral("cmdSaveParent"));
    QPushButton* cancel =
        buttons->addButton(QStringLiteral("Отмена"), QDialogButtonBox::RejectRole);
    cancel->setObjectName(QStringLiteral("cmdCancel"));
    // Saving closes only once the choice is stored: not through the box's accepted().
    connect(cmdSaveParent, &QPushButton::clicked, this, &frmParent::cmdSaveParent_Click);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
    connect(lstParent, &QListWidget::itemDoubleClicked, this, &frmParent::cmdSaveParent_Click);
    connect(txtFind, &QLineEdit::textChanged, this, &frmParent::filter);
    // Down goes from the search into the list; Enter, in either, saves the current item (the
    // dialog's default button).
    txtFind->installEventFilter(this);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(lblHost);
    layout->addWidget(txtFind);
    layout->addWidget(lstParent, 1);
    layout->addWidget(hint);
    layout->addWidget(buttons);
    fitToScreen(this);
}

bool frmParent::Form_Load()
{
    HostTree tree;
    try {
        tree = HostTree::read(*m_deps.db);
    } catch (const DbError& e) {
        m_deps.boxes->ask({e.userText(), kAppTitle, MsgButtons::Ok, MsgIcon::Stop, this});
        return false;
    }
    const HostNode* host = tree.find(m_deps.host);
    if (!host) {
        m_deps.boxes->ask({QStringLiteral("Хоста с id %1 нет в базе").arg(m_deps.host), kAppTitle,
                           MsgButtons::Ok, MsgIcon::Exclamation, this});
        return false;
    }
    lblHost->setText(
        QStringLiteral("%1 доступен только через хост:").arg(hostLabel(host->desc, host->ip)));
    std::vector<HostNode> others;
    for (const HostNode& h : tree.hosts())
        if (h.id != host->id) others.push_back(h);
    QCollator collator;
    collator.setCaseSensitivity(Qt::CaseInsensitive);
    collator.setNumericMode(true);
    std::stable_sort(others.begin(), others.end(), [&](const HostNode& a, const HostNode& b) {
        const int byDesc = collator.compare(a.desc, b.desc);
        return byDesc ? byDesc < 0 : collator.compare(a.ip, b.ip) < 0;
    });
    auto* none = new QListWidgetItem(QStringLiteral("(ни от какого: связь напрямую)"), lstParent);
    none->setData(Qt::UserRole, qint64(0));
    lstParent->setCurrentItem(none);
    for (const HostNode& h : others) {
        auto* item = new QListWidgetItem(hostLabel(h.desc, h.ip), lstParent);
        item->setData(Qt::UserRole, h.id);
        if (h.id == host->parent) lstParent->setCurrentItem(item);
    }
    lstParent->scrollToItem(lstParent->currentItem());
    return true;
}

void frmParent::filter(const QString& text)
{
    const QString wanted = text.trimmed();
    // The first item, no parent, is always there to choose.
    for (int i = 1; i < lstParent->count(); ++i)
        lstParent->item(i)->setHidden(
            !lstParent->item(i)->text().contains(wanted, Qt::CaseInsensitive));
    // Enter takes what the search found, never an item it hides: the first match, else no parent.
    const QListWidgetItem* current = lstParent->currentItem();
    if (current && !current->isHidden() && (wanted.isEmpty() || lstParent->row(current) > 0))
        return;
    const int first = nextShown(0);
    lstParent->setCurrentRow(first >= 0 && !wanted.isEmpty() ? first : 0);
}

int frmParent::nextShown(int from) const
{
    for (int i = from + 1; i < lstParent->count(); ++i)
        if (!lstParent->item(i)->isHidden()) return i;
    return -1;
}

bool frmParent::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == txtFind && event->type() == QEvent::KeyPress &&
        static_cast<QKeyEvent*>(event)->key() == Qt::Key_Down) {
        const int next = nextShown(lstParent->currentRow());
        if (next >= 0) lstParent->setCurrentRow(next);
        lstParent->setFocus(Qt::TabFocusReason);
        return true;
    }
    return QDialog::eventFilter(watched, event);
}

void frmParent::cmdSaveParent_Click()
{
    const QListWidgetItem* item = lstParent->currentItem();
    if (!item || item->isHidden()) return;
    const qint64 chosen = item->data(Qt::UserRole).toLongLong();
    try {
        if (const auto refusal = sentrok::setParent(
                *m_deps.db, m_deps.host, chosen ? std::optional<qint64>(chosen) : std::nullopt)) {
            m_deps.boxes->ask({*refusal, kAppTitle, MsgButtons::Ok, MsgIcon::Exclamation, this});
            return;
        }
    } catch (const DbError& e) {
        m_deps.boxes->ask({e.userText(), kAppTitle, MsgButtons::Ok, MsgIcon::Stop, this});
        return;
    }
    accept();
}

}  // namespace sentrok
