#pragma once

#include "common/clock.h"
#include "common/messages.h"
#include "store/database.h"
#include "store/settings.h"
#include "ui/controls/windowgeometry.h"

#include <QPointer>
#include <QWidget>

#include <memory>

class QAction;

namespace sentrok {

class FlexGrid;

struct OutageWindowDeps {
    QString programFolder{};
    MessageBoxes* boxes = nullptr;
    const Clock* clock = nullptr;
    QAction* trayItem = nullptr;  // the tray menu's "Отсутствующие соединения"
    QString database{};           // a file or a URL; empty: sentrok.mdb in programFolder
};

// The hosts that are down now: every open outage with its host's description and address and
// the time it began, newest on top. A host behind an ancestor that is down too is greyed and
// names the nearest such ancestor, the one it waits for. Keeps its own geometry and column widths.
class frmNoCon : public QWidget {
    Q_OBJECT
public:
    static inline const QString kGridFormat =
        QStringLiteral("|Описание                   |Ip-адрес          |Дата/Время               ");

    explicit frmNoCon(OutageWindowDeps deps, QWidget* parent = nullptr);
    ~frmNoCon() override;

    // Opens the window's own connection, applies the stored geometry and widths, and fills the
    // list. False when the database cannot be used (the user has been told).
    bool Form_Load();
    // Rebuilds the list from the database.
    void GetNoCon();

    FlexGrid* grid() const { return m_fg; }
    bool loaded() const { return m_db != nullptr; }

signals:
    // The list has been read: this many hosts are down now.
    void listed(int down);

protected:
    void closeEvent(QCloseEvent* event) override;
    void moveEvent(QMoveEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    QRect definedGeometry(const QMargins& frame) const;
    void fitGrid();
    void Form_Unload();
    void tell(const DbError& e);

    OutageWindowDeps m_deps;
    FlexGrid* m_fg = nullptr;
    std::unique_ptr<Database> m_db;
    WindowGeometry m_geometry;
};

}  // namespace sentrok
