#pragma once

#include "session/session.h"

#include <memory>

class QProgressDialog;

namespace sentrok {

// The window of an upgrade of the database at start: what is being done and how far it has got,
// while the work runs on a thread of its own, so the window keeps answering. "Отмена" stops it
// and leaves the file as it was.
class StartupWindow {
public:
    explicit StartupWindow(Session& session);
    ~StartupWindow();
    // What the session shows while it upgrades: this window, made only when an upgrade is needed.
    UpgradeProgress progress();

private:
    Session& m_session;
    std::unique_ptr<QProgressDialog> m_dialog;
};

}  // namespace sentrok
