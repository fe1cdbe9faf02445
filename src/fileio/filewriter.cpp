#include "fileio/filewriter.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <random>

#include <aio.h>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "fileio/fileexists.h"
#include "fileio/fileresult.h"
#include "fileio/savecalls.h"

namespace Talvek {

namespace {

constexpr size_t kWriteBuffer = 1u << 20;
// A background sync is asked for every this many bytes written.
constexpr uint64_t kEarlySyncStep = 4u << 20;
bool writeAll(int fd, const uint8_t* p, size_t n) {
    while (n > 0) {
        const ssize_t w = ::write(fd, p, n);
        if (w < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (w == 0) {
            errno = ENOSPC;  // nothing written and no error: a full file system
            return false;
        }
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

// The random part of a temporary's name.
constexpr size_t kTempRandom = 6;
// A temporary of the file "name" is ".name.tvk-XXXXXX.tmp": a name no user
// would choose, so that only what a save made is ever removed as left over.
constexpr const char* kTempTag = ".tvk-";
constexpr const char* kTempSuffix = ".tmp";

std::string nameOf(const std::string& path) {
    const auto slash = path.find_last_of('/');
    return path.substr(slash == std::string::npos ? 0 : slash + 1);
}

// ".name.tvk-" for the file "name". The name is cut so that a temporary's
// name stays within NAME_MAX.
std::string temporaryPrefix(const std::string& targetName) {
    std::string base = targetName;
    if (base.size() > 200) base.resize(200);
    return "." + base + kTempTag;
}

bool isTemporaryOf(const std::string& name, const std::string& prefix) {
    const size_t suffix = std::strlen(kTempSuffix);
    if (name.size() != prefix.size() + kTempRandom + suffix ||
        name.compare(0, prefix.size(), prefix) ||
        name.compare(name.size() - suffix, suffix, kTempSuffix)) {
        return false;
    }
    return std::all_of(name.begin() + static_cast<std::ptrdiff_t>(prefix.size()),
                       name.end() - static_cast<std::ptrdiff_t>(suffix),
                       [](char c) { return std::isalnum(static_cast<unsigned char>(c)); });
}

// Removes what interrupted saves of the target left: our own regular files
// named as its temporaries are that nobody holds. A live temporary is locked
// by its writer (a save that takes the target's lock only at the end may be
// writing one right now); a writer that died dropped its lock.
void removeStaleTemporaries(int folder, const std::string& targetName) {
    const std::string prefix = temporaryPrefix(targetName);
    UniqueFd listed(::openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!listed) return;
    // The listing owns the descriptor from here on.
    const std::unique_ptr<DIR, int (*)(DIR*)> dir(fdopendir(listed.get()), closedir);
    if (!dir) return;
    (void)listed.release();
    const uid_t me = geteuid();
    while (const dirent* entry = readdir(dir.get())) {
        const std::string name = entry->d_name;
        if (!isTemporaryOf(name, prefix)) continue;
        const UniqueFd fd(
            openat(folder, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        if (!fd) continue;
        struct stat st {};
        if (fstat(fd.get(), &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == me &&
            flock(fd.get(), LOCK_EX | LOCK_NB) == 0) {
            unlinkat(folder, name.c_str(), 0);
        }
    }
}

// The kernel's protected-symlinks rule: a link in a sticky, world-writable
// folder is followed only when its owner is the user or the folder's owner.
// Anyone may plant a link in /tmp; following it would let him choose which
// file of ours a save replaces.
bool mayFollow(const std::string& link, const struct stat& linkStat) {
    struct stat folder {};
    if (stat(folderOf(link).c_str(), &folder) != 0) return false;
    const bool shared = (folder.st_mode & S_ISVTX) && (folder.st_mode & S_IWOTH);
    return !shared || linkStat.st_uid == geteuid() || linkStat.st_uid == folder.st_uid;
}

}  // namespace

SaveCalls& saveCalls() {
    static SaveCalls calls;
    return calls;
}

FileResult FileWriter::saveTarget(const std::string& path, std::string& target) {
    auto refuse = [&path](int error) {
        return FileResult::failed(path, FileFault::System, error);
    };
    if (path.empty()) return refuse(ENOENT);
    if (path.size() > kMaxPathBytes) return refuse(ENAMETOOLONG);
    std::string current = path;
    // As many hops as the kernel follows.
    for (int hops = 0; hops < 40; ++hops) {
        struct stat st {};
        if (lstat(current.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
            target = current;
            if (target.size() > kMaxPathBytes) return refuse(ENAMETOOLONG);
            return {};
        }
        // The kernel answers a protected link with "permission denied" too.
        if (!mayFollow(current, st)) return refuse(EACCES);
        std::vector<char> buffer(static_cast<size_t>(PATH_MAX) + 1);
        const ssize_t n = readlink(current.c_str(), buffer.data(), buffer.size() - 1);
        if (n <= 0) {
            const int error = n < 0 ? errno : ENOENT;
            return refuse(error);
        }
        std::string next(buffer.data(), static_cast<size_t>(n));
        if (next[0] != '/') next = folderOf(current) + "/" + next;
        current = std::move(next);
    }
    return refuse(ELOOP);
}

FileWriter::FileWriter() = default;

FileWriter::~FileWriter() {
    // Whatever was not put in place by now is thrown away.
    if (!committed_) {
        discard();
    } else {
        reset();
    }
}

// One request at a time; its outcome counts, since a failed sync may be the
// only one ever told of a lost write.
struct FileWriter::EarlySync {
    aiocb request{};
    bool pending = false;
    bool failed = false;
    int error = 0;
};

void FileWriter::reset() {
    waitEarlySync();
    earlySync_.reset();
    fd_.reset();
    dirFd_.reset();
    lock_.release();
    open_ = false;
    path_.clear();
    tempName_.clear();
    targetName_.clear();
    buffer_.clear();
    buffer_.shrink_to_fit();
    written_ = 0;
    syncedUpTo_ = 0;
    deferred_ = false;
    writeFailed_ = false;
    writeFailure_ = {};
    finished_ = false;
    committed_ = false;
}

FileResult FileWriter::create(const std::string& path, Permissions permissions) {
    // A path too long is refused by saveTarget, with its cause.
    if (isOpen() || path.empty()) return FileResult::failed();
    // The existing target (or, when there is none, its folder) stays locked
    // until the replacement is in place.
    std::string target;
    if (FileResult found = saveTarget(path, target); !found) return found;
    const auto locked = lock_.acquire(target, FileLock::Kind::Exclusive, true);
    FileResult result = locked == FileLock::Result::Locked || locked == FileLock::Result::Missing
                            ? startTemporary(target, permissions, lock_.fd() >= 0)
                            : FileResult::failed(lock_.failure());
    if (!result) reset();
    return result;
}

FileResult FileWriter::createDeferred(const std::string& path, Permissions permissions) {
    // A path too long is refused by saveTarget, with its cause.
    if (isOpen() || path.empty()) return FileResult::failed();
    std::string target;
    FileResult result = saveTarget(path, target);
    if (result) result = startTemporary(target, permissions, false);
    if (!result) {
        reset();
        return result;
    }
    deferred_ = true;
    return result;
}

FileResult FileWriter::createLocked(const std::string& path, Permissions permissions) {
    if (isOpen() || path.empty() || path.size() > kMaxPathBytes) return FileResult::failed();
    FileResult result = startTemporary(path, permissions, true);
    if (!result) reset();
    return result;
}

FileResult FileWriter::startTemporary(const std::string& target, Permissions permissions, bool lockHeld) {
    // Created and renamed relative to the open folder: a target path as long
    // as the platform allows still leaves room for its temporary's name.
    UniqueFd folderFd(::open(folderOf(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!folderFd) {
        // A missing or unwritable folder: the cause is the folder's, named
        // by the file being saved.
        return FileResult::failed(target, FileFault::System, errno);
    }
    const int folder = folderFd.get();
    dirFd_ = std::move(folderFd);
    targetName_ = nameOf(target);
    if (lockHeld) removeStaleTemporaries(folder, targetName_);

    // A file that exists keeps what its user set: owner, group and mode,
    // never widened, and a file with private keys is never more than the
    // owner's. A new one is owner-only with private keys, else readable as
    // the umask allows.
    struct stat old {};
    const bool replaces =
        fstatat(folder, targetName_.c_str(), &old, 0) == 0 && S_ISREG(old.st_mode);
    const mode_t created = permissions == Permissions::OwnerOnly || replaces ? 0600 : 0644;
    std::random_device random;
    static constexpr char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    UniqueFd fd;
    std::string name;
    for (int attempt = 0; attempt < 100 && !fd; ++attempt) {
        name = temporaryPrefix(targetName_);
        for (size_t i = 0; i < kTempRandom; ++i)
            name += kAlphabet[random() % (sizeof kAlphabet - 1)];
        name += kTempSuffix;
        // Opened with its final permissions, never chmod-ed wider later: a
        // private key is never readable by others.
        fd.reset(::openat(folder, name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                          created));
        if (!fd && errno != EEXIST) break;
    }
    if (!fd) return FileResult::failed(target, FileFault::System, errno);
    // Held from the start, so that no save cleaning up after interrupted ones
    // takes it for theirs; nobody else knows the name yet, so this cannot wait.
    if (flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
        FileResult refused = FileResult::failed(target, FileFault::System, errno);
        unlinkat(folder, name.c_str(), 0);
        return refused;
    }
    if (replaces) {
        mode_t mode = old.st_mode & 07777;
        if (permissions == Permissions::OwnerOnly) mode &= 0700;
        // Another owner or group can only be kept where the system lets us;
        // a group that could not be kept gets no access through ours.
        if ((old.st_uid != geteuid() || old.st_gid != getegid()) &&
            fchown(fd.get(), old.st_uid, old.st_gid) != 0 &&
            (old.st_gid == getegid() ||
             fchown(fd.get(), static_cast<uid_t>(-1), old.st_gid) != 0)) {
            mode &= ~static_cast<mode_t>(0070);
        }
        // A file system that keeps no modes (a FAT stick) refuses with
        // EPERM or ENOTSUP: the temporary stays owner-only, narrower than
        // before and never wider, and the save goes on. Any other refusal
        // is a fault of the save.
        if (saveCalls().fchmod(fd.get(), mode & 0777) != 0 && errno != EPERM && errno != ENOTSUP) {
            FileResult refused = FileResult::failed(target, FileFault::System, errno);
            unlinkat(folder, name.c_str(), 0);
            return refused;
        }
    }
    fd_ = std::move(fd);
    tempName_ = name;
    path_ = target;
    open_ = true;
    written_ = 0;
    syncedUpTo_ = 0;
    writeFailed_ = false;
    writeFailure_ = {};
    finished_ = false;
    committed_ = false;
    buffer_.clear();
    buffer_.reserve(kWriteBuffer);
    return {};
}

bool FileWriter::flushBuffer() {
    if (buffer_.empty()) return !writeFailed_;
    if (!writeFailed_) writeOut(buffer_.data(), buffer_.size());
    buffer_.clear();
    return !writeFailed_;
}

bool FileWriter::writeOut(const uint8_t* p, size_t n) {
    if (!writeAll(fd_.get(), p, n)) {
        markWriteFailed();
        return false;
    }
    // Everything counted in written_ is in the file now.
    if (written_ - syncedUpTo_ >= kEarlySyncStep) startEarlySync();
    return true;
}

void FileWriter::startEarlySync() {
    if (!earlySync_) earlySync_ = std::make_unique<EarlySync>();
    EarlySync& sync = *earlySync_;
    // The last one still at it takes this part along in the next.
    if (sync.pending && aio_error(&sync.request) == EINPROGRESS) return;
    if (!waitEarlySync()) return;
    sync.request = aiocb{};
    sync.request.aio_fildes = fd_.get();
    sync.request.aio_sigevent.sigev_notify = SIGEV_NONE;
    if (aio_fsync(O_DSYNC, &sync.request) == 0) {
        sync.pending = true;
        syncedUpTo_ = written_;
    }
}

bool FileWriter::waitEarlySync() {
    if (!earlySync_) return true;
    EarlySync& sync = *earlySync_;
    if (sync.pending) {
        const aiocb* const list[] = {&sync.request};
        int state;
        while ((state = aio_error(&sync.request)) == EINPROGRESS) aio_suspend(list, 1, nullptr);
        if (aio_return(&sync.request) != 0 && !sync.failed) {
            sync.failed = true;
            sync.error = state > 0 ? state : EIO;
        }
        sync.pending = false;
    }
    return !sync.failed;
}

FileResult FileWriter::finish() {
    if (!isOpen() || committed_) return FileResult::failed();
    if (finished_) return {};
    if (!flushBuffer()) return FileResult::failed(writeFailure_);
    if (!waitEarlySync())
        return FileResult::failed(path_, FileFault::System, earlySync_->error);
    if (saveCalls().fsync(fd_.get()) != 0)
        return FileResult::failed(path_, FileFault::System, errno);
    finished_ = true;
    return {};
}

void FileWriter::markWriteFailed() {
    // A short write without an error is a full file system.
    const int error = errno != 0 ? errno : ENOSPC;
    writeFailure_ = FileResult::failed(path_, FileFault::System, error).failure();
    writeFailed_ = true;
}

FileResult FileWriter::holdTarget() {
    if (!isOpen() || committed_) return FileResult::failed();
    if (!deferred_ || lock_.fd() >= 0) return {};
    const auto locked = lock_.acquire(path_, FileLock::Kind::Exclusive, true);
    if (locked != FileLock::Result::Locked && locked != FileLock::Result::Missing) {
        FileResult refused = FileResult::failed(lock_.failure());
        lock_.release();
        return refused;
    }
    return {};
}

FileResult FileWriter::commit() {
    if (!isOpen() || !finished_ || committed_) return FileResult::failed();
    if (FileResult held = holdTarget(); !held) return held;
    // The new file has been locked since it was made, so nobody can hold it
    // once it is visible under the target's name.
    if (saveCalls().renameat(dirFd_.get(), tempName_.c_str(), dirFd_.get(), targetName_.c_str()) !=
        0)
        return FileResult::failed(path_, FileFault::System, errno);
    committed_ = true;
    // The rename itself is made durable too; a failure here no longer
    // affects which content the target holds.
    saveCalls().fsync(dirFd_.get());
    return {};
}

FileResult FileWriter::close() {
    if (!isOpen()) return {};
    FileResult result;
    if (!committed_) {
        result = finish();
        if (result) result = commit();
    }
    if (!result) unlinkat(dirFd_.get(), tempName_.c_str(), 0);
    reset();
    return result;
}

void FileWriter::discard() {
    if (!isOpen()) return;
    if (committed_) {
        reset();
        return;
    }
    unlinkat(dirFd_.get(), tempName_.c_str(), 0);
    reset();
}

bool FileWriter::write(std::span<const uint8_t> bytes) {
    if (!isOpen()) return false;
    if (bytes.empty()) return true;
    if (writeFailed_ || finished_) return false;
    const uint8_t* p = bytes.data();
    const size_t count = bytes.size();
    if (buffer_.size() + count > kWriteBuffer) {
        if (!flushBuffer()) return false;
        if (count >= kWriteBuffer) {
            written_ += count;
            return writeOut(p, count);
        }
    }
    buffer_.insert(buffer_.end(), p, p + count);
    written_ += count;
    return true;
}

FileResult writeWhole(const std::string& path, FileWriter::Permissions permissions,
                      const std::function<bool(FileWriter&)>& writer) {
    FileWriter file;
    if (FileResult created = file.create(path, permissions); !created) return created;
    if (FileResult made = file.contentResult(writer(file)); !made) {
        file.discard();
        return made;
    }
    return file.close();
}

}  // namespace Talvek
