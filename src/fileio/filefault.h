#pragma once
// Why the last key file could not be used. The key store's operations answer
// only true or false; a front end that wants to say why (talvekkey's
// "FILE: cause" line) reads the fault that the failing step recorded, instead
// of probing the file again afterwards, when it may have changed.
//
// One record per thread: the latest failure replaces the one before.

#include <cstdint>
#include <string>

namespace Talvek {

enum class FileFault {
    None,
    System,       // the system refused; error holds errno
    Locked,       // another program holds the file
    ReadOnly,     // no write permission bit at all
    NotRegular,   // a device, FIFO or socket
    TooLarge,     // larger than any key file can be
    NotAKeyFile,  // opened and read, but its content is no key file of that kind
    NoChannel,    // a key base that holds no channel
    TwoRoles,     // one file named for two roles of one action
    NotReadWhole, // a key base whose read ended before its bytes did (count: how many)
};

struct FileFailure {
    std::string path;
    FileFault fault = FileFault::None;
    int error = 0;
    uint64_t count = 0;  // NotReadWhole: the bytes not read
};

void noteFileFailure(const std::string& path, FileFault fault, int error = 0);
void noteUnreadBytes(const std::string& path, uint64_t count);
// The latest failure on this thread (fault None when there is none).
const FileFailure& lastFileFailure();
void forgetFileFailure();

}  // namespace Talvek
