#pragma once
// A full disk without a full disk: the file size limit (RLIMIT_FSIZE) of this
// process lowered, so that a write beyond it fails as it would on a full
// file system. Restored, with the signal's handling, when the object goes.

#include <sys/resource.h>

namespace TestSupport {

class FileSizeLimit {
public:
    // What a write beyond the limit does: Ignored makes it fail with EFBIG
    // (the program's own error path); Default lets SIGXFSZ kill a program
    // that does not ignore it itself (set in a child before it runs one).
    enum class Signal { Ignored, Default };

    explicit FileSizeLimit(rlim_t bytes, Signal signal = Signal::Ignored);
    ~FileSizeLimit();
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

    // False when the limit could not be set: the test then proves nothing.
    bool active() const { return active_; }

private:
    rlimit old_{};
    void (*oldHandler_)(int) = nullptr;
    bool active_ = false;
};

}  // namespace TestSupport
