#include "ui/admin/frmmaintenance.h"

#include "common/conversions.h"
#include "store/database.h"
#include "store/hosts.h"
#include "store/maintenance.h"
#include "store/parents.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDateTimeEdit>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QVBoxLayout>

namespace sentrok {

namespace {

const QString kTimeFormat = QStringLiteral("dd.MM.yyyy HH:mm");

QString repeatText(Repeat r)
{
    switch (r) {
        case Repeat::Daily:
            return QStringLiteral("ежедневно");
        case Repeat::Weekly:
            return QStringLiteral("еженедельно");
        case Repeat::Once:
            break;
    }
    return QStringLiteral("однократно");
}

}  // namespace

frmMaintenance::frmMaintenance(MaintenanceDialogDeps deps, QWidget* parent)
    : QDialog(parent), m_deps(deps)
{
    setObjectName(QStringLiteral("frmMaintenance"));
    setWindowTitle(QStringLiteral("Обслуживание"));
    lstWindows = new QListWidget(this);
    lstWindows->setObjectName(QStringLiteral("lstWindows"));
    lstWindows->setMinimumSize(480, 160);
    cboHost = new QComboBox(this);
    cboHost->setObjectName(QStringLiteral("cboHost"));
    chkChildren = new QCheckBox(QStringLiteral("и хосты, доступные через него"), this);
    chkChildren->setObjectName(QStringLiteral("chkChildren"));
    const QDateTime now = QDateTime::currentDateTime();
    const QDateTime hour = QDateTime(now.date(), QTime(now.time().hour(), 0)).addSecs(3600);
    dtFrom = new QDateTimeEdit(hour, this);
    dtFrom->setObjectName(QStringLiteral("dtFrom"));
    dtTo = new QDateTimeEdit(hour.addSecs(3600), this);
    dtTo->setObjectName(QStringLiteral("dtTo"));
    for (QDateTimeEdit* e : {dtFrom, dtTo}) {
        e->setDisplayFormat(kTimeFormat);
        e->setCalendarPopup(true);
    }
    cboRepeat = new QComboBox(this);
    cboRepeat->setObjectName(QStringLiteral("cboRepeat"));
    for (Repeat r : {Repeat::Once, Repeat::Daily, Repeat::Weekly})
        cboRepeat->addItem(repeatText(r), int(r));
    txtComment = new QLineEdit(this);
    txtComment->setObjectName(QStringLiteral("txtComment"));
    txtComment->setMaxLength(200);

    auto* form = new QFormLayout;
    form->addRow(QStringLiteral("Хост:"), cboHost);
    form->addRow(QString(), chkChildren);
    form->addRow(QStringLiteral("С:"), dtFrom);
    form->addRow(QStringLiteral("По:"), dtTo);
    form->addRow(QStringLiteral("Повтор:"), cboRepeat);
    form->addRow(QStringLiteral("Комментарий:"), txtComment);

    auto* buttons = new QDialogButtonBox(this);
    cmdAddWindow = buttons->addButton(QStringLiteral("Добавить"), QDialogButtonBox::ActionRole);
    cmdAddWindow->setObjectName(QStringLiteral("cmdAddWindow"));
    cmdRemoveWindow = buttons->addButton(QStringLiteral("Удалить"), QDialogButtonBox::ActionRole);
    cmdRemoveWindow->setObjectName(QStringLiteral("cmdRemoveWindow"));
    QPushButton* close =
        buttons->addButton(QStringLiteral("Закрыть"), QDialogButtonBox::RejectRole);
    close->setObjectName(QStringLiteral("cmdClose"));
    connect(cmdAddWindow, &QPushButton::clicked, this, &frmMaintenance::cmdAddWindow_Click);
    connect(cmdRemoveWindow, &QPushButton::clicked, this, &frmMaintenance::cmdRemoveWindow_Click);
    connect(close, &QPushButton::clicked, this, &QDialog::reject);
    connect(cboHost, &QComboBox::currentIndexChanged, this,
            [this](int index) { chkChildren->setEnabled(index > 0); });

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(lstWindows, 1);
    layout->addLayout(form);
    layout->addWidget(buttons);
}

bool frmMaintenance::Form_Load()
{
    try {
        std::vector<HostNode> hosts = HostTree::read(*m_deps.db).hosts();
        sortByDescription(hosts, [](const HostNode& h) -> const QString& { return h.desc; });
        cboHost->addItem(QStringLiteral("Все хосты"), qint64(0));
        for (const HostNode& h : hosts) cboHost->addItem(hostLabel(h.desc, h.ip), h.id);
        chkChildren->setEnabled(false);
        listWindows();
    } catch (const DbError& e) {
        tell(e.userText(), MsgIcon::Stop);
        return false;
    }
    return true;
}

void frmMaintenance::listWindows()
{
    const HostTree tree = HostTree::read(*m_deps.db);
    lstWindows->clear();
    for (const MaintenanceWindow& w : maintenanceWindows(*m_deps.db)) {
        const HostNode* h = tree.find(w.hostId);
        QString whom = !w.hostId ? QStringLiteral("все хосты")
                       : h       ? hostLabel(h->desc, h->ip)
                                 : QStringLiteral("хост %1").arg(w.hostId);
        if (w.withChildren) whom += QStringLiteral(" и зависящие");
        auto* item = new QListWidgetItem(
            QStringLiteral("%1 — %2, %3, %4%5")
                .arg(w.from.toString(kTimeFormat), w.to.toString(kTimeFormat), repeatText(w.repeat),
                     whom,
                     w.comment.isEmpty() ? QString()
                                         : QStringLiteral(": ") + printableText(w.comment)),
            lstWindows);
        item->setData(Qt::UserRole, w.id);
    }
}

void frmMaintenance::cmdAddWindow_Click()
{
    const qint64 host = cboHost->currentData().toLongLong();
    const MaintenanceWindow w{.hostId = host,
                              .withChildren = host != 0 && chkChildren->isChecked(),
                              .from = dtFrom->dateTime(),
                              .to = dtTo->dateTime(),
                              .repeat = Repeat(cboRepeat->currentData().toInt()),
                              .comment = txtComment->text()};
    if (const std::optional<QString> refusal = windowRefusal(w)) {
        tell(refusal->left(1).toUpper() + refusal->mid(1), MsgIcon::Exclamation);
        return;
    }
    try {
        addMaintenanceWindow(*m_deps.db, w);
        txtComment->clear();
        listWindows();
    } catch (const DbError& e) {
        tell(e.userText(), MsgIcon::Stop);
    }
}

void frmMaintenance::cmdRemoveWindow_Click()
{
    const QListWidgetItem* item = lstWindows->currentItem();
    if (!item) return;
    try {
        removeMaintenanceWindow(*m_deps.db, item->data(Qt::UserRole).toLongLong());
        listWindows();
    } catch (const DbError& e) {
        tell(e.userText(), MsgIcon::Stop);
    }
}

void frmMaintenance::tell(const QString& text, MsgIcon icon)
{
    m_deps.boxes->ask({text, kAppTitle, MsgButtons::Ok, icon, this});
}

}  // namespace sentrok
