#pragma once
// Locks on key files. A key file is never changed in place: a save renames a
// new file over the old one. A lock taken on the old file would then guard
// nothing, so a lock is only held once the path still names the locked file,
// and a save locks its new file before it becomes visible under the path.

#include <chrono>
#include <string>
#include <utility>

#include "fileio/fileresult.h"
#include "fileio/uniquefd.h"

namespace Talvek {

// How long a file another program holds is waited for before the step fails
// (10 s; tests shorten it).
std::chrono::milliseconds lockWait();
void setLockWait(std::chrono::milliseconds wait);

// How many threads of this program wait for another program's lock at this
// moment, so that a window can say why it seems to stand still.
int lockWaitsInProgress();

// A lock not had within lockWait() is the file's fault (FileFault::Locked),
// like every other reason a key file cannot be used.

class FileLock {
public:
    enum class Kind { Shared, Exclusive };
    enum class Result {
        Locked,   // the file the path names is held
        Missing,  // no such file; for a writer the folder is held instead
        Busy,     // another program held it for longer than lockWait()
        Failed,   // not a regular file, read-only for a writer, or unreadable
    };

    FileLock() = default;
    ~FileLock();
    FileLock(FileLock&& other) noexcept
        : fd_(std::move(other.fd_)),
          folder_(std::exchange(other.folder_, false)),
          failure_(std::move(other.failure_)) {}
    FileLock& operator=(FileLock&& other) noexcept {
        fd_ = std::move(other.fd_);
        folder_ = std::exchange(other.folder_, false);
        failure_ = std::move(other.failure_);
        return *this;
    }
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

    // forWriting: a file without any write permission bit is read-only and
    // fails. A writer that finds no file locks the folder, so that two
    // programs making the same new file take turns; folderHeld says the
    // caller already holds that folder.
    Result acquire(const std::string& path, Kind kind, bool forWriting, bool folderHeld = false);
    // As above, waiting until deadline instead of lockWait() from now: an
    // action that takes several locks waits once in all.
    Result acquire(const std::string& path, Kind kind, bool forWriting, bool folderHeld,
                   std::chrono::steady_clock::time_point deadline);
    // The locked file (Locked) or folder (Missing), or -1.
    int fd() const { return fd_.get(); }
    bool holdsFolder() const { return folder_; }
    // Why the last acquire failed (Busy, Failed); fault None otherwise.
    const FileFailure& failure() const { return failure_; }
    void release();

private:
    UniqueFd fd_;  // closing it drops the flock
    bool folder_ = false;
    FileFailure failure_;
};

}  // namespace Talvek
