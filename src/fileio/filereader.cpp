#include "fileio/filereader.h"

#include <cerrno>
#include <new>
#include <utility>

#include <sys/stat.h>
#include <unistd.h>

#include "fileio/fileexists.h"
#include "fileio/fileresult.h"

namespace Talvek {

FileResult FileReader::open(const std::string& path, FileLock::Kind kind, bool forWriting) {
    if (isOpen()) return FileResult::failed();
    if (path.empty()) return FileResult::failed(path, FileFault::System, ENOENT);
    if (path.size() > kMaxPathBytes)
        return FileResult::failed(path, FileFault::System, ENAMETOOLONG);
    const auto locked = lock_.acquire(path, kind, forWriting);
    FileResult result;
    if (locked == FileLock::Result::Missing)
        result = FileResult::failed(path, FileFault::System, ENOENT);
    else if (locked != FileLock::Result::Locked)
        result = FileResult::failed(lock_.failure());
    else
        result = readWhole(path, lock_.fd());
    if (!result) {
        close();
        return result;
    }
    path_ = path;
    open_ = true;
    return result;
}

FileResult FileReader::openLocked(const std::string& path, int lockedFd) {
    if (isOpen() || lockedFd < 0) return FileResult::failed();
    FileResult result = readWhole(path, lockedFd);
    if (!result) {
        data_.clear();
        return result;
    }
    path_ = path;
    open_ = true;
    return result;
}

FileResult FileReader::openContent(const std::string& name, SecretBytes content) {
    if (isOpen()) return FileResult::failed();
    if (content.size() > kMaxKeyFileBytes) return FileResult::failed(name, FileFault::TooLarge);
    data_ = std::move(content);
    pos_ = 0;
    path_ = name;
    open_ = true;
    return {};
}

FileResult FileReader::readWhole(const std::string& path, int fd) {
    struct stat st {};
    if (fstat(fd, &st) != 0) {
        return FileResult::failed(path, FileFault::System, errno);
    }
    if (!S_ISREG(st.st_mode)) {
        return FileResult::failed(path, FileFault::NotRegular);
    }
    // Judged by its size alone: a file this large is no key file, and
    // reading it would cost its size in memory.
    if (static_cast<uint64_t>(st.st_size) > kMaxKeyFileBytes) {
        return FileResult::failed(path, FileFault::TooLarge);
    }
    // One read of the whole file; later fields are served from memory.
    SecretBytes data;
    try {
        data.resize(static_cast<size_t>(st.st_size));
    } catch (const std::bad_alloc&) {
        return FileResult::failed(path, FileFault::System, ENOMEM);
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
        return FileResult::failed(path, FileFault::System, readError);
    }
    data_ = std::move(data);
    pos_ = 0;
    return {};
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
