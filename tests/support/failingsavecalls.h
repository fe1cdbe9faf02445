#pragma once
// A sync, rename or mode change that fails, which no file system does on demand: the save
// calls of fileio replaced for as long as the object lives. The first
// `passing` calls still succeed, so a later step of a save can be made to fail.

#include <cerrno>

#include "fileio/savecalls.h"

namespace TestSupport {

class FailingSaveCalls {
public:
    enum class Call { Fsync, Rename, Chmod };

    FailingSaveCalls(Call call, int error, int passing = 0) : old_(Talvek::saveCalls()) {
        state().error = error;
        state().passing = passing;
        state().failed = 0;
        if (call == Call::Fsync) {
            Talvek::saveCalls().fsync = [](int fd) { return pass() ? ::fsync(fd) : fail(); };
        } else if (call == Call::Chmod) {
            Talvek::saveCalls().fchmod = [](int fd, mode_t mode) {
                return pass() ? ::fchmod(fd, mode) : fail();
            };
        } else {
            Talvek::saveCalls().renameat = [](int a, const char* b, int c, const char* d) {
                return pass() ? ::renameat(a, b, c, d) : fail();
            };
        }
    }
    ~FailingSaveCalls() { Talvek::saveCalls() = old_; }
    FailingSaveCalls(const FailingSaveCalls&) = delete;
    FailingSaveCalls& operator=(const FailingSaveCalls&) = delete;

    // How many calls were made to fail.
    int failed() const { return state().failed; }

private:
    struct State {
        int error = 0;
        int passing = 0;
        int failed = 0;
    };
    static State& state() {
        static State s;
        return s;
    }
    static bool pass() { return state().passing-- > 0; }
    static int fail() {
        ++state().failed;
        errno = state().error;
        return -1;
    }

    Talvek::SaveCalls old_;
};

}  // namespace TestSupport
