#include "ui/admin/frmbase.h"

#include "alerts/sound.h"
#include "common/datetext.h"
#include "common/inputrules.h"
#include "store/database.h"
#include "store/hosts.h"
#include "store/lease.h"
#include "store/mailsettings.h"
#include "store/maintenance.h"
#include "store/parents.h"
#include "store/purge.h"
#include "store/reports.h"
#include "store/schema.h"
#include "store/settings.h"
#include "ui/admin/frmchannels.h"
#include "ui/admin/frmmailserver.h"
#include "ui/admin/frmmaintenance.h"
#include "ui/admin/frmparent.h"
#include "ui/admin/wrapbutton.h"
#include "ui/controls/busypointer.h"
#include "ui/controls/thinborder.h"
#include "ui/controls/units.h"
#include "ui/controls/usersettings.h"
#include "ui/controls/windowgeometry.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QGroupBox>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QSignalBlocker>

#include <algorithm>

namespace sentrok {

namespace {

// The button that shows and edits how many failed checks in a row raise the alarm.
QString confirmCaption(int n) { return QStringLiteral("Тревога: %1").arg(n); }

// The window's client area, in twips.
constexpr double kClientWidth = 8535, kClientHeight = 9330;

// Gap kept between a label widened to fit its caption and the control beside it, in pixels.
constexpr int kLabelGap = 4;
// The narrowest a label's font is made to fit its caption (percent of the normal width).
constexpr int kMinStretch = 75;

}  // namespace

frmBase::frmBase(AdminWindowDeps deps, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint),
      m_deps(std::move(deps))
{
    setObjectName(QStringLiteral("frmBase"));
    setWindowTitle(QStringLiteral("Работа с базой"));
    // The layout is fixed in size, so the font is too: the desktop's own family at the size
    // the layout was drawn for.
    m_normalFont = QApplication::font();
    m_normalFont.setPointSizeF(8);
    m_normalFont.setWeight(QFont::Normal);
    m_normalFont.setStretch(QFont::Unstretched);
    setFont(m_normalFont);
    setFixedSize(pxX(this, kClientWidth), pxY(this, kClientHeight));

    buildHostFrame();
    buildDetailFrame();
    buildOptionsFrame();
    buildRecipientFrame();
    fitToScreen(this);
}

frmBase::~frmBase() = default;

// ---- Layout --------------------------------------------------------------------------------
//
// Positions are the window's client coordinates in twips, as the window was drawn; a control
// inside a frame is moved by the frame's own place.

void frmBase::place(QWidget* w, double left, double top, double width, double height)
{
    QRect r = pxRect(this, left, top, width, height);
    if (QWidget* container = w->parentWidget(); container && container != this)
        r.translate(-container->mapTo(this, QPoint(0, 0)));
    w->setGeometry(r);
}

QLabel* frmBase::makeLabel(QWidget* parent, const QString& name, const QString& caption,
                           double left, double top, double width, double height,
                           Qt::Alignment alignment)
{
    auto* label = new QLabel(caption, parent);
    label->setObjectName(name);
    label->setFont(m_normalFont);
    label->setAlignment(alignment | Qt::AlignVCenter);
    place(label, left, top, width, height);
    return label;
}

QLineEdit* frmBase::makeEdit(QWidget* parent, const QString& name, double left, double top,
                             double width, double height, const QString& toolTip)
{
    auto* edit = new QLineEdit(parent);
    edit->setObjectName(name);
    edit->setFont(m_normalFont);
    edit->setToolTip(toolTip);
    place(edit, left, top, width, height);
    return edit;
}

WrapButton* frmBase::makeButton(QWidget* parent, const QString& name, const QString& caption,
                                double left, double top, double width, double height,
                                void (frmBase::*handler)(), const QString& toolTip)
{
    auto* button = new WrapButton(caption, parent);
    button->setObjectName(name);
    button->setFont(m_normalFont);
    button->setToolTip(toolTip);
    place(button, left, top, width, height);
    connect(button, &QPushButton::clicked, this, [this, handler] { guarded(handler); });
    return button;
}

// Desktop fonts are wider than the one the layout was drawn for. A caption that does not fit
// its label first takes the free space on the side away from its control, up to `limit` (the
// leftmost pixel a right-aligned label may use, the rightmost one of a left-aligned label);
// only if that is not enough is its font narrowed, down to three quarters of its width.
void frmBase::fitLabel(QLabel* label, int limit)
{
    const bool alignedRight = label->alignment() & Qt::AlignRight;
    QRect r = label->geometry();
    const int room = alignedRight ? r.right() - limit + 1 : limit - r.left() + 1;
    QFont font = label->font();
    int needed = 0;
    for (int stretch = 100; stretch >= kMinStretch; stretch -= 1) {
        font.setStretch(stretch);
        needed = QFontMetrics(font).horizontalAdvance(label->text()) + 1;
        if (needed <= room) break;
    }
    label->setFont(font);
    // Widened where the caption needs it; narrowed where the drawing itself lets a label reach
    // into its neighbour ("Размер буфера отправки:" touches the list by a pixel).
    if (alignedRight)
        r.setLeft(std::max(limit, std::min(r.left(), r.right() + 1 - needed)));
    else
        r.setRight(std::min(limit, std::max(r.right(), r.left() + needed - 1)));
    const int height = QFontMetrics(font).height();
    if (height > r.height()) {
        const int grow = height - r.height();
        r.adjust(0, -grow / 2, 0, grow - grow / 2);
    }
    label->setGeometry(r);
}

void frmBase::buildHostFrame()
{
    QFont bold = m_normalFont;
    bold.setBold(true);

    Frame1 = new QGroupBox(QStringLiteral("Просмотр/Редактирование/Удаление/Добавление"), this);
    Frame1->setObjectName(QStringLiteral("Frame1"));
    Frame1->setFont(bold);
    place(Frame1, 0, 0, 8535, 5655);

    lstAdr = new QListWidget(Frame1);
    lstAdr->setObjectName(QStringLiteral("lstAdr"));
    lstAdr->setFont(m_normalFont);
    lstAdr->setSelectionMode(QAbstractItemView::SingleSelection);
    place(lstAdr, 120, 360, 2175, 5130);
    connect(lstAdr, &QListWidget::itemSelectionChanged, this, [this] {
        if (!lstAdr->selectedItems().isEmpty()) guarded(&frmBase::lstAdr_Click);
    });
    // A click on the address already selected shows its record again, dropping what was typed
    // over it; a click that changes the selection has been handled above.
    lstAdr->viewport()->installEventFilter(this);
    connect(lstAdr, &QListWidget::itemClicked, this, [this] {
        if (m_pressOnSelected) guarded(&frmBase::lstAdr_Click);
    });
    connect(lstAdr, &QListWidget::itemDoubleClicked, this, [this](QListWidgetItem* item) {
        if (m_deps.showHistory) m_deps.showHistory(item->text());
    });

    struct Field {
        const char* label;
        const char* caption;
        double labelLeft, labelWidth;
        QLineEdit** edit;
        const char* name;
        const char* toolTip;
    };
    const Field fields[] = {
        {"Label1_0", "id:", 3720, 615, &txtID, "txtID", nullptr},
        {"Label1_1", "IP адрес:", 3480, 855, &txtIP, "txtIP", nullptr},
        {"Label1_2", "Описание:", 3480, 855, &txtDESC, "txtDESC", nullptr},
        {"Label1_3", "Время ожидания:", 2760, 1575, &txtVW, "txtVW", "0 - не проверять хост"},
        {"Label1_4", "Количество пингов:", 2760, 1575, &txtVN, "txtVN", nullptr},
        {"Label1_5", "Размер буфера отправки:", 2280, 2055, &txtVL, "txtVL", nullptr},
        {"Label1_6", "TTL:", 2760, 1575, &txtVI, "txtVI", nullptr},
        {"Label1_7", "Цвет линии:", 2760, 1575, &txtCOLOR, "txtCOLOR", nullptr},
    };
    const int labelLimit = lstAdr->geometry().right() + 1 + kLabelGap;
    double top = 360;
    for (const Field& f : fields) {
        QLabel* label =
            makeLabel(Frame1, QString::fromLatin1(f.label), QString::fromUtf8(f.caption),
                      f.labelLeft, top, f.labelWidth, 255, Qt::AlignRight);
        fitLabel(label, labelLimit);
        *f.edit = makeEdit(Frame1, QString::fromLatin1(f.name), 4440, top, 2415, 285,
                           f.toolTip ? QString::fromUtf8(f.toolTip) : QString());
        top += 360;
    }
    // The key is the database's: shown, never typed.
    txtID->setEnabled(false);

    cmdDel = makeButton(Frame1, QStringLiteral("cmdDel"), QStringLiteral("Удалить запись"), 7080,
                        360, 1215, 495, &frmBase::cmdDel_Click);
    cmdClear = makeButton(Frame1, QStringLiteral("cmdClear"), QStringLiteral("Очистить поля"), 7080,
                          1120, 1215, 495, &frmBase::cmdClear_Click);
    cmdAdd = makeButton(Frame1, QStringLiteral("cmdAdd"), QStringLiteral("Добавить запись"), 7080,
                        1880, 1215, 495, &frmBase::cmdAdd_Click);
    cmdEdit = makeButton(Frame1, QStringLiteral("cmdEdit"), QStringLiteral("Сохранить изменения"),
                         7080, 2640, 1215, 495, &frmBase::cmdEdit_Click);
    // In the room left of "id:", on the row of the host shown: the host it is reached through.
    cmdParent = makeButton(Frame1, QStringLiteral("cmdParent"), QStringLiteral("Зависит от..."),
                           2400, 360, 1215, 285, &frmBase::cmdParent_Click);
    cmdParent->setEnabled(false);
    // Below it: how many failed checks in a row announce the host down, and the planned work.
    cmdConfirm = makeButton(Frame1, QStringLiteral("cmdConfirm"), confirmCaption(1), 2400, 720,
                            1035, 285, &frmBase::cmdConfirm_Click,
                            QStringLiteral("Сколько проверок подряд без ответа до тревоги"));
    cmdConfirm->setEnabled(false);

    connect(txtID, &QLineEdit::textChanged, this, [this](const QString& id) {
        cmdParent->setEnabled(!id.isEmpty());
        cmdConfirm->setEnabled(!id.isEmpty());
        if (id.isEmpty()) cmdConfirm->setText(confirmCaption(1));
        if (id.isEmpty())
            cmdParent->setToolTip(QStringLiteral("Хост, через который доступен показанный"));
    });
}

void frmBase::buildDetailFrame()
{
    Frame4 = new QGroupBox(QStringLiteral("Детализация"), Frame1);
    Frame4->setObjectName(QStringLiteral("Frame4"));
    Frame4->setFont(m_normalFont);
    place(Frame4, 2400, 3360, 5895, 2175);

    const QString lastRows = QStringLiteral("последние 1500 записей");
    Command3 = makeButton(Frame4, QStringLiteral("Command3"), QStringLiteral("Отчёт (Проверка)"),
                          2880, 3840, 1215, 615, &frmBase::Command3_Click, lastRows);
    Command4 = makeButton(Frame4, QStringLiteral("Command4"), QStringLiteral("Отчёт (Обрывы)"),
                          2880, 4560, 1215, 615, &frmBase::Command4_Click, lastRows);
    // Under the reports, as wide as the room left of the text allows.
    cmdMaintenance =
        makeButton(Frame4, QStringLiteral("cmdMaintenance"), QStringLiteral("Обслуживание..."),
                   2520, 5220, 1800, 285, &frmBase::cmdMaintenance_Click,
                   QStringLiteral("Окна плановых работ: хосты проверяются, тревоги нет"));

    txtDetail = new QPlainTextEdit(Frame4);
    txtDetail->setObjectName(QStringLiteral("txtDetail"));
    txtDetail->setFont(m_normalFont);
    txtDetail->setReadOnly(true);
    txtDetail->setLineWrapMode(QPlainTextEdit::NoWrap);
    txtDetail->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    txtDetail->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    // The headers put three tabs where a row has a date and one tab: the tab stops must fall so
    // that both land on the same column.
    const QString sampleDate = generalDateText(QDateTime(QDate(2026, 12, 28), QTime(20, 28, 28)));
    txtDetail->setTabStopDistance(
        QFontMetricsF(m_normalFont).horizontalAdvance(sampleDate + QLatin1Char(' ')) / 2.5);
    place(txtDetail, 4440, 3600, 3735, 1815);
}

void frmBase::buildOptionsFrame()
{
    QFont bold = m_normalFont;
    bold.setBold(true);

    Frame2 = new QGroupBox(QStringLiteral("Другие параметры"), this);
    Frame2->setObjectName(QStringLiteral("Frame2"));
    Frame2->setFont(bold);
    place(Frame2, 0, 5760, 8535, 3495);

    const QString inProgramFolder = QStringLiteral("Должен быть в папке с программой");
    QLabel* label2 =
        makeLabel(Frame2, QStringLiteral("Label2"), QStringLiteral("Интервал проверки (мин):"), 120,
                  6120, 1980, 195, Qt::AlignLeft);
    txtInt = makeEdit(Frame2, QStringLiteral("txtInt"), 3840, 6000, 1215, 285);
    txtInt->setText(QStringLiteral("10"));
    QLabel* label4 = makeLabel(Frame2, QStringLiteral("Label4"),
                               QStringLiteral("Звук при пропадании соединения (*.wav):"), 120, 6480,
                               3150, 195, Qt::AlignLeft);
    txtSoundDown =
        makeEdit(Frame2, QStringLiteral("txtSoundDown"), 3840, 6360, 3135, 285, inProgramFolder);
    txtSoundDown->setText(QStringLiteral("down.wav"));
    Command1 = makeButton(Frame2, QStringLiteral("Command1"), QStringLiteral("test"), 7200, 6360,
                          1095, 255, &frmBase::Command1_Click);
    QLabel* label3 = makeLabel(Frame2, QStringLiteral("Label3"),
                               QStringLiteral("Звук при восстановлении соединения (*.wav):"), 120,
                               6840, 3495, 195, Qt::AlignLeft);
    txtSoundUp =
        makeEdit(Frame2, QStringLiteral("txtSoundUp"), 3840, 6720, 3135, 285, inProgramFolder);
    txtSoundUp->setText(QStringLiteral("up.wav"));
    Command2 = makeButton(Frame2, QStringLiteral("Command2"), QStringLiteral("test"), 7200, 6720,
                          1095, 255, &frmBase::Command2_Click);
    const int labelLimit = txtInt->geometry().left() - 1 - kLabelGap;
    for (QLabel* label : {label2, label4, label3}) fitLabel(label, labelLimit);

    cmdClearLog =
        makeButton(Frame2, QStringLiteral("cmdClearLog"), QStringLiteral("Очистить все логи"), 7200,
                   7320, 1095, 615, &frmBase::cmdClearLog_Click);
    // Between the two, where the frame had room: the chats beside the alert mail.
    cmdChannels =
        makeButton(Frame2, QStringLiteral("cmdChannels"), QStringLiteral("Каналы оповещения..."),
                   7200, 7950, 1095, 555, &frmBase::cmdChannels_Click,
                   QStringLiteral("Оповещения в Telegram и на webhook (Mattermost, Slack...)"));
    // Its longest word is wider than the column of buttons in most desktop fonts: narrowed, as a
    // label's caption is, and made smaller where the font has no narrower form.
    const QString word = QStringLiteral("оповещения...");
    const int room = cmdChannels->captionRect().width();
    QFont narrow = cmdChannels->font();
    if (const int need = QFontMetrics(narrow).horizontalAdvance(word); need > room)
        narrow.setStretch(std::max(75, 100 * room / need));
    if (const int need = QFontMetrics(narrow).horizontalAdvance(word);
        need > room && narrow.pointSizeF() > 0)
        narrow.setPointSizeF(narrow.pointSizeF() * room / need);
    cmdChannels->setFont(narrow);
    cmdSaveOpt =
        makeButton(Frame2, QStringLiteral("cmdSaveOpt"), QStringLiteral("Сохранить параметры"),
                   7200, 8520, 1095, 615, &frmBase::cmdSaveOpt_Click);

    // Right of the interval, where the frame had room. A choice of this user's on this desktop,
    // not of the database: it takes effect at once, without "Сохранить параметры".
    chkNotify = new QCheckBox(QStringLiteral("Всплывающие уведомления"), Frame2);
    chkNotify->setObjectName(QStringLiteral("chkNotify"));
    chkNotify->setFont(m_normalFont);
    chkNotify->setToolTip(
        QStringLiteral("Сообщение рабочего стола после каждой проверки с изменениями "
                       "(не в режиме «Не беспокоить»). Действует сразу, для вас на "
                       "этом компьютере"));
    place(chkNotify, 5280, 6000, 3135, 285);
    chkNotify->setChecked(desktopNotificationsOn());
    connect(chkNotify, &QCheckBox::toggled, this, [](bool on) { setDesktopNotificationsOn(on); });
}

void frmBase::buildRecipientFrame()
{
    Frame3 = new QGroupBox(QStringLiteral("Уведомлять о событиях на email"), Frame2);
    Frame3->setObjectName(QStringLiteral("Frame3"));
    Frame3->setFont(m_normalFont);
    place(Frame3, 120, 7200, 6855, 1935);

    cmdDelSMTP =
        makeButton(Frame3, QStringLiteral("cmdDelSMTP"), QStringLiteral("X"), 6240, 7440, 375, 375,
                   &frmBase::cmdDelSMTP_Click, QStringLiteral("Удалить \"email\""));
    // Below "X", where the frame had room: what today's mail servers also want to know.
    cmdMailServer = makeButton(Frame3, QStringLiteral("cmdMailServer"), QStringLiteral("..."), 6240,
                               7905, 375, 300, &frmBase::cmdMailServer_Click,
                               QStringLiteral("Порт, защита соединения и вход на почтовый сервер"));
    struct Field {
        const char* label;
        const char* caption;
        double labelLeft, labelWidth, top;
        QLineEdit** edit;
        const char* name;
    };
    const Field fields[] = {
        {"Label1_8", "SMTP сервер:", 375, 1080, 7560, &txtSmtp, "txtSmtp"},
        {"Label1_11", "Email From:", 645, 810, 7920, &txtFROM, "txtFROM"},
        {"Label1_9", "Email to:", 855, 600, 8280, &txtTO, "txtTO"},
        {"Label1_10", "Описание:", 660, 795, 8640, &txtEDesc, "txtEDesc"},
    };
    for (const Field& f : fields) {
        QLabel* label =
            makeLabel(Frame3, QString::fromLatin1(f.label), QString::fromUtf8(f.caption),
                      f.labelLeft, f.top, f.labelWidth, 195, Qt::AlignRight);
        fitLabel(label, kLabelGap);
        *f.edit = makeEdit(Frame3, QString::fromLatin1(f.name), 1560, f.top, 4335, 285);
    }
}

void frmBase::applyThinBorders()
{
    for (QWidget* control : std::initializer_list<QWidget*>{
             Frame1,        Frame2,    lstAdr,      txtInt,     txtSmtp,       txtSoundUp,
             txtSoundDown,  txtDESC,   txtVW,       txtVL,      txtVI,         txtVN,
             txtCOLOR,      txtEDesc,  txtID,       txtIP,      Command1,      Command2,
             Command3,      Command4,  txtTO,       txtFROM,    cmdSaveOpt,    cmdEdit,
             cmdDel,        cmdAdd,    cmdClear,    cmdDelSMTP, txtDetail,     cmdClearLog,
             cmdMailServer, cmdParent, cmdChannels, cmdConfirm, cmdMaintenance})
        SetThinBorder(control);
}

bool frmBase::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == lstAdr->viewport() && event->type() == QEvent::MouseButtonPress) {
        const QListWidgetItem* item =
            lstAdr->itemAt(static_cast<QMouseEvent*>(event)->position().toPoint());
        m_pressOnSelected = item && item->isSelected();
    }
    return QWidget::eventFilter(watched, event);
}

