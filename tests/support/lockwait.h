#pragma once
// Shortens how long the key store waits for another program's lock, for the
// life of the object, so that a test of a held file does not take 10 s.

#include <chrono>
#include <string>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "fileio/filelock.h"

namespace TestSupport {

class ScopedLockWait {
public:
    explicit ScopedLockWait(std::chrono::milliseconds wait) : old_(Talvek::lockWait()) {
        Talvek::setLockWait(wait);
    }
    ~ScopedLockWait() { Talvek::setLockWait(old_); }
    ScopedLockWait(const ScopedLockWait&) = delete;
    ScopedLockWait& operator=(const ScopedLockWait&) = delete;

private:
    std::chrono::milliseconds old_;
};

// A lock on a file as another program holds it (LOCK_SH or LOCK_EX), for the
// life of the object.
class HeldElsewhere {
public:
    HeldElsewhere(const std::string& path, int operation)
        : fd_(::open(path.c_str(), O_RDONLY | O_CLOEXEC)) {
        held_ = fd_ >= 0 && flock(fd_, operation | LOCK_NB) == 0;
    }
    ~HeldElsewhere() {
        if (fd_ >= 0) ::close(fd_);
    }
    HeldElsewhere(const HeldElsewhere&) = delete;
    HeldElsewhere& operator=(const HeldElsewhere&) = delete;
    // False when the lock could not be had: the test then proves nothing.
    bool held() const { return held_; }

private:
    int fd_;
    bool held_ = false;
};

}  // namespace TestSupport
