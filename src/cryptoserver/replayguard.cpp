#include "cryptoserver/replayguard.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "fileio/fileexists.h"
#include "fileio/savecalls.h"
#include "fileio/uniquefd.h"

namespace Talvek {

namespace {

constexpr size_t kRecordSize = Envelope::NonceSize + 8;

bool writeAll(int fd, const uint8_t* data, size_t length) {
    while (length > 0) {
        const ssize_t n = ::write(fd, data, length);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

ReplayGuard::~ReplayGuard() = default;

void ReplayGuard::forgetUntil(int64_t clock) {
    while (!expiry_.empty() && expiry_.begin()->first <= clock) {
        seen_.erase(expiry_.begin()->second);
        expiry_.erase(expiry_.begin());
    }
}

ReplayGuard::LoadResult ReplayGuard::load(std::optional<int64_t> now) {
    using Problem = LoadResult::Problem;
    if (file_.empty()) return {};
    std::lock_guard lock(mutex_);
    const int64_t clock = now ? *now : wallClock();
    UniqueFd in(::open(file_.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!in && errno == ELOOP) return {Problem::NotRegularFile, 0};
    if (!in && errno != ENOENT) return {Problem::CannotOpen, errno};
    if (in) {
        struct stat st {};
        if (::fstat(in.get(), &st) != 0) return {Problem::CannotRead, errno};
        if (!S_ISREG(st.st_mode)) return {Problem::NotRegularFile, 0};
        std::vector<uint8_t> bytes;
        uint8_t buffer[4096];
        for (ssize_t n; (n = ::read(in.get(), buffer, sizeof buffer)) != 0;) {
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) return {Problem::CannotRead, errno};
            bytes.insert(bytes.end(), buffer, buffer + n);
        }
        in.reset();
        // No server writes a forget time before 1970 or further ahead than
        // the window: such a record is another file's bytes or damage.
        const int64_t latest = clock + Envelope::ReplayWindowSeconds +
                               Envelope::MaxClockSkewSeconds + kClockStepAllowance;
        for (size_t at = 0; at + kRecordSize <= bytes.size(); at += kRecordSize) {
            Nonce nonce;
            std::memcpy(nonce.data(), bytes.data() + at, nonce.size());
            const int64_t forgetAt = timeFrom(bytes.data() + at + nonce.size());
            if (forgetAt <= 0 || forgetAt > latest) {
                seen_.clear();
                expiry_.clear();
                return {Problem::Damaged, 0};
            }
            if (forgetAt <= clock || seen_.count(nonce)) continue;
            seen_[nonce] = forgetAt;
            expiry_.emplace(forgetAt, nonce);
        }
    }
    if (!rewrite()) return {Problem::CannotWrite, errno};
    return {};
}

bool ReplayGuard::rewrite() {
    // The live entries into a new file that takes the old one's place.
    // Named as a save's temporary, so that one a crash left is removed at
    // the next start.
    fd_.reset();
    std::string temp = folderOf(file_) + "/.nonces.tvk-XXXXXX.tmp";
    UniqueFd out(::mkstemps(temp.data(), 4));
    if (!out) return false;
    std::vector<uint8_t> bytes;
    bytes.reserve(seen_.size() * kRecordSize);
    for (const auto& [nonce, forgetAt] : seen_) {
        bytes.insert(bytes.end(), nonce.begin(), nonce.end());
        uint8_t time[8];
        putTime(time, forgetAt);
        bytes.insert(bytes.end(), time, time + 8);
    }
    const bool ok = saveCalls().fchmod(out.get(), 0600) == 0 &&
                    writeAll(out.get(), bytes.data(), bytes.size()) &&
                    saveCalls().fsync(out.get()) == 0;
    out.reset();
    if (!ok || saveCalls().renameat(AT_FDCWD, temp.c_str(), AT_FDCWD, file_.c_str()) != 0) {
        const int cause = errno;
        ::unlink(temp.c_str());
        errno = cause;
        return false;
    }
    // Until the folder is synced the rename may not outlast a crash, and
    // the old file would come back without the newest nonces.
    const UniqueFd dir(::open(folderOf(file_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir || saveCalls().fsync(dir.get()) != 0) return false;
    fd_.reset(::open(file_.c_str(), O_WRONLY | O_APPEND | O_NOFOLLOW | O_CLOEXEC));
    records_ = seen_.size();
    return fd_.valid();
}

FileResult ReplayGuard::record(const Nonce& nonce, int64_t forgetAt) {
    if (file_.empty()) return {};
    const auto failed = [this] {
        const int cause = errno ? errno : EIO;
        // Whatever the failed write left is replaced at the next request.
        fd_.reset();
        return FileResult::failed(file_, FileFault::System, cause);
    };
    // After a failure the file may end in part of a record, and the nonces
    // refused since are only in memory (which holds this one too): written
    // whole anew. The same once most of the file is expired.
    if (!fd_ || records_ > 2 * seen_.size() + 4096) {
        errno = 0;
        return rewrite() ? FileResult() : failed();
    }
    uint8_t bytes[kRecordSize];
    std::memcpy(bytes, nonce.data(), nonce.size());
    putTime(bytes + nonce.size(), forgetAt);
    errno = 0;
    if (!writeAll(fd_.get(), bytes, sizeof bytes) || saveCalls().fsync(fd_.get()) != 0)
        return failed();
    ++records_;
    return {};
}

ReplayGuard::Admission ReplayGuard::admit(const EnvelopeStamp& stamp, std::optional<int64_t> now) {
    const int64_t clock = now ? *now : wallClock();
    std::lock_guard lock(mutex_);
    forgetUntil(clock);
    if (seen_.count(stamp.nonce)) return {Verdict::Replayed, {}};
    // Kept for the replay window, and at least until the block's own time
    // makes it stale anyway.
    const int64_t forgetAt = std::max(clock + Envelope::ReplayWindowSeconds,
                                      stamp.time + Envelope::MaxClockSkewSeconds + 1);
    // Remembered in memory even when the file fails, so that the request is
    // refused either way and never taken twice.
    seen_[stamp.nonce] = forgetAt;
    expiry_.emplace(forgetAt, stamp.nonce);
    if (FileResult recorded = record(stamp.nonce, forgetAt); !recorded)
        return {Verdict::NotRecorded, recorded.failure()};
    return {Verdict::Admitted, {}};
}

}  // namespace Talvek
