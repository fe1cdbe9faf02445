#include "fileio/filereader.h"

#include <cerrno>
#include <new>
#include <utility>

#include <sys/stat.h>
#include <unistd.h>

#include "fileio/fileexists.h"
#include "fileio/filefault.h"

namespace Talvek {

bool FileReader::open(const std::string& path, FileLock::Kind kind, bool forWriting) {
    if (isOpen() || path.empty()) return false;
    if (path.size() > kMaxPathBytes) {
        noteFileFailure(path, FileFault::System, ENAMETOOLONG);
        return false;
    }
    const auto locked = lock_.acquire(path, kind, forWriting);
    if (locked == FileLock::Result::Missing) noteFileFailure(path, FileFault::System, ENOENT);
    if (locked != FileLock::Result::Locked || !readWhole(path, lock_.fd())) {
        close();
        return false;
    }
    path_ = path;
    open_ = true;
    return true;
}

bool FileReader::openLocked(const std::string& path, int lockedFd) {
    if (isOpen() || lockedFd < 0 || !readWhole(path, lockedFd)) {
        data_.clear();
        return false;
    }
    path_ = path;
    open_ = true;
    return true;
}

bool FileReader::openContent(const std::string& name, SecretBytes content) {
    if (isOpen()) return false;
    if (content.size() > kMaxKeyFileBytes) {
        noteFileFailure(name, FileFault::TooLarge);
        return false;
    }
    data_ = std::move(content);
    pos_ = 0;
    path_ = name;
    open_ = true;
    return true;
}

bool FileReader::readWhole(const std::string& path, int fd) {
    struct stat st {};
    if (fstat(fd, &st) != 0) {
        noteFileFailure(path, FileFault::System, errno);
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        noteFileFailure(path, FileFault::NotRegular);
        return false;
    }
    // Judged by its size alone: a file this large is no key file, and
    // reading it would cost its size in memory.
    if (static_cast<uint64_t>(st.st_size) > kMaxKeyFileBytes) {
        noteFileFailure(path, FileFault::TooLarge);
        return false;
    }
    // One read of the whole file; later fields are served from memory.
    SecretBytes data;
    try {
        data.resize(static_cast<size_t>(st.st_size));
    } catch (const std::bad_alloc&) {
        noteFileFailure(path, FileFault::System, ENOMEM);
        return false;
    }
    size_t got = 0;
    int readError = 0;
    while (got < data.size()) {
        const ssize_t r =
            ::pread(fd, data.data() + got, data.size() - got, static_cast<off_t>(got));
        if (r < 0 && errno == EINTR) continue;
        // An end before the size fstat gave: the file shrank meanwhile.
        if (r <= 0) {
            readError = r < 0 ? errno : EIO;
            break;
        }
        got += static_cast<size_t>(r);
    }
    if (got < data.size()) {
        noteFileFailure(path, FileFault::System, readError);
        return false;
    }
    data_ = std::move(data);
    pos_ = 0;
    return true;
}

void FileReader::close() {
    lock_.release();
    open_ = false;
    path_.clear();
    data_.clear();
    data_.shrink_to_fit();
    pos_ = 0;
}

SecretBytes FileReader::takeContent() {
    SecretBytes content;
    if (!isOpen()) return content;
    content.swap(data_);
    close();
    return content;
}

}  // namespace Talvek
