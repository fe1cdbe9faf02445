#pragma once
// The nonces of the requests taken lately: a request whose nonce was seen in
// the replay window is a replay and is refused.

#include <array>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>

#include "sealing/talvekcodec.h"

namespace Talvek {

class ReplayGuard {
public:
    // True, and the nonce remembered, when it was not seen before; `now`
    // (seconds since 1970) stands in for the clock where given.
    bool admit(const EnvelopeStamp& stamp, std::optional<int64_t> now = std::nullopt);

private:
    using Nonce = std::array<uint8_t, Envelope::NonceSize>;
    std::mutex mutex_;
    std::multimap<int64_t, Nonce> expiry_;  // forget at
    std::map<Nonce, int64_t> seen_;
};

}  // namespace Talvek
