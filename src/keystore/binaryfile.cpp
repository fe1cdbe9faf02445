#include "keystore/binaryfile.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "keystore/filefault.h"

namespace Talvek {

namespace {

constexpr size_t kWriteBuffer = 1u << 20;

// A file with no write permission bit at all is what Windows calls read-only:
// opening it for writing fails also for root, who would otherwise pass.
bool isReadOnly(const struct stat& st) {
    return (st.st_mode & 0222) == 0;
}

bool lockFile(int fd, BinaryFile::Share share) {
    const int op = (share == BinaryFile::Share::None ? LOCK_EX : LOCK_SH) | LOCK_NB;
    while (flock(fd, op) != 0) {
        if (errno != EINTR) return false;
    }
    return true;
}

// Records why a file cannot be used as it is: not a regular file, or
// read-only where writing is wanted. False when it can.
bool refusedKind(const std::string& path, const struct stat& st, bool forWriting) {
    if (S_ISDIR(st.st_mode)) {
        noteFileFailure(path, FileFault::System, EISDIR);
    } else if (!S_ISREG(st.st_mode)) {
        noteFileFailure(path, FileFault::NotRegular);
    } else if (forWriting && isReadOnly(st)) {
        noteFileFailure(path, FileFault::ReadOnly);
    } else {
        return false;
    }
    return true;
}

void noteLockFailure(const std::string& path) {
    if (errno == EWOULDBLOCK) {
        noteFileFailure(path, FileFault::Locked);
    } else {
        noteFileFailure(path, FileFault::System, errno);
    }
}

bool writeAll(int fd, const uint8_t* p, size_t n) {
    while (n > 0) {
        const ssize_t w = ::write(fd, p, n);
        if (w < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (w == 0) {
            errno = ENOSPC;
            return false;
        }
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

std::string folderOf(const std::string& path) {
    const auto slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

// Writing through a symbolic link replaces the file it points to, not the link.
std::string resolveTarget(const std::string& path) {
    struct stat st {};
    if (lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        char* real = realpath(path.c_str(), nullptr);
        if (real) {
            std::string r(real);
            std::free(real);
            return r;
        }
    }
    return path;
}

}  // namespace

BinaryFile::~BinaryFile() {
    if (mode_ == Mode::Writing) {
        discard();
    } else {
        close();
    }
}

void BinaryFile::reset() {
    mode_ = Mode::Closed;
    path_.clear();
    tempPath_.clear();
    data_.clear();
    data_.shrink_to_fit();
    pos_ = 0;
    written_ = 0;
    writeFailed_ = false;
}

void BinaryFile::releaseLock() {
    if (lockFd_ >= 0) {
        ::close(lockFd_);
        lockFd_ = -1;
    }
}

bool BinaryFile::create(const std::string& path, Permissions permissions) {
    return open(path, ReadWrite, Disposition::CreateAlways, Share::None, permissions);
}

bool BinaryFile::openExisting(const std::string& path) {
    return open(path, ReadWrite, Disposition::OpenExisting, Share::None);
}

bool BinaryFile::open(const std::string& path, unsigned access, Disposition disposition,
                      Share share, Permissions permissions) {
    if (isOpen() || path.empty() || (access & ReadWrite) == 0) return false;

    if (disposition == Disposition::OpenExisting) {
        // Non-blocking so that a FIFO named as a key file cannot stall the
        // open; it is refused below as not a regular file.
        const int flags = ((access & Write) ? O_RDWR : O_RDONLY) | O_CLOEXEC | O_NONBLOCK;
        // A directory opened for writing fails with EISDIR, which says it.
        const int fd = ::open(path.c_str(), flags);
        if (fd < 0) {
            noteFileFailure(path, FileFault::System, errno);
            return false;
        }
        struct stat st {};
        bool usable = false;
        if (fstat(fd, &st) != 0) {
            noteFileFailure(path, FileFault::System, errno);
        } else if (!refusedKind(path, st, (access & Write) != 0)) {
            if (static_cast<unsigned long long>(st.st_size) > kMaxKeyFileSize) {
                // Refused before a byte is read: no key file is this large.
                noteFileFailure(path, FileFault::TooLarge);
            } else if (!lockFile(fd, share)) {
                noteLockFailure(path);
            } else {
                usable = true;
            }
        }
        if (!usable) {
            ::close(fd);
            return false;
        }
        // One read of the whole file; later fields are served from memory.
        std::vector<uint8_t> data;
        try {
            data.resize(static_cast<size_t>(st.st_size));
        } catch (const std::bad_alloc&) {
            noteFileFailure(path, FileFault::System, ENOMEM);
            ::close(fd);
            return false;
        }
        size_t got = 0;
        int readError = 0;
        while (got < data.size()) {
            const ssize_t r = ::read(fd, data.data() + got, data.size() - got);
            if (r < 0 && errno == EINTR) continue;
            // An end before the size fstat gave: the file shrank meanwhile.
            if (r <= 0) readError = r < 0 ? errno : EIO;
            if (r <= 0) break;
            got += static_cast<size_t>(r);
        }
        if (got < data.size()) {
            noteFileFailure(path, FileFault::System, readError);
            ::close(fd);
            return false;
        }
        fd_ = fd;
        data_ = std::move(data);
        pos_ = 0;
        path_ = path;
        mode_ = Mode::Reading;
        return true;
    }

    // Created anew: an existing target must be writable and not held by
    // another program; it stays locked until its replacement is in place.
    const std::string target = resolveTarget(path);
    struct stat st {};
    if (stat(target.c_str(), &st) == 0) {
        if (refusedKind(path, st, true)) return false;
        const int lockFd = ::open(target.c_str(), O_RDWR | O_CLOEXEC);
        if (lockFd < 0) {
            noteFileFailure(path, FileFault::System, errno);
            return false;
        }
        if (!lockFile(lockFd, share)) {
            noteLockFailure(path);
            ::close(lockFd);
            return false;
        }
        lockFd_ = lockFd;
    }

    std::string base = target.substr(
        target.find_last_of('/') == std::string::npos ? 0 : target.find_last_of('/') + 1);
    // The temporary name must stay within NAME_MAX however long the target's.
    if (base.size() > 200) base.resize(200);
    std::string temp = folderOf(target) + "/." + base + ".XXXXXX";
    std::vector<char> name(temp.begin(), temp.end());
    name.push_back('\0');
    // mkstemp creates the file 0600: a private key is never readable by others.
    const int fd = mkostemp(name.data(), O_CLOEXEC);
    if (fd < 0) {
        // A missing or unwritable folder: the cause is the folder's, named
        // by the file the user gave.
        noteFileFailure(path, FileFault::System, errno);
        releaseLock();
        return false;
    }
    if (permissions == Permissions::Normal) fchmod(fd, 0644);
    fd_ = fd;
    tempPath_ = name.data();
    path_ = target;
    mode_ = Mode::Writing;
    written_ = 0;
    writeFailed_ = false;
    data_.clear();
    data_.reserve(kWriteBuffer);
    return true;
}

bool BinaryFile::flushBuffer() {
    if (data_.empty()) return !writeFailed_;
    if (!writeFailed_ && !writeAll(fd_, data_.data(), data_.size())) markWriteFailed();
    data_.clear();
    return !writeFailed_;
}

void BinaryFile::markWriteFailed() {
    // A short write without an error is a full file system.
    noteFileFailure(path_, FileFault::System, errno != 0 ? errno : ENOSPC);
    writeFailed_ = true;
}

bool BinaryFile::close() {
    if (mode_ == Mode::Closed) return true;
    if (mode_ == Mode::Reading) {
        ::close(fd_);
        fd_ = -1;
        reset();
        return true;
    }
    bool ok = flushBuffer();
    if (ok && fsync(fd_) != 0) {
        noteFileFailure(path_, FileFault::System, errno);
        ok = false;
    }
    if (::close(fd_) != 0 && ok) {
        noteFileFailure(path_, FileFault::System, errno);
        ok = false;
    }
    fd_ = -1;
    if (ok && rename(tempPath_.c_str(), path_.c_str()) != 0) {
        noteFileFailure(path_, FileFault::System, errno);
        ok = false;
    }
    if (!ok) {
        unlink(tempPath_.c_str());
    } else {
        // The rename itself is made durable too; a failure here no longer
        // affects which content the target holds.
        const int dir = ::open(folderOf(path_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dir >= 0) {
            fsync(dir);
            ::close(dir);
        }
    }
    releaseLock();
    reset();
    return ok;
}

void BinaryFile::discard() {
    if (mode_ != Mode::Writing) {
        close();
        return;
    }
    ::close(fd_);
    fd_ = -1;
    unlink(tempPath_.c_str());
    releaseLock();
    reset();
}

bool BinaryFile::read(void* buffer, uint32_t count, uint32_t* moved) {
    if (moved) *moved = 0;
    if (mode_ == Mode::Closed || !buffer) return false;
    if (count == 0) return true;
    if (mode_ != Mode::Reading) return false;
    const uint64_t n = std::min<uint64_t>(count, remaining());
    if (n) std::memcpy(buffer, data_.data() + pos_, n);
    pos_ += n;
    if (moved) *moved = static_cast<uint32_t>(n);
    return true;
}

bool BinaryFile::write(const void* buffer, uint32_t count, uint32_t* moved) {
    if (moved) *moved = 0;
    if (mode_ == Mode::Closed || !buffer) return false;
    if (count == 0) return true;
    if (mode_ != Mode::Writing || writeFailed_) return false;
    const auto* p = static_cast<const uint8_t*>(buffer);
    if (data_.size() + count > kWriteBuffer) {
        if (!flushBuffer()) return false;
        if (count >= kWriteBuffer) {
            if (!writeAll(fd_, p, count)) {
                markWriteFailed();
                return false;
            }
            written_ += count;
            if (moved) *moved = count;
            return true;
        }
    }
    data_.insert(data_.end(), p, p + count);
    written_ += count;
    if (moved) *moved = count;
    return true;
}

uint32_t BinaryFile::size(uint32_t* high) const {
    uint64_t s = 0;
    if (mode_ == Mode::Reading) s = data_.size();
    if (mode_ == Mode::Writing) s = written_;
    if (high) *high = static_cast<uint32_t>(s >> 32);
    return static_cast<uint32_t>(s & 0xFFFFFFFFu);
}

uint64_t BinaryFile::remaining() const {
    return mode_ == Mode::Reading ? data_.size() - pos_ : 0;
}

const uint8_t* BinaryFile::take(uint64_t n) {
    if (mode_ != Mode::Reading || n > remaining()) return nullptr;
    const uint8_t* p = data_.data() + pos_;
    pos_ += n;
    return p;
}

void BinaryFile::skipToEnd() {
    if (mode_ == Mode::Reading) pos_ = data_.size();
}

}  // namespace Talvek
