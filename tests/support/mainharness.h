#pragma once

#include "support/fakeprober.h"
#include "support/fakes.h"
#include "support/testdb.h"
#include "ui/main/frmmain.h"
#include "ui/outages/frmnocon.h"

#include <QTemporaryDir>

#include <memory>

namespace sentrok::test {

// A main window over a fresh program folder, with every outside part faked: message boxes,
// clock, probe, sound, and whether the desktop has a tray.
struct MainHarness {
    TestFolder folder;
    QTemporaryDir locks;
    FakeMessageBoxes boxes;
    FakeClock clock;
    FakeProber prober;
    RecordingPlayer player;
    bool tray = false;
    QString leaseHolder;  // empty: the window checks without asking for the lease

    std::unique_ptr<frmMain> make()
    {
        MainWindowDeps d{folder.path(), locks.path(), &boxes, &clock, &prober, &player, {}};
        d.trayAvailable = [this] { return tray; };
        d.database = folder.dbFile();
        d.leaseHolder = leaseHolder;
        return std::make_unique<frmMain>(std::move(d));
    }
    std::unique_ptr<frmNoCon> outages(QAction* trayItem = nullptr)
    {
        return std::make_unique<frmNoCon>(OutageWindowDeps{folder.path(), &boxes, &clock, trayItem, folder.dbFile()});
    }
};

}  // namespace sentrok::test
