#pragma once
// The calls that make a save durable and put it in place, as one table. A
// failing sync or rename is the only word of a lost write, and a mode that
// cannot be set must not pass unseen, but no file system makes them fail on
// demand: tests replace them here
// (tests/support/failingsavecalls.h) to prove that a save then reports
// failure and leaves the old file.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Talvek {

struct SaveCalls {
    int (*fsync)(int fd) = ::fsync;
    int (*renameat)(int oldFolder, const char* oldName, int newFolder,
                    const char* newName) = ::renameat;
    int (*fchmod)(int fd, mode_t mode) = ::fchmod;
};

SaveCalls& saveCalls();

}  // namespace Talvek
