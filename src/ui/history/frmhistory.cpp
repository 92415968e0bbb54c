#include "ui/history/frmhistory.h"

#include "common/datetext.h"
#include "history/csv.h"
#include "history/retention.h"
#include "store/database.h"
#include "store/dbworker.h"
#include "ui/controls/windowgeometry.h"
#include "ui/history/availabilityreport.h"
#include "ui/history/charticks.h"
#include "ui/history/historychart.h"

#include <QAbstractTableModel>
#include <QComboBox>
#include <QDateTimeEdit>
#include <QFile>
#include <QFileDialog>
#include <QFormLayout>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPrintDialog>
#include <QPrinter>
#include <QPushButton>
#include <QSaveFile>
#include <QSortFilterProxyModel>
#include <QSpinBox>
#include <QTabWidget>
#include <QTableView>
#include <QVBoxLayout>

namespace sentrok {

// Every host's figures, one row a host; sorts by the values, not their texts.
class FiguresModel final : public QAbstractTableModel {
public:
    using QAbstractTableModel::QAbstractTableModel;
    enum Column {
        Desc,
        Ip,
        Availability,
        Checks,
        Loss,
        Outages,
        Downtime,
        Behind,
        Longest,
        Mttr,
        Min,
        Mean,
        Max,
        P95,
        Count
    };

    void setFigures(std::vector<HostFigures> f)
    {
        beginResetModel();
        m_rows = std::move(f);
        endResetModel();
    }
    const HostFigures& at(int row) const { return m_rows[std::size_t(row)]; }
    int rowCount(const QModelIndex& parent = {}) const override
    {
        return parent.isValid() ? 0 : int(m_rows.size());
    }
    int columnCount(const QModelIndex& parent = {}) const override
    {
        return parent.isValid() ? 0 : Count;
    }

    QVariant headerData(int section, Qt::Orientation o, int role) const override
    {
        static const char* const names[] = {
            "Описание", "IP-адрес", "Доступность",    "Проверок",     "Потери",
            "Обрывов",  "Простой",  "Из-за родителя", "Самый долгий", "Ср. восстановление",
            "Мин, мс",  "Сред, мс", "Макс, мс",       "95%, мс"};
        if (o == Qt::Horizontal && role == Qt::DisplayRole && section >= 0 && section < Count)
            return QString::fromUtf8(names[section]);
        if (o == Qt::Horizontal && role == Qt::ToolTipRole && section == Behind)
            return QStringLiteral(
                "Часть простоя, пока не отвечал хост, через который этот доступен "
                "(или тот, через который доступен он)");
        return {};
    }

