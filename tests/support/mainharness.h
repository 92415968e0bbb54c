#pragma once

#include "support/fakeprober.h"
#include "support/fakes.h"
#include "support/testdb.h"
#include "ui/main/frmmain.h"
#include "ui/outages/frmnocon.h"

#include <QTemporaryDir>

#include <memory>
#include <vector>

namespace sentrok::test {

// A main window over a fresh program folder, with every outside part faked: message boxes,
// clock, probe, sound, and whether the desktop has a tray.
struct MainHarness {
    TestFolder folder{};
    QTemporaryDir locks{};
    FakeMessageBoxes boxes{};
    FakeClock clock{};
    FakeProber prober{};
    RecordingPlayer player{};
    bool tray = false;
    QString leaseHolder{};  // empty: the window checks without asking for the lease
    std::vector<std::unique_ptr<Session>> sessions{};  // one a window, living longer than it

    std::unique_ptr<frmMain> make()
    {
        sessions.push_back(
            std::make_unique<Session>(SessionDeps{.program = QStringLiteral("sentrok"),
                                                  .programFolder = folder.path(),
                                                  .database = folder.dbFile(),
                                                  .clock = &clock,
                                                  .boxes = &boxes,
                                                  .player = &player,
                                                  .prober = &prober,
                                                  .leaseHolder = leaseHolder,
                                                  .follow = true}));
        return std::make_unique<frmMain>(MainWindowDeps{.programFolder = folder.path(),
                                                        .lockFolder = locks.path(),
                                                        .boxes = &boxes,
                                                        .clock = &clock,
                                                        .session = sessions.back().get(),
                                                        .trayAvailable = [this] { return tray; }});
    }
    std::unique_ptr<frmNoCon> outages(QAction* trayItem = nullptr)
    {
        return std::make_unique<frmNoCon>(OutageWindowDeps{.programFolder = folder.path(),
                                                           .boxes = &boxes,
                                                           .clock = &clock,
                                                           .trayItem = trayItem,
                                                           .database = folder.dbFile()});
    }
};

}  // namespace sentrok::test
