// Feeds arbitrary bytes to the key file readers as a real file (a memory
// file reopened by path, so locking and the one-read loading are exercised).

#include <cstdint>
#include <cstdlib>
#include <string>

#include <sys/mman.h>
#include <unistd.h>

#include "support/keyfileexercise.h"

namespace {

struct Scratch {
    Scratch() {
        fd = memfd_create("talvek-fuzz-input", 0);
        if (fd < 0) std::abort();
        path = "/proc/self/fd/" + std::to_string(fd);
        char pattern[] = "/dev/shm/talvek-fuzz-XXXXXX";
        if (!mkdtemp(pattern)) std::abort();
        dir = pattern;
    }
    int fd = -1;
    std::string path;
    std::string dir;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Scratch scratch;
    if (ftruncate(scratch.fd, 0) != 0) std::abort();
    if (size > 0 && pwrite(scratch.fd, data, size, 0) != static_cast<ssize_t>(size)) std::abort();
    TestSupport::exerciseKeyFile(scratch.path, scratch.dir);
    return 0;
}