// ---- Messages and failures -----------------------------------------------------------------

void frmBase::guarded(void (frmBase::*handler)())
{
    try {
        (this->*handler)();
    } catch (const DbError& e) {
        showFailure(e.userText());
    } catch (const std::exception& e) {
        showFailure(QString::fromLocal8Bit(e.what()));
    }
}

void frmBase::showFailure(const QString& text)
{
    m_deps.boxes->ask({text, kAppTitle, MsgButtons::Ok, MsgIcon::Stop, this});
}

void frmBase::refuse(const QString& text)
{
    m_deps.boxes->ask({text, kAppTitle, MsgButtons::Ok, MsgIcon::Exclamation, this});
}

bool frmBase::confirm(const QString& text, const QString& title)
{
    return m_deps.boxes->ask({text, title, MsgButtons::YesNo, MsgIcon::Question, this}) ==
           MsgAnswer::Yes;
}

Database& frmBase::db()
{
    if (!m_db) throw DbError(dbcode::CantOpen, QStringLiteral("окно не подключено к базе данных"));
    return *m_db;
}

// ---- Loading and unloading -----------------------------------------------------------------

bool frmBase::Form_Load()
{
    applyThinBorders();
    try {
        m_db =
            std::make_unique<Database>(Database::locationOr(m_deps.database, m_deps.programFolder),
                                       Database::uniqueName(QStringLiteral("frmBase")));
        readSettings();
        readRecipient();
        GetAdr();
    } catch (const DbError& e) {
        m_db.reset();
        showFailure(e.userText());
        return false;
    } catch (const std::exception& e) {
        m_db.reset();
        showFailure(QString::fromLocal8Bit(e.what()));
        return false;
    }
    cmdClear_Click();
    return true;
}

