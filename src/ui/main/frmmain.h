#pragma once

#include "common/clock.h"
#include "common/messages.h"
#include "store/database.h"
#include "store/settings.h"

#include <QDateTime>
#include <QMainWindow>

#include <memory>
#include <optional>

namespace sentrok {

class FlexGrid;
class SingleInstance;

// What the main window is given by main() or by a test.
struct MainWindowDeps {
    QString programFolder;  // holds sentrok.mdb and the sounds
    QString lockFolder;     // where the running-instance lock lives
    MessageBoxes* boxes = nullptr;
    const Clock* clock = nullptr;
};

// The program's main window: the event grid, its settings and its life.
class frmMain : public QMainWindow {
    Q_OBJECT
public:
    // Headings of the event grid; the trailing blanks set the first widths.
    static inline const QString kGridFormat = QStringLiteral(
        "|Описание                      |Ip-адрес     |Дата/Время                |Вр.ож.|Вр.отв.");
    enum ExitCode { ExitOk = 0, ExitFatal = 1, ExitAlreadyRunning = 2 };

    explicit frmMain(MainWindowDeps deps, QWidget* parent = nullptr);
    ~frmMain() override;

    // The start-up. False when the program must end instead of showing the window;
    // exitCode() says why.
    bool Form_Load();
    int exitCode() const { return m_exitCode; }
    // True once the shutdown has run.
    bool unloaded() const { return m_unloaded; }

    FlexGrid* grid() const { return m_fg; }
    Database* database() const { return m_db.get(); }
    std::int32_t checkInterval() const { return m_checkInterval; }
    QDateTime lastPassTime() const { return m_lastPassTime; }

    // The grid fitted to the window's outer size, as on every resize.
    void fitGrid();
    // Outer geometry in twips, as it is stored.
    StoredGeometry outerGeometry() const;

protected:
    void closeEvent(QCloseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    bool fatal(const DbError& error);
    void applyGeometry(const StoredGeometry& g);
    bool Form_QueryUnload();
    bool Form_Unload();
    QSize outerSize() const;

    MainWindowDeps m_deps;
    FlexGrid* m_fg = nullptr;
    std::unique_ptr<SingleInstance> m_instance;
    std::unique_ptr<Database> m_db;
    std::int32_t m_checkInterval = 0;
    QDateTime m_lastPassTime;
    std::optional<QSize> m_wantedOuter;  // outer size to settle once the frame is known
    int m_exitCode = ExitOk;
    bool m_unloaded = false;
};

}  // namespace sentrok
