#pragma once

namespace sentrok {

// What is announced of a host's checks, apart from what is recorded: the outage row opens at the
// first failed check whatever happens here.
//
// A host's outage is announced at its confirm-th failed check in a row (1: at the first). A host
// that answers before that is never announced, neither down nor up. While a maintenance window
// covers the host nothing is announced: the change that would have been is shown quietly (the
// window's colour, no sound, no mail), once; an outage still open when the window ends is announced
// at the first failed check after it. A host that comes back during a window, or after one before
// it was announced, is not announced either.
enum class Announced {
    No,       // nothing announced of the host's outage (none, or not confirmed yet)
    Yes,      // its outage was announced
    Quietly,  // its outage was shown as under maintenance instead
};

enum class Announce {
    Nothing,
    Down,
    Up,
    QuietDown,  // would be Down, but under maintenance
    QuietUp,    // answers again while under maintenance
};

struct AnnounceInput {
    bool failed = false;  // this check
    int failures = 0;     // failed checks in a row, this one included (0 when it answered)
    int confirm = 1;      // failures before the outage is announced
    bool maintenance = false;
    Announced before = Announced::No;
};

struct AnnounceOutcome {
    Announce announce = Announce::Nothing;
    Announced after = Announced::No;
};

AnnounceOutcome announceOf(const AnnounceInput& in);

}  // namespace sentrok