void frmBase::readSettings()
{
    // Without a settings row the boxes keep their defaults.
    const std::optional<EditedSettings> s = readEditedSettings(db());
    if (!s) return;
    txtInt->setText(s->interval);
    txtSoundUp->setText(s->sndUp);
    txtSoundDown->setText(s->sndDown);
}

void frmBase::readRecipient()
{
    const std::optional<RecipientRow> row = readRecipientRow(db());
    if (!row) return;
    const auto text = [](const QVariant& v) { return v.isNull() ? QString() : v.toString(); };
    txtSmtp->setText(text(row->smtp));
    txtFROM->setText(text(row->from));
    txtTO->setText(text(row->email));
    txtEDesc->setText(text(row->desc));
}

void frmBase::closeEvent(QCloseEvent* event)
{
    Form_Unload();
    QWidget::closeEvent(event);
}

void frmBase::Form_Unload()
{
    // Nothing is saved: text typed and not saved is dropped, as the user expects of this window.
    m_db.reset();
}

// ---- Host records --------------------------------------------------------------------------

void frmBase::GetAdr()
{
    // Rebuilding the list is not a choice of the user's: it must not show a record.
    const QSignalBlocker quiet(lstAdr);
    lstAdr->clear();
    lstAdr->addItems(hostAddresses(db()));
    // Through the view, not the list: only then does the list's first focus leave the
    // current-item mark off the first address.
    lstAdr->setCurrentIndex(QModelIndex());
}

