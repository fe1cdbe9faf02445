#pragma once
// What every program of the system does first: a crash dump would hold the
// private keys of every base the program read, as plain numbers.

namespace Talvek {

// Turns core dumps off for this process and what it starts: RLIMIT_CORE 0
// (soft and hard, so nothing raises it again) and PR_SET_DUMPABLE 0, which
// also keeps other programs of the same user from reading its memory. True
// when both took effect.
bool disableCoreDumps();

}  // namespace Talvek
