#pragma once
// Shortens how long the key store waits for another program's lock, for the
// life of the object, so that a test of a held file does not take 10 s.

#include <chrono>

#include "keystore/filelock.h"

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

}  // namespace TestSupport