void frmBase::lstAdr_Click()
{
    const QList<QListWidgetItem*> selected = lstAdr->selectedItems();
    if (selected.isEmpty()) return;
    // Addresses are not unique: the oldest host of that address is the one shown.
    const std::optional<HostRow> host = firstHostAt(db(), selected.first()->text());
    if (!host) return;  // removed meanwhile: the boxes keep what they hold
    txtID->setText(QString::number(host->id));
    showFields(host->fields);
    showParent();
    showConfirm();
}

void frmBase::showConfirm()
{
    if (txtID->text().isEmpty()) return;
    cmdConfirm->setText(confirmCaption(confirmOf(db(), txtID->text().toLongLong())));
}

// Over this window only, like the parent's dialog: the monitor and the other windows go on.
void frmBase::cmdConfirm_Click()
{
    if (txtID->text().isEmpty()) return;
    const qint64 host = txtID->text().toLongLong();
    auto* dialog = new QInputDialog(this);
    dialog->setObjectName(QStringLiteral("dlgConfirm"));
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setWindowTitle(QStringLiteral("Подтверждение тревоги"));
    dialog->setLabelText(QStringLiteral("Проверок подряд без ответа до тревоги (1 - сразу):"));
    dialog->setInputMode(QInputDialog::IntInput);
    dialog->setIntRange(kConfirmMin, kConfirmMax);
    dialog->setIntValue(confirmOf(db(), host));
    connect(dialog, &QInputDialog::intValueSelected, this, [this, host](int n) {
        m_confirmTo = {host, n};
        guarded(&frmBase::saveConfirm);
    });
    dialog->setWindowModality(Qt::WindowModal);
    dialog->show();
}

