#pragma once

#include "common/clock.h"
#include "common/messages.h"
#include "monitor/monitorview.h"
#include "session/session.h"
#include "store/database.h"
#include "store/settings.h"
#include "ui/admin/frmbase.h"
#include "ui/controls/windowgeometry.h"
#include "ui/history/frmhistory.h"
#include "ui/outages/frmnocon.h"

#include <QDateTime>
#include <QLabel>
#include <QMainWindow>
#include <QMap>
#include <QPointer>

#include <functional>
#include <memory>

class QMenu;
class QSystemTrayIcon;

namespace sentrok {

class DesktopNotifier;
class FlexGrid;
class MailAlert;
class Monitor;
class Viewer;
class SingleInstance;
class Sound;

// What the main window is given by main() or by a test.
struct MainWindowDeps {
    QString programFolder{};  // holds sentrok.mdb and the sounds
    QString lockFolder{};     // where the running-instance lock lives
    MessageBoxes* boxes = nullptr;
    const Clock* clock = nullptr;
    // The program's monitoring, opened and started by the load once the instance is the only one.
    Session* session = nullptr;
    // How an upgrade of the database at start is shown; cancelling it ends the program quietly.
    UpgradeProgress upgrade = {};
    // Whether the desktop shows tray icons, asked at the moment of hiding.
    std::function<bool()> trayAvailable = nullptr;
};

// The program's main window: the event grid, the status bar, the menus and the tray icon, and
// the life of the program.
class frmMain : public QMainWindow, public MonitorView {
    Q_OBJECT
public:
    // Headings of the event grid; the trailing blanks set the first widths.
    static inline const QString kGridFormat = QStringLiteral(
        "|Описание                      |Ip-адрес     |Дата/Время                |Вр.ож.|Вр.отв.");
    enum ExitCode { ExitOk = 0, ExitFatal = 1, ExitAlreadyRunning = 2 };
    // Event rows the grid keeps; older ones leave the view (the database keeps them all), so
    // months of flapping hosts cannot fill the memory.
    static constexpr int kEventRowsKept = 100'000;

    explicit frmMain(MainWindowDeps deps, QWidget* parent = nullptr);
    ~frmMain() override;

    // The start-up. False when the program must end instead of showing the window;
    // exitCode() says why.
    bool Form_Load();
    int exitCode() const { return m_exitCode; }
    // True once the shutdown has run.
    bool unloaded() const { return m_unloaded; }
    // The system ends the program (SIGTERM, SIGINT): the shutdown of a confirmed close,
    // without the question, then the event loop ends.
    void endSession();

    FlexGrid* grid() const { return m_fg; }
    Session* session() const { return m_deps.session; }
    Database* database() const;
    Monitor* monitor() const { return m_deps.session->monitor(); }
    Viewer* viewer() const { return m_deps.session->viewer(); }
    Sound* sound() const { return m_deps.session->sound(); }
    MailAlert* mail() const { return m_deps.session->mail(); }
    QSystemTrayIcon* trayIcon() const { return m_tray; }
    QMenu* trayMenu() const { return m_myPopup; }
    DesktopNotifier* notifier() const { return m_notifier; }
    // The outage and administration windows if they are loaded.
    frmNoCon* outageWindow() const { return m_noCon; }
    frmBase* adminWindow() const { return m_base; }
    frmHistory* historyWindow() const { return m_history; }
    // The database the program works on, a file or a URL.
    QString location() const { return m_deps.session->location(); }
    std::int32_t checkInterval() const { return m_deps.session->settings().checkInterval; }
    QDateTime lastPassTime() const;

    // MonitorView
    void PrintStat(const QString& ip, const QString& desc, const QString& pto, const QString& v_w,
                   std::uint32_t color) override;
    void setLastRowToolTip(const QString& text) override;
    QString panelText(int panel) const override;
    void setPanelText(int panel, const QString& text) override;
    void setPanelToolTip(int panel, const QString& text) override;
    void setPanelEnabled(int panel, bool enabled) override;
    void setStartEnabled(bool enabled) override;
    void setBusy(bool busy) override;
    void reportCheckFailure(const QString& message) override;
    void clearCheckFailures() override;
    void setCondition(Condition condition, const QString& text) override;

    // Menu commands.
    void mnuShowNoCon_Click();
    void mnuBase_Click();
    void mnuMin_Click();
    void mnuMax_Click();
    void mnuEnd1_Click();
    // Shows the window again from the tray or the minimised state and puts it in front: the
    // tray's "Восстановить", a click on a notification, a second start of the program.
    void bringBack();
    // "История", on the host of this address when one is given.
    void mnuHistory_Click(const QString& ip = {});
    // Refreshes the outage window, loading it hidden when it is not loaded.
    void GetNoCon();

    // The grid fitted to the window's outer size, as on every resize.
    void fitGrid();

protected:
    void closeEvent(QCloseEvent* event) override;
    void moveEvent(QMoveEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    void leaseChanged(bool held, const QString& holder);
    QRect definedGeometry(const QMargins& frame) const;
    void createStatusBar();
    void createMenus();
    QAction* addCommand(QWidget* where, const char* name, const QString& caption,
                        std::function<void()> handler);
    QLabel* panel(int n) const;
    void showNotices();
    bool fatal(const DbError& error);
    frmNoCon* loadOutageWindow();
    bool Form_QueryUnload();
    bool Form_Unload();
    QSize outerSize() const;

    MainWindowDeps m_deps;
    FlexGrid* m_fg = nullptr;
    std::unique_ptr<SingleInstance> m_instance;
    QList<QLabel*> m_panels;
    // Beside the five panels: lasting conditions and the failed checks of the current pass.
    QLabel* m_notice = nullptr;
    QMap<Condition, QString> m_conditions;
    QStringList m_failures;  // newest last, the latest few only
    int m_failureCount = 0;  // in the current pass
    QAction* m_mnuStart = nullptr;
    QAction* m_mnuNoconn = nullptr;
    QMenu* m_myPopup = nullptr;
    QSystemTrayIcon* m_tray = nullptr;
    DesktopNotifier* m_notifier = nullptr;
    QPointer<frmNoCon> m_noCon;
    QPointer<frmBase> m_base;
    QSize m_definedSize;  // the window's size with nothing stored, menu bar included
    QPointer<frmHistory> m_history;
    WindowGeometry m_geometry;
    int m_exitCode = ExitOk;
    bool m_unloaded = false;
    int m_modalsRejected = 0;  // by endSession(), which gives up waiting on them after a few
};

}  // namespace sentrok
