#pragma once
// The nonces of the requests taken lately: a request whose nonce was seen in
// the replay window is a replay and is refused.
//
// With a file, the nonces survive a restart: each one taken is appended and
// synced before admit() says yes (so before the request takes effect), and
// load() reads them back at start. The file is owner-only; records are
// nonce (16 bytes) and the time it may be forgotten (8 bytes, big-endian);
// expired ones are dropped when it is read and whenever it is compacted.
//
// A nonce that cannot be written and synced (a full disk, an I/O error) is
// NotRecorded: its request must not be served, since after a restart it
// could be taken again. It is still remembered in memory, and the file is
// written whole anew at the next request, with it: a failed append may have
// left part of a record behind, which would shift every later one.
//
// A file that cannot be read, or holds a record no server could have
// written, is refused rather than started afresh: an empty guard would take
// again every request captured in the last window.

#include <array>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "fileio/fileresult.h"
#include "fileio/uniquefd.h"
#include "sealing/talvekcodec.h"

namespace Talvek {

class ReplayGuard {
public:
    enum class Verdict { Admitted, Replayed, NotRecorded };
    struct Admission {
        Verdict verdict = Verdict::Admitted;
        // NotRecorded: the file and the system's cause.
        FileFailure failure;
    };
    // Why load() failed; error is the system's errno where there is one.
    struct LoadResult {
        enum class Problem {
            None,
            CannotOpen,      // e.g. no permission to read it
            NotRegularFile,  // a folder, a device, a symbolic link
            CannotRead,      // opened, but reading failed
            Damaged,         // a record whose time no server could have written
            CannotWrite,     // read, but not written back
        };
        Problem problem = Problem::None;
        int error = 0;
        explicit operator bool() const { return problem == Problem::None; }
    };
    // A record's forget time may lie at most this far beyond what the
    // server writes (now + window + skew): room for a clock set back.
    static constexpr int64_t kClockStepAllowance = 86400;

    // No file: remembered in memory only.
    ReplayGuard() = default;
    explicit ReplayGuard(std::string file) : file_(std::move(file)) {}
    ~ReplayGuard();
    ReplayGuard(const ReplayGuard&) = delete;
    ReplayGuard& operator=(const ReplayGuard&) = delete;

    // Reads the file (a missing one is empty) and writes it back without
    // the expired entries; says why when it cannot be read or written, is
    // not a regular file or is damaged. A record cut short at the end (a
    // crash while it was appended) counts for nothing.
    LoadResult load(std::optional<int64_t> now = std::nullopt);
    const std::string& file() const { return file_; }
    // Admitted, and the nonce remembered, when it was not seen before and
    // is in the file, synced; `now` (seconds since 1970) stands in for the
    // clock where given.
    Admission admit(const EnvelopeStamp& stamp, std::optional<int64_t> now = std::nullopt);

private:
    using Nonce = std::array<uint8_t, Envelope::NonceSize>;
    void forgetUntil(int64_t clock);
    // Into the file (appended, or the file written anew), synced.
    FileResult record(const Nonce& nonce, int64_t forgetAt);
    // The live nonces into a new file that takes the old one's place; false,
    // with errno, when any step fails.
    bool rewrite();

    std::string file_;
    UniqueFd fd_;         // the file, open for appending; closed after a failed write
    size_t records_ = 0;  // in the file, live or not
    std::mutex mutex_;
    std::multimap<int64_t, Nonce> expiry_;  // forget at
    std::map<Nonce, int64_t> seen_;
};

}  // namespace Talvek