void frmBase::saveConfirm()
{
    if (!setConfirm(db(), m_confirmTo.first, m_confirmTo.second)) return;
    showConfirm();
}

void frmBase::cmdMaintenance_Click()
{
    if (m_maintenance) {
        m_maintenance->raise();
        m_maintenance->activateWindow();
        return;
    }
    auto* dialog = new frmMaintenance({.db = &db(), .boxes = m_deps.boxes}, this);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    if (!dialog->Form_Load()) {
        delete dialog;
        return;
    }
    m_maintenance = dialog;
    dialog->setWindowModality(Qt::WindowModal);
    dialog->show();
}

// The host shown's parent, in the button's tool tip.
void frmBase::showParent()
{
    if (txtID->text().isEmpty()) return;
    const std::optional<HostNode> parent = parentOf(db(), txtID->text().toLongLong());
    cmdParent->setToolTip(
        !parent ? QStringLiteral("Ни от какого хоста не зависит")
                : QStringLiteral("Доступен через %1").arg(hostLabel(parent->desc, parent->ip)));
}

void frmBase::cmdParent_Click()
{
    if (txtID->text().isEmpty()) return;
    if (m_parentChooser) {
        m_parentChooser->raise();
        m_parentChooser->activateWindow();
        return;
    }
    auto* dialog = new frmParent(
        {.db = &db(), .boxes = m_deps.boxes, .host = txtID->text().toLongLong()}, this);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    if (!dialog->Form_Load()) {
        delete dialog;
        return;
    }
    m_parentChooser = dialog;
    connect(dialog, &QDialog::accepted, this, [this] { guarded(&frmBase::showParent); });
    // Over this window only: the monitor and the other windows go on.
    dialog->setWindowModality(Qt::WindowModal);
    dialog->show();
}

