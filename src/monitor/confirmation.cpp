#include "monitor/confirmation.h"

namespace sentrok {

AnnounceOutcome announceOf(const AnnounceInput& in)
{
    if (!in.failed) {
        if (in.before == Announced::No) return {Announce::Nothing, Announced::No};
        if (in.maintenance) return {Announce::QuietUp, Announced::No};
        // Back after a window that hid its outage: it was never announced down.
        return {in.before == Announced::Yes ? Announce::Up : Announce::Nothing, Announced::No};
    }
    if (in.before == Announced::Yes || in.failures < in.confirm)
        return {Announce::Nothing, in.before};
    if (in.maintenance)
        return {in.before == Announced::Quietly ? Announce::Nothing : Announce::QuietDown,
                Announced::Quietly};
    return {Announce::Down, Announced::Yes};
}

}  // namespace sentrok
