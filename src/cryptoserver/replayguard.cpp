#include "cryptoserver/replayguard.h"

#include <algorithm>
#include <chrono>

namespace Talvek {

namespace {

int64_t wallClock() {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

}  // namespace

bool ReplayGuard::admit(const EnvelopeStamp& stamp, std::optional<int64_t> now) {
    const int64_t clock = now ? *now : wallClock();
    std::lock_guard lock(mutex_);
    while (!expiry_.empty() && expiry_.begin()->first <= clock) {
        seen_.erase(expiry_.begin()->second);
        expiry_.erase(expiry_.begin());
    }
    if (seen_.count(stamp.nonce)) return false;
    // Kept for the replay window, and at least until the block's own time
    // makes it stale anyway.
    const int64_t forgetAt = std::max(clock + Envelope::ReplayWindowSeconds,
                                      stamp.time + Envelope::MaxClockSkewSeconds + 1);
    seen_[stamp.nonce] = forgetAt;
    expiry_.emplace(forgetAt, stamp.nonce);
    return true;
}

}  // namespace Talvek