void frmBase::cmdClear_Click()
{
    txtID->setText(QString());
    showFields({.ip = {},
                .desc = {},
                .vw = HostDefaults::vw,
                .vn = HostDefaults::vn,
                .vl = HostDefaults::vl,
                .vi = HostDefaults::vi,
                .color = HostDefaults::color});
}

void frmBase::showFields(const HostFields& h)
{
    txtIP->setText(h.ip);
    txtDESC->setText(h.desc);
    txtVW->setText(h.vw);
    txtVN->setText(h.vn);
    txtVL->setText(h.vl);
    txtVI->setText(h.vi);
    txtCOLOR->setText(h.color);
}

HostFields frmBase::typedFields() const
{
    return {.ip = txtIP->text(),
            .desc = txtDESC->text(),
            .vw = txtVW->text(),
            .vn = txtVN->text(),
            .vl = txtVL->text(),
            .vi = txtVI->text(),
            .color = txtCOLOR->text()};
}

bool frmBase::hostInputAccepted()
{
    std::optional<QString> refusal = hostRefusal(txtIP->text(), txtVW->text(), txtVN->text());
    if (!refusal) refusal = descriptionRefusal(txtDESC->text());
    if (refusal) {
        refuse(*refusal);
        return false;
    }
    return true;
}

