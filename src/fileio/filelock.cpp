#include "fileio/filelock.h"

#include "fileio/fileexists.h"
#include "fileio/fileresult.h"

#include <atomic>
#include <cerrno>
#include <thread>
#include <utility>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Talvek {

namespace {

std::atomic<long long> g_waitMs{10000};
std::atomic<int> g_waiting{0};

// Counts this thread among the waiting ones from the first refusal on.
class WaitingMark {
public:
    WaitingMark() = default;
    ~WaitingMark() {
        if (counted_) g_waiting.fetch_sub(1);
    }
    WaitingMark(const WaitingMark&) = delete;
    WaitingMark& operator=(const WaitingMark&) = delete;
    void set() {
        if (!counted_) g_waiting.fetch_add(1);
        counted_ = true;
    }

private:
    bool counted_ = false;
};

enum class Wait { Locked, Busy, Error };

// Tries the lock until the deadline, sleeping a little longer each time.
Wait lockUntil(int fd, int operation, std::chrono::steady_clock::time_point deadline) {
    auto pause = std::chrono::milliseconds(1);
    WaitingMark waiting;
    for (;;) {
        if (flock(fd, operation | LOCK_NB) == 0) return Wait::Locked;
        if (errno == EINTR) continue;
        if (errno != EWOULDBLOCK) return Wait::Error;
        if (std::chrono::steady_clock::now() >= deadline) return Wait::Busy;
        waiting.set();
        std::this_thread::sleep_for(pause);
        if (pause < std::chrono::milliseconds(20)) pause *= 2;
    }
}

}  // namespace

std::chrono::milliseconds lockWait() {
    return std::chrono::milliseconds(g_waitMs.load());
}

void setLockWait(std::chrono::milliseconds wait) {
    g_waitMs.store(wait.count());
}

int lockWaitsInProgress() {
    return g_waiting.load();
}

FileLock::~FileLock() {
    release();
}

void FileLock::release() {
    fd_.reset();
    folder_ = false;
}

FileLock::Result FileLock::acquire(const std::string& path, Kind kind, bool forWriting,
                                   bool folderHeld) {
    return acquire(path, kind, forWriting, folderHeld,
                   std::chrono::steady_clock::now() + lockWait());
}

FileLock::Result FileLock::acquire(const std::string& path, Kind kind, bool forWriting,
                                   bool folderHeld,
                                   std::chrono::steady_clock::time_point deadline) {
    release();
    const int operation = kind == Kind::Exclusive ? LOCK_EX : LOCK_SH;
    failure_ = {};
    auto busy = [this, &path] {
        failure_ = FileResult::failed(path, FileFault::Locked).failure();
        return Result::Busy;
    };
    auto failed = [this, &path](FileFault fault, int error = 0) {
        failure_ = FileResult::failed(path, fault, error).failure();
        return Result::Failed;
    };
    for (;;) {
        // Non-blocking, so that a FIFO named as a key file cannot stall the
        // open; it is refused below as not a regular file.
        UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
        if (!fd) {
            if (errno != ENOENT || !forWriting) return failed(FileFault::System, errno);
            if (folderHeld) return Result::Missing;
            UniqueFd dir(::open(folderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
            if (!dir) return Result::Missing;  // a folder we cannot open guards nothing
            if (const Wait w = lockUntil(dir.get(), LOCK_EX, deadline); w != Wait::Locked) {
                const int error = errno;
                return w == Wait::Busy ? busy() : failed(FileFault::System, error);
            }
            struct stat st {};
            // Made meanwhile by the program we waited for: lock it instead.
            if (stat(path.c_str(), &st) == 0) continue;
            fd_ = std::move(dir);
            folder_ = true;
            return Result::Missing;
        }
        struct stat held {};
        // A file without any write permission bit is what Windows calls
        // read-only: it cannot be replaced, also not by root.
        if (fstat(fd.get(), &held) != 0) return failed(FileFault::System, errno);
        if (!S_ISREG(held.st_mode) || (forWriting && (held.st_mode & 0222) == 0)) {
            // A folder is worded by the system itself.
            if (S_ISDIR(held.st_mode)) return failed(FileFault::System, EISDIR);
            return failed(S_ISREG(held.st_mode) ? FileFault::ReadOnly : FileFault::NotRegular);
        }
        if (const Wait w = lockUntil(fd.get(), operation, deadline); w != Wait::Locked) {
            const int error = errno;
            return w == Wait::Busy ? busy() : failed(FileFault::System, error);
        }
        struct stat now {};
        if (stat(path.c_str(), &now) == 0 && now.st_dev == held.st_dev &&
            now.st_ino == held.st_ino) {
            fd_ = std::move(fd);
            return Result::Locked;
        }
        // Replaced (or removed) while we waited: the lock guards a file that
        // is no longer there.
    }
}

}  // namespace Talvek
