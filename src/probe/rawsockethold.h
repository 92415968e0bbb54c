#pragma once

#include "probe/icmppacket.h"

namespace sentrok {

// A program that its file gives CAP_NET_RAW (setcap, as the Debian package does) sends echo for
// a user who otherwise could not. Qt's plugins, ALSA's configuration or the GL drivers would
// load code of that user's choosing into it, capability and all. So main() calls this before
// anything is loaded: for each family whose ping socket the kernel refuses, a raw ICMP socket is
// opened and kept for the probe, then every capability is given up. The same for the service,
// which systemd gives CAP_NET_RAW: nothing after the start needs it. Root is left as it is.
// Only while the process has one thread: capabilities belong to threads.
void holdRawSocketsAndDropCapabilities();

// The parts, for tests. Keeps a raw socket for each family whose ping socket is refused;
// returns how many are held.
int holdRawSockets();
// Gives up every capability of the calling thread; false when the kernel refused.
bool dropCapabilities();
// A new descriptor of the raw socket held for the family (non-blocking, closed on exec), or -1
// when none is held. The probe opens one socket a family at a time, so they never share it.
int takeHeldRawSocket(IcmpFamily family);
void releaseHeldRawSockets();

}  // namespace sentrok