void frmBase::cmdAdd_Click()
{
    if (txtIP->text().isEmpty()) return;
    if (!hostInputAccepted()) return;
    // The address is compared as typed: with a blank in front it is another host.
    if (addressTaken(db(), txtIP->text())) {
        refuse(QStringLiteral("Такой ip адрес уже есть в базе"));
        return;
    }
    insertHost(db(), typedFields());
    GetAdr();
    cmdClear_Click();
}

void frmBase::cmdEdit_Click()
{
    if (txtID->text().isEmpty() || txtIP->text().isEmpty()) return;
    if (!hostInputAccepted()) return;
    if (!confirm(QStringLiteral("Сохранить изменения "), QStringLiteral("Изменить?"))) return;
    // No duplicate test here: two hosts may be given the same address on purpose.
    updateHost(db(), txtID->text().toLongLong(), typedFields());
    GetAdr();
    cmdClear_Click();
}

void frmBase::cmdDel_Click()
{
    if (txtID->text().isEmpty()) return;
    if (!confirm(QStringLiteral("Вы хотите удалить адрес ") + txtIP->text() +
                     QStringLiteral("\r\nи всё что с ним связано?"),
                 QStringLiteral("Удалить?")))
        return;
    {
        // The host's checks and outages go with it, which may be many rows.
        BusyPointer busy(this);
        deleteHost(db(), txtID->text().toLongLong());
    }
    cmdClear_Click();
    GetAdr();
}

// ---- Settings, recipient and purge ---------------------------------------------------------

void frmBase::cmdSaveOpt_Click()
{
    const IntervalInput interval = intervalInput(txtInt->text());
    if (!interval.refusal.isEmpty()) {
        refuse(interval.refusal);
        return;
    }
    std::optional<QString> refusal = recipientRefusal(txtTO->text());
    for (const QLineEdit* box : {txtSmtp, txtFROM, txtTO, txtEDesc})
        if (!refusal) refusal = mailFieldRefusal(box->text());
    if (refusal) {
        refuse(*refusal);
        return;
    }
    const bool saveOptions = confirm(QStringLiteral("Сохранить изменения?\r\n"
                                                    "Изменения вступят в силу после \r\n"
                                                    "перезапуска программы"),
                                     QStringLiteral("Сохранить?"));
    // The recipient is saved whatever the answer: the question is about the restart only.
    db().transaction([&] {
        if (saveOptions)
            saveEditedSettings(db(), interval.minutes, txtSoundUp->text(), txtSoundDown->text());
        saveRecipient(db(), {.smtp = txtSmtp->text(),
                             .from = txtFROM->text(),
                             .email = txtTO->text(),
                             .desc = txtEDesc->text()});
    });
}

