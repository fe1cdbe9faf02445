#pragma once
// How file operations answer: whether they worked and, when not, why. The
// cause travels with the answer, so a front end that wants to say why ("FILE:
// cause") reads it from what the failing step returned, on whatever thread
// the step ran, instead of probing the file again when it may have changed.

#include <cstdint>
#include <string>
#include <utility>

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

class [[nodiscard]] FileResult {
public:
    // Worked.
    FileResult() = default;
    // Failed because of this file.
    // The path is taken by reference and copied only inside, so that an
    // errno argument is read before anything could allocate.
    static FileResult failed(const std::string& path, FileFault fault, int error = 0) {
        return FileResult(FileFailure{path, fault, error, 0});
    }
    static FileResult failed(FileFailure failure) { return FileResult(std::move(failure)); }
    // A key base whose read ended count bytes before its end.
    static FileResult unreadBytes(const std::string& path, uint64_t count) {
        return FileResult(FileFailure{path, FileFault::NotReadWhole, 0, count});
    }
    // Failed for a reason that is no file's (a call out of turn, an answer
    // the caller words itself): the failure's fault is None.
    static FileResult failed() { return FileResult(FileFailure{}); }

    bool ok() const { return ok_; }
    explicit operator bool() const { return ok_; }
    // What failed and why; fault None when it worked or no file is to blame.
    const FileFailure& failure() const { return failure_; }

private:
    explicit FileResult(FileFailure failure) : ok_(false), failure_(std::move(failure)) {}

    bool ok_ = true;
    FileFailure failure_;
};

}  // namespace Talvek