    QVariant data(const QModelIndex& index, int role) const override
    {
        if (!index.isValid()) return {};
        const HostFigures& f = at(index.row());
        const ReplyTotals& t = f.totals;
        if (role == Qt::BackgroundRole) return tierColor(tierOf(f.availability));
        if (role == Qt::TextAlignmentRole)
            return int((index.column() <= Ip ? Qt::AlignLeft : Qt::AlignRight) | Qt::AlignVCenter);
        if (role == Qt::UserRole) {  // the sort key
            switch (index.column()) {
                case Desc:
                    return f.desc;
                case Ip:
                    return f.ip;
                case Availability:
                    return f.availability.value_or(-1.0);
                case Checks:
                    return t.checks;
                case Loss:
                    return f.lossShare().value_or(-1.0);
                case Outages:
                    return f.outages;
                case Downtime:
                    return f.downtimeSecs;
                case Behind:
                    return f.ancestorDownSecs;
                case Longest:
                    return f.longestSecs;
                case Mttr:
                    return f.mttrSecs.value_or(-1);
                case Min:
                    return t.replyMin;
                case Mean:
                    return t.mean().value_or(-1.0);
                case Max:
                    return t.replyMax;
                case P95:
                    return t.percentile(0.95).value_or(-1);
            }
        }
        if (role != Qt::DisplayRole) return {};
        switch (index.column()) {
            case Desc:
                return f.desc;
            case Ip:
                return f.ip;
            case Availability:
                return availabilityText(f);
            case Checks:
                return QString::number(t.checks);
            case Loss:
                return lossText(f);
            case Outages:
                return QString::number(f.outages);
            case Downtime:
                return durationText(f.downtimeSecs);
            case Behind:
                return durationText(f.ancestorDownSecs);
            case Longest:
                return durationText(f.longestSecs);
            case Mttr:
                return f.mttrSecs ? durationText(*f.mttrSecs) : QStringLiteral("—");
            case Min:
                return replyText(t.replyMin);
            case Mean:
                return meanText(f);
            case Max:
                return replyText(t.replyMax);
            case P95:
                return p95Text(f);
        }
        return {};
    }

private:
    std::vector<HostFigures> m_rows;
};

frmHistory::frmHistory(HistoryWindowDeps deps, QWidget* parent)
    : QWidget(parent, Qt::Window), m_deps(std::move(deps))
{
    setObjectName(QStringLiteral("frmHistory"));
    setWindowTitle(QStringLiteral("История"));
    buildControls();
    resize(1000, 640);
    fitToScreen(this);
}

frmHistory::~frmHistory() = default;

void frmHistory::buildControls()
{
    cboHost = new QComboBox;
    cboHost->setObjectName(QStringLiteral("cboHost"));
    // Narrow enough for the window to fit a small screen; the tool tip has the whole name.
    cboHost->setMinimumContentsLength(16);
    cboHost->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    cboPeriod = new QComboBox;
    cboPeriod->setObjectName(QStringLiteral("cboPeriod"));
    cboPeriod->addItems({QStringLiteral("24 часа"), QStringLiteral("7 дней"),
                         QStringLiteral("30 дней"), QStringLiteral("С … по …")});
    cboPeriod->setCurrentIndex(Day);
    dtFrom = new QDateTimeEdit;
    dtFrom->setObjectName(QStringLiteral("dtFrom"));
    dtTo = new QDateTimeEdit;
    dtTo->setObjectName(QStringLiteral("dtTo"));
    for (QDateTimeEdit* e : {dtFrom, dtTo}) {
        e->setDisplayFormat(QLocale().dateFormat(QLocale::ShortFormat) + u' ' +
                            hourMinuteFormat(QLocale()));
        e->setCalendarPopup(true);
        e->setEnabled(false);
    }
    cmdRefresh = new QPushButton(QStringLiteral("Обновить"));
    cmdRefresh->setObjectName(QStringLiteral("cmdRefresh"));
    // Two rows, so that the window fits a small screen without scrolling sideways.
    auto* top = new QGridLayout;
    top->addWidget(new QLabel(QStringLiteral("Хост:")), 0, 0);
    auto* host = new QHBoxLayout;
    host->addWidget(cboHost, 1);
    host->addWidget(cmdRefresh);
    top->addLayout(host, 0, 1, 1, 5);
    top->addWidget(new QLabel(QStringLiteral("Период:")), 1, 0);
    top->addWidget(cboPeriod, 1, 1);
    top->addWidget(dtFrom, 1, 2);
    top->addWidget(new QLabel(QStringLiteral("—")), 1, 3);
    top->addWidget(dtTo, 1, 4);
    top->setColumnStretch(5, 1);

    tabs = new QTabWidget;
    tabs->setObjectName(QStringLiteral("tabs"));
    tabs->addTab(buildHostPage(), QStringLiteral("Хост"));
    tabs->addTab(buildTablePage(), QStringLiteral("Все хосты"));

    auto* bottom = new QHBoxLayout;
    spnKeepDays = new QSpinBox;
    spnKeepDays->setObjectName(QStringLiteral("spnKeepDays"));
    spnKeepDays->setRange(0, 36500);
    spnKeepDays->setSpecialValueText(QStringLiteral("всегда"));
    spnKeepDays->setToolTip(
        QStringLiteral("Старые записи журнала удаляются понемногу; почасовые итоги и обрывы "
                       "остаются, доступность за любой период считается точно"));
    cmdKeepDays = new QPushButton(QStringLiteral("Сохранить"));
    cmdKeepDays->setObjectName(QStringLiteral("cmdKeepDays"));
    lblStatus = new QLabel;
    lblStatus->setObjectName(QStringLiteral("lblStatus"));
    bottom->addWidget(new QLabel(QStringLiteral("Хранить подробный журнал проверок, дней:")));
    bottom->addWidget(spnKeepDays);
    bottom->addWidget(cmdKeepDays);
    bottom->addSpacing(16);
    bottom->addWidget(lblStatus, 1);

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addWidget(tabs, 1);
    layout->addLayout(bottom);

    connect(cboHost, &QComboBox::currentIndexChanged, this, [this] { loadHost(); });
    connect(cboPeriod, &QComboBox::currentIndexChanged, this, [this] { periodChanged(); });
    connect(dtFrom, &QDateTimeEdit::editingFinished, this, [this] { refresh(); });
    connect(dtTo, &QDateTimeEdit::editingFinished, this, [this] { refresh(); });
    connect(cmdRefresh, &QPushButton::clicked, this, [this] {
        m_tablePeriod.clear();
        refresh();
    });
    connect(tabs, &QTabWidget::currentChanged, this, [this] { refresh(); });
    connect(cmdKeepDays, &QPushButton::clicked, this, [this] { cmdKeepDays_Click(); });
}

QWidget* frmHistory::buildHostPage()
{
    auto* page = new QWidget;
    auto* layout = new QHBoxLayout(page);
    m_chart = new HistoryChart;
    layout->addWidget(m_chart, 1);
    auto* panel = new QWidget;
    panel->setMinimumWidth(260);
    auto* form = new QFormLayout(panel);
    // Where the window is narrow a figure goes under its name rather than push the chart away.
    form->setRowWrapPolicy(QFormLayout::WrapLongRows);
    static const char* const rows[][2] = {
        {"lblAvailability", "Доступность:"},          {"lblChecks", "Проверок:"},
        {"lblFailed", "Неудачных (потери):"},         {"lblOutages", "Обрывов:"},
        {"lblLongest", "Самый долгий обрыв:"},        {"lblDowntime", "Общее время простоя:"},
        {"lblMttr", "Среднее время восстановления:"}, {"lblReply", "Ответ мин / сред / макс, мс:"},
        {"lblP95", "95-й процентиль ответа, мс:"},    {"lblPeriod", "Период хоста:"}};
    for (const auto& r : rows) {
        auto* value = new QLabel(QStringLiteral("—"));
        value->setObjectName(QString::fromLatin1(r[0]));
        value->setTextInteractionFlags(Qt::TextSelectableByMouse);
        value->setWordWrap(true);
        form->addRow(QString::fromUtf8(r[1]), value);
        m_figures << value;
    }
    auto* hint = new QLabel(QStringLiteral(
        "Колесо мыши — масштаб, перетаскивание — сдвиг, двойной щелчок — весь период"));
    hint->setWordWrap(true);
    hint->setEnabled(false);
    form->addRow(hint);
    layout->addWidget(panel);
    return page;
}

QWidget* frmHistory::buildTablePage()
{
    auto* page = new QWidget;
    auto* layout = new QVBoxLayout(page);
    m_model = new FiguresModel(this);
    m_sorted = new QSortFilterProxyModel(this);
    m_sorted->setSourceModel(m_model);
    m_sorted->setSortRole(Qt::UserRole);
    grdHosts = new QTableView;
    grdHosts->setObjectName(QStringLiteral("grdHosts"));
    grdHosts->setModel(m_sorted);
    grdHosts->setSortingEnabled(true);
    grdHosts->sortByColumn(FiguresModel::Availability, Qt::AscendingOrder);
    grdHosts->setSelectionBehavior(QAbstractItemView::SelectRows);
    grdHosts->setEditTriggers(QAbstractItemView::NoEditTriggers);
    grdHosts->verticalHeader()->hide();
    grdHosts->verticalHeader()->setDefaultSectionSize(grdHosts->fontMetrics().height() + 6);
    grdHosts->horizontalHeader()->setSectionResizeMode(QHeaderView::Interactive);
    grdHosts->horizontalHeader()->setStretchLastSection(true);
    // Widths fixed once: measuring a thousand rows at every load would hold the window up.
    const QFontMetrics metrics(grdHosts->horizontalHeader()->font());
    const int digit = metrics.horizontalAdvance(QLatin1Char('0'));
    constexpr int widths[] = {24, 15, 11, 9, 9, 8, 12, 12, 12, 12, 8, 8, 8, 8};
    static_assert(std::size(widths) == FiguresModel::Count);
    // A heading whole, with the style's margins and the room of the sort mark.
    for (int c = 0; c < FiguresModel::Count; ++c)
        grdHosts->setColumnWidth(
            c, std::max(widths[c] * digit, grdHosts->horizontalHeader()->sectionSizeHint(c)));
    // A double click shows that host's chart.
    connect(grdHosts, &QTableView::doubleClicked, this, [this](const QModelIndex& index) {
        showHost(m_model->at(m_sorted->mapToSource(index).row()).ip);
    });
    layout->addWidget(grdHosts, 1);
    auto* buttons = new QHBoxLayout;
    auto* legend = new QLabel(
        QStringLiteral("Цвет строки: зелёный ≥ %1, салатовый ≥ %2, жёлтый ≥ %3, красный — ниже")
            .arg(percentText(99.9, 1), percentText(99, 0), percentText(95, 0)));
    legend->setEnabled(false);
    legend->setWordWrap(true);
    buttons->addWidget(legend, 1);
    cmdCsv = new QPushButton(QStringLiteral("Экспорт в CSV…"));
    cmdCsv->setObjectName(QStringLiteral("cmdCsv"));
    cmdPdf = new QPushButton(QStringLiteral("Отчёт в PDF…"));
    cmdPdf->setObjectName(QStringLiteral("cmdPdf"));
    cmdPrint = new QPushButton(QStringLiteral("Печать…"));
    cmdPrint->setObjectName(QStringLiteral("cmdPrint"));
    for (QPushButton* b : {cmdCsv, cmdPdf, cmdPrint}) buttons->addWidget(b);
    connect(cmdCsv, &QPushButton::clicked, this, [this] { cmdCsv_Click(); });
    connect(cmdPdf, &QPushButton::clicked, this, [this] { cmdPdf_Click(); });
    connect(cmdPrint, &QPushButton::clicked, this, [this] { cmdPrint_Click(); });
    layout->addLayout(buttons);
    return page;
}

bool frmHistory::Form_Load()
{
    const QString file = Database::locationOr(m_deps.database, m_deps.programFolder);
    if (databaseMissing(file)) {
        m_deps.boxes->ask({QStringLiteral("Нет файла базы %1").arg(file), kAppTitle, MsgButtons::Ok,
                           MsgIcon::Stop, this});
        return false;
    }
    m_thread = std::make_unique<DbWorker>(
        file, DbWorker::Options{.connectionBase = QStringLiteral("frmHistory"),
                                .nice = DbWorker::kBackgroundNice});
    m_chart->showMessage(QStringLiteral("Чтение истории…"));
    readHosts();
    periodChanged();
    return true;
}

void frmHistory::readHosts()
{
    struct Loaded {
        std::vector<HostRef> hosts;
        int keepDays = 0;
    };
    m_readingHosts = true;
    started();
    m_thread->run<Loaded>(
        this,
        [](Database& db) {
            return Loaded{historyHosts(db), logKeepDays(db)};
        },
        [this](Loaded l) {
            finished();
            m_readingHosts = false;
            {
                // Filling the list is no choice of the user's; the choice comes after, unblocked,
                // so that the host asked for is read whatever its place in the list.
                const QSignalBlocker quiet(cboHost);
                const QString shown = cboHost->currentData().toList().value(1).toString();
                cboHost->clear();
                for (const HostRef& h : l.hosts)
                    cboHost->addItem(
                        h.desc.isEmpty() ? h.ip : QStringLiteral("%1 [%2]").arg(h.desc, h.ip),
                        QVariantList{h.id, h.ip});
                cboHost->setCurrentIndex(std::max(hostIndex(shown), 0));
            }
            // Read again for a host added since: what the user has typed there stays.
            if (!std::exchange(m_hostsRead, true)) spnKeepDays->setValue(l.keepDays);
            const QString wanted = std::exchange(m_wantedIp, QString());
            if (l.hosts.empty())
                m_chart->showMessage(QStringLiteral("В базе нет хостов"));
            else if (!wanted.isEmpty() && hostIndex(wanted) >= 0)
                showHost(wanted);
            else
                loadHost();
        },
        [this](const DbError& e) {
            m_readingHosts = false;
            failed(e);
        });
}

int frmHistory::hostIndex(const QString& ip) const
{
    for (int i = 0; i < cboHost->count(); ++i)
        if (cboHost->itemData(i).toList().value(1).toString() == ip) return i;
    return -1;
}

std::pair<QDateTime, QDateTime> frmHistory::period() const
{
    QDateTime now = m_deps.clock->now();
    now = now.addMSecs(-now.time().msec());
    switch (cboPeriod->currentIndex()) {
        case Day:
            return {now.addDays(-1), now};
        case Week:
            return {now.addDays(-7), now};
        case Month:
            return {now.addDays(-30), now};
        default:
            return {dtFrom->dateTime(), dtTo->dateTime()};
    }
}

void frmHistory::setPeriod(PeriodChoice choice, const QDateTime& from, const QDateTime& to)
{
    if (choice == Custom) {
        const QSignalBlocker a(dtFrom), b(dtTo);
        dtFrom->setDateTime(from);
        dtTo->setDateTime(to);
    }
    if (cboPeriod->currentIndex() == choice)
        refresh();
    else
        cboPeriod->setCurrentIndex(choice);
}

void frmHistory::periodChanged()
{
    const bool custom = cboPeriod->currentIndex() == Custom;
    if (!custom) {
        const auto [from, to] = period();
        dtFrom->setDateTime(from);
        dtTo->setDateTime(to);
    }
    dtFrom->setEnabled(custom);
    dtTo->setEnabled(custom);
    refresh();
}

void frmHistory::refresh()
{
    if (!m_thread) return;
    if (tabs->currentIndex() == 0)
        loadHost();
    else
        loadTable();
}

void frmHistory::showHost(const QString& ip)
{
    tabs->setCurrentIndex(0);
    const int i = hostIndex(ip);
    if (i < 0) {
        // Not listed yet: the list is being read, or the host was added after it was.
        m_wantedIp = ip;
        if (!m_readingHosts && m_thread) readHosts();
        return;
    }
    if (cboHost->currentIndex() == i)
        loadHost();
    else
        cboHost->setCurrentIndex(i);
}

void frmHistory::showAllHosts() { tabs->setCurrentIndex(1); }

void frmHistory::started()
{
    if (m_pending++ == 0) setCursor(Qt::WaitCursor);
    lblStatus->setText(QStringLiteral("Чтение истории…"));
}

void frmHistory::finished()
{
    if (--m_pending == 0) {
        unsetCursor();
        lblStatus->clear();
    }
}

void frmHistory::failed(const DbError& e)
{
    finished();
    lblStatus->setText(e.userText());
    m_deps.boxes->tell({e.userText(), kAppTitle, MsgButtons::Ok, MsgIcon::Stop, this});
}

void frmHistory::loadHost()
{
    if (!m_thread || cboHost->currentIndex() < 0 || tabs->currentIndex() != 0) return;
    cboHost->setToolTip(cboHost->currentText());
    const qint64 id = cboHost->currentData().toList().value(0).toLongLong();
    const auto [from, to] = period();
    const quint64 request = ++m_hostRequest;
    started();
    m_thread->run<HostHistory>(
        this, [id, from = from, to = to](Database& db) { return hostHistory(db, id, from, to); },
        [this, request](HostHistory h) {
            finished();
            if (request != m_hostRequest) return;  // a newer choice is on its way
            m_host = std::move(h);
            showFigures(m_host);
            m_chart->setHistory(m_host);
            emit hostLoaded();
        },
        [this](const DbError& e) { failed(e); });
}

void frmHistory::showFigures(const HostHistory& h)
{
    const HostFigures& f = h.figures;
    const ReplyTotals& t = f.totals;
    const auto loss = lossText(f);
    const QStringList values = {
        availabilityText(f),
        QString::number(t.checks),
        loss.isEmpty() ? QString::number(t.failed)
                       : QStringLiteral("%1 (%2)").arg(t.failed).arg(loss),
        QString::number(f.outages),
        durationText(f.longestSecs),
        f.ancestorDownSecs
            ? QStringLiteral("%1, из них при недоступном родителе %2")
                  .arg(durationText(f.downtimeSecs), durationText(f.ancestorDownSecs))
            : durationText(f.downtimeSecs),
        f.mttrSecs ? durationText(*f.mttrSecs) : QStringLiteral("—"),
        QStringLiteral("%1 / %2 / %3")
            .arg(replyText(t.replyMin), meanText(f), replyText(t.replyMax)),
        p95Text(f),
        f.periodSecs ? QStringLiteral("%1 — %2").arg(generalDateText(f.from), generalDateText(f.to))
                     : QStringLiteral("нет проверок в этом периоде"),
    };
    for (int i = 0; i < m_figures.size(); ++i) m_figures[i]->setText(values.value(i));
    QPalette pal = m_figures[0]->palette();
    m_figures[0]->setAutoFillBackground(true);
    pal.setColor(QPalette::Window, tierColor(tierOf(f.availability)));
    m_figures[0]->setPalette(pal);
}

void frmHistory::loadTable()
{
    const auto [from, to] = period();
    const QString key = storedDateText(from) + storedDateText(to);
    // Switching tabs back and forth does not read the same period again.
    if (key == m_tablePeriod && cboPeriod->currentIndex() == Custom) return;
    m_tablePeriod = key;
    const quint64 request = ++m_tableRequest;
    started();
    m_thread->run<std::vector<HostFigures>>(
        this, [from = from, to = to](Database& db) { return availabilityOf(db, from, to); },
        [this, request](std::vector<HostFigures> rows) {
            finished();
            if (request != m_tableRequest) return;
            m_table = rows;
            m_model->setFigures(std::move(rows));
            emit tableLoaded();
        },
        [this](const DbError& e) { failed(e); });
}

bool frmHistory::exportCsv(const QString& file)
{
    QSaveFile out(file);
    // For the user's spreadsheet program: its separator and decimals, and the mark that tells it
    // the text is UTF-8.
    if (!out.open(QIODevice::WriteOnly) || out.write("\xEF\xBB\xBF") < 0 ||
        out.write(figuresCsv(m_table, QLocale()).toUtf8()) < 0 || !out.commit()) {
        m_deps.boxes->ask({QStringLiteral("Файл %1 не записан: %2").arg(file, out.errorString()),
                           kAppTitle, MsgButtons::Ok, MsgIcon::Exclamation, this});
        return false;
    }
    return true;
}

void frmHistory::exportPdf(const QString& file)
{
    if (!m_thread) return;
    const auto [from, to] = period();
    const QDateTime made = m_deps.clock->now();
    started();
    lblStatus->setText(QStringLiteral("Составление отчёта…"));
    m_thread->run<QString>(
        this,
        [file, from = from, to = to, made](Database& db) {
            return writeReportPdf(file, gatherReport(db, from, to, made));
        },
        [this, file](QString error) {
            finished();
            if (!error.isEmpty())
                m_deps.boxes->tell({error, kAppTitle, MsgButtons::Ok, MsgIcon::Exclamation, this});
            emit exported(file, error);
        },
        [this](const DbError& e) { failed(e); });
}

namespace {

// Qt's own file dialog is made for a screen at 100 %: kept whole on a small or scaled one.
QString saveFileName(QWidget* parent, const QString& title, const QString& name,
                     const QString& filter)
{
    QFileDialog dialog(parent, title, name, filter);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    fitToScreen(&dialog);
    return dialog.exec() == QDialog::Accepted ? dialog.selectedFiles().value(0) : QString();
}

}  // namespace

void frmHistory::cmdCsv_Click()
{
    const QString file =
        saveFileName(this, QStringLiteral("Экспорт в CSV"), QStringLiteral("доступность.csv"),
                     QStringLiteral("CSV (*.csv)"));
    if (!file.isEmpty()) exportCsv(file);
}

void frmHistory::cmdPdf_Click()
{
    const QString file =
        saveFileName(this, QStringLiteral("Отчёт в PDF"), QStringLiteral("доступность.pdf"),
                     QStringLiteral("PDF (*.pdf)"));
    if (!file.isEmpty()) exportPdf(file);
}

void frmHistory::cmdPrint_Click()
{
    auto printer = std::make_shared<QPrinter>(QPrinter::HighResolution);
    printer->setPageOrientation(QPageLayout::Landscape);
    QPrintDialog dialog(printer.get(), this);
    fitToScreen(&dialog);
    if (dialog.exec() != QDialog::Accepted) return;
    const auto [from, to] = period();
    const QDateTime made = m_deps.clock->now();
    started();
    m_thread->run<bool>(
        this,
        [printer, from = from, to = to, made](Database& db) {
            paintReport(*printer, gatherReport(db, from, to, made));
            return true;
        },
        [this](bool) { finished(); }, [this](const DbError& e) { failed(e); });
}

void frmHistory::cmdKeepDays_Click()
{
    if (!m_thread) return;
    const int days = spnKeepDays->value();
    started();
    m_thread->run<bool>(
        this,
        [days](Database& db) {
            setLogKeepDays(db, days);
            return true;
        },
        [this](bool) {
            finished();
            if (m_deps.retention) m_deps.retention->runNow();
            emit keepDaysSaved();
        },
        [this](const DbError& e) { failed(e); });
}

}  // namespace sentrok