void frmBase::cmdDelSMTP_Click()
{
    if (!confirm(QStringLiteral("Удалить email?"), QStringLiteral("Изменить?"))) return;
    deleteRecipients(db());
    for (QLineEdit* box : {txtSmtp, txtFROM, txtTO, txtEDesc}) box->setText(QString());
}

void frmBase::cmdMailServer_Click()
{
    if (m_mailServer) {
        m_mailServer->raise();
        m_mailServer->activateWindow();
        return;
    }
    RecipientRow addresses;
    addresses.smtp = txtSmtp->text();
    addresses.from = txtFROM->text();
    addresses.email = txtTO->text();
    addresses.desc = txtEDesc->text();
    auto* dialog = new frmMailServer({.db = &db(),
                                      .boxes = m_deps.boxes,
                                      .clock = m_deps.clock,
                                      .secrets = m_deps.secrets,
                                      .addresses = addresses},
                                     this);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    if (!dialog->Form_Load()) {
        delete dialog;
        return;
    }
    m_mailServer = dialog;
    // Over this window only: the monitor and the other windows go on.
    dialog->setWindowModality(Qt::WindowModal);
    dialog->show();
}

void frmBase::cmdChannels_Click()
{
    if (m_channels) {
        m_channels->raise();
        m_channels->activateWindow();
        return;
    }
    auto* dialog = new frmChannels({.db = &db(),
                                    .boxes = m_deps.boxes,
                                    .secrets = m_deps.secrets,
                                    .monitor = thisProcess(QStringLiteral("sentrok"))},
                                   this);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    if (!dialog->Form_Load()) {
        delete dialog;
        return;
    }
    m_channels = dialog;
    dialog->setWindowModality(Qt::WindowModal);
    dialog->show();
}

void frmBase::Command1_Click()
{
    if (m_deps.sound) m_deps.sound->PlayTestSound(txtSoundDown->text());
}

void frmBase::Command2_Click()
{
    if (m_deps.sound) m_deps.sound->PlayTestSound(txtSoundUp->text());
}

void frmBase::cmdClearLog_Click()
{
    if (!confirm(QStringLiteral("Стереть логи из базы?\r\n(База адресов сохранится)"),
                 QStringLiteral("Очистить?")))
        return;
    if (m_purge) return;  // one is under way already
    // A large log takes a while: the rows go in batches off the window's thread, the window stays
    // usable with the busy pointer, and passes keep recording (what they write from now on stays).
    // The totals summarise the log and go with it, at the start, so those that passes add from
    // then on match the rows that stay.
    auto* purge = new TablePurge(
        db().location(),
        {QStringLiteral("noconnect"), QStringLiteral("log"), QStringLiteral("events"),
         QStringLiteral("passes"), QStringLiteral("pass_requests")},
        {QStringLiteral("log_hourly"), QStringLiteral("log_daily")}, QCoreApplication::instance());
    m_purge = purge;
    setCursor(Qt::WaitCursor);
    connect(purge, &TablePurge::finished, purge, &QObject::deleteLater);
    connect(purge, &TablePurge::finished, this, [this](const QString& error) {
        unsetCursor();
        if (!error.isEmpty())
            m_deps.boxes->tell({error, kAppTitle, MsgButtons::Ok, MsgIcon::Stop, this});
    });
    purge->start();
}

// ---- Reports -------------------------------------------------------------------------------

void frmBase::showReport(QString (*compose)(Database&, qint64, const QLocale&))
{
    // The report is of the host shown in the boxes, not of the list's selection.
    if (txtID->text().isEmpty()) return;
    BusyPointer busy(this);
    txtDetail->setPlainText(compose(db(), txtID->text().toLongLong(), QLocale()));
}

void frmBase::Command3_Click() { showReport(&checksReport); }

void frmBase::Command4_Click() { showReport(&outagesReport); }

}  // namespace sentrok
