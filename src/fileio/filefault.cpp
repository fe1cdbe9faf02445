#include "fileio/filefault.h"

namespace Talvek {

namespace {

FileFailure& current() {
    thread_local FileFailure failure;
    return failure;
}

}  // namespace

void noteFileFailure(const std::string& path, FileFault fault, int error) {
    FileFailure& f = current();
    f.path = path;
    f.fault = fault;
    f.error = error;
    f.count = 0;
}

void noteUnreadBytes(const std::string& path, uint64_t count) {
    noteFileFailure(path, FileFault::NotReadWhole);
    current().count = count;
}

const FileFailure& lastFileFailure() {
    return current();
}

void forgetFileFailure() {
    current() = FileFailure{};
}

FileResult noted(FileResult result) {
    if (!result && result.failure().fault != FileFault::None) current() = result.failure();
    return result;
}

}  // namespace Talvek
