#pragma once

#include "common/clock.h"
#include "common/messages.h"
#include "history/historyquery.h"

#include <QWidget>

#include <memory>

class QComboBox;
class QDateTimeEdit;
class QLabel;
class QPushButton;
class QSortFilterProxyModel;
class QSpinBox;
class QTabWidget;
class QTableView;

namespace sentrok {

class DbError;
class DbWorker;
class FiguresModel;
class HistoryChart;
class LogRetention;

struct HistoryWindowDeps {
    QString programFolder{};
    MessageBoxes* boxes = nullptr;
    const Clock* clock = nullptr;
    LogRetention* retention = nullptr;  // told when the kept days change
    QString database{};                 // a file or a URL; empty: sentrok.mdb in programFolder
};

// "История": how available the hosts were. One host over a period as a reply-time chart with
// its outages and figures; every host as a table to sort, export and print. Every query runs
// on a thread and connection of the window's own, so the window answers while it waits.
class frmHistory final : public QWidget {
    Q_OBJECT
public:
    enum PeriodChoice { Day, Week, Month, Custom };

    explicit frmHistory(HistoryWindowDeps deps, QWidget* parent = nullptr);
    ~frmHistory() override;

    // Starts the window's thread and asks for the hosts. False when there is no database.
    bool Form_Load();
    // Shows the first host with this address, on the host page.
    void showHost(const QString& ip);
    void setPeriod(PeriodChoice choice, const QDateTime& from = {}, const QDateTime& to = {});
    void showAllHosts();

    bool busy() const { return m_pending > 0; }
    std::pair<QDateTime, QDateTime> period() const;
    const HostHistory& hostShown() const { return m_host; }
    const std::vector<HostFigures>& tableShown() const { return m_table; }
    HistoryChart* chart() const { return m_chart; }

    // Writes the table as CSV for a spreadsheet program of the user's locale.
    bool exportCsv(const QString& file);
    // Writes the report on the window's thread; exported() tells when it is there.
    void exportPdf(const QString& file);

signals:
    void hostLoaded();
    void tableLoaded();
    void exported(const QString& file, const QString& error);
    void keepDaysSaved();

private:
    void buildControls();
    // Reads the hosts into the list, then shows the one asked for meanwhile, if any.
    void readHosts();
    int hostIndex(const QString& ip) const;
    QWidget* buildHostPage();
    QWidget* buildTablePage();
    void periodChanged();
    void refresh();
    void loadHost();
    void loadTable();
    void showFigures(const HostHistory& h);
    void started();
    void finished();
    void failed(const DbError& e);
    void cmdCsv_Click();
    void cmdPdf_Click();
    void cmdPrint_Click();
    void cmdKeepDays_Click();

    HistoryWindowDeps m_deps;
    std::unique_ptr<DbWorker> m_thread;
    int m_pending = 0;
    quint64 m_hostRequest = 0, m_tableRequest = 0;
    QString m_wantedIp;  // asked for before the list had it
    bool m_readingHosts = false;
    bool m_hostsRead = false;
    QString m_tablePeriod;  // the period the table was read for
    HostHistory m_host;
    std::vector<HostFigures> m_table;

    QComboBox* cboHost = nullptr;
    QComboBox* cboPeriod = nullptr;
    QDateTimeEdit* dtFrom = nullptr;
    QDateTimeEdit* dtTo = nullptr;
    QPushButton* cmdRefresh = nullptr;
    QTabWidget* tabs = nullptr;
    HistoryChart* m_chart = nullptr;
    QList<QLabel*> m_figures;
    QTableView* grdHosts = nullptr;
    FiguresModel* m_model = nullptr;
    QSortFilterProxyModel* m_sorted = nullptr;
    QPushButton* cmdCsv = nullptr;
    QPushButton* cmdPdf = nullptr;
    QPushButton* cmdPrint = nullptr;
    QSpinBox* spnKeepDays = nullptr;
    QPushButton* cmdKeepDays = nullptr;
    QLabel* lblStatus = nullptr;
};

}  // namespace sentrok
