#pragma once
// The nonces of the requests taken lately: a request whose nonce was seen in
// the replay window is a replay and is refused.
//
// With a file, the nonces survive a restart: each one taken is appended and
// synced before admit() says yes (so before the request takes effect), and
// load() reads them back at start. The file is owner-only; records are
// nonce (16 bytes) and the time it may be forgotten (8 bytes, big-endian);
// expired ones are dropped when it is read and whenever it is compacted.

#include <array>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "fileio/uniquefd.h"
#include "sealing/talvekcodec.h"

namespace Talvek {

class ReplayGuard {
public:
    enum class Verdict { Admitted, Replayed, NotRecorded };

    // No file: remembered in memory only.
    ReplayGuard() = default;
    explicit ReplayGuard(std::string file) : file_(std::move(file)) {}
    ~ReplayGuard();
    ReplayGuard(const ReplayGuard&) = delete;
    ReplayGuard& operator=(const ReplayGuard&) = delete;

    // Reads the file (a missing one is empty) and writes it back without
    // the expired entries; false when it cannot be read or written, or is
    // not a regular file.
    bool load(std::optional<int64_t> now = std::nullopt);
    // Admitted, and the nonce remembered, when it was not seen before;
    // `now` (seconds since 1970) stands in for the clock where given.
    Verdict admit(const EnvelopeStamp& stamp, std::optional<int64_t> now = std::nullopt);

private:
    using Nonce = std::array<uint8_t, Envelope::NonceSize>;
    void forgetUntil(int64_t clock);
    bool append(const Nonce& nonce, int64_t forgetAt);
    bool rewrite();

    std::string file_;
    UniqueFd fd_;         // the file, open for appending
    size_t records_ = 0;  // in the file, live or not
    std::mutex mutex_;
    std::multimap<int64_t, Nonce> expiry_;  // forget at
    std::map<Nonce, int64_t> seen_;
};

}  // namespace Talvek
