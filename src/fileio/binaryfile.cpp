#include "fileio/binaryfile.h"

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
#include "fileio/filefault.h"
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

bool BinaryFile::saveTarget(const std::string& path, std::string& target) {
    auto refuse = [&path](int error) {
        noteFileFailure(path, FileFault::System, error);
        return false;
    };
    if (path.empty()) return refuse(ENOENT);
    if (path.size() > kMaxPathBytes) return refuse(ENAMETOOLONG);
    std::string current = path;
    // As many hops as the kernel follows.
    for (int hops = 0; hops < 40; ++hops) {
        struct stat st {};
        if (lstat(current.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
            target = current;
            return target.size() <= kMaxPathBytes || refuse(ENAMETOOLONG);
        }
        // The kernel answers a protected link with "permission denied" too.
        if (!mayFollow(current, st)) return refuse(EACCES);
        std::vector<char> buffer(static_cast<size_t>(PATH_MAX) + 1);
        const ssize_t n = readlink(current.c_str(), buffer.data(), buffer.size() - 1);
        if (n <= 0) return refuse(n < 0 ? errno : ENOENT);
        std::string next(buffer.data(), static_cast<size_t>(n));
        if (next[0] != '/') next = folderOf(current) + "/" + next;
        current = std::move(next);
    }
    return refuse(ELOOP);
}

BinaryFile::BinaryFile() = default;

BinaryFile::~BinaryFile() {
    if (mode_ == Mode::Writing && !committed_) {
        discard();
    } else {
        close();
    }
}

// One request at a time; its outcome counts, since a failed sync may be the
// only one ever told of a lost write.
struct BinaryFile::EarlySync {
    aiocb request{};
    bool pending = false;
    bool failed = false;
    int error = 0;
};

void BinaryFile::reset() {
    waitEarlySync();
    earlySync_.reset();
    fd_.reset();
    dirFd_.reset();
    lock_.release();
    mode_ = Mode::Closed;
    path_.clear();
    tempName_.clear();
    targetName_.clear();
    data_.clear();
    data_.shrink_to_fit();
    pos_ = 0;
    written_ = 0;
    syncedUpTo_ = 0;
    deferred_ = false;
    writeFailed_ = false;
    finished_ = false;
    committed_ = false;
}

bool BinaryFile::create(const std::string& path, Permissions permissions) {
    return open(path, ReadWrite, Disposition::CreateAlways, Share::None, permissions);
}

bool BinaryFile::createDeferred(const std::string& path, Permissions permissions) {
    if (isOpen() || path.empty()) return false;
    if (path.size() > kMaxPathBytes) {
        noteFileFailure(path, FileFault::System, ENAMETOOLONG);
        return false;
    }
    std::string target;
    if (!saveTarget(path, target) || !startTemporary(target, permissions, false)) {
        reset();
        return false;
    }
    deferred_ = true;
    return true;
}

bool BinaryFile::openExisting(const std::string& path) {
    return open(path, ReadWrite, Disposition::OpenExisting, Share::None);
}

bool BinaryFile::readWhole(const std::string& path, int fd) {
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

bool BinaryFile::open(const std::string& path, unsigned access, Disposition disposition,
                      Share share, Permissions permissions) {
    if (isOpen() || path.empty() || (access & ReadWrite) == 0) return false;
    if (path.size() > kMaxPathBytes) {
        noteFileFailure(path, FileFault::System, ENAMETOOLONG);
        return false;
    }

    if (disposition == Disposition::OpenExisting) {
        const auto kind = share == Share::None ? FileLock::Kind::Exclusive : FileLock::Kind::Shared;
        const auto locked = lock_.acquire(path, kind, (access & Write) != 0);
        if (locked == FileLock::Result::Missing) noteFileFailure(path, FileFault::System, ENOENT);
        if (locked != FileLock::Result::Locked || !readWhole(path, lock_.fd())) {
            reset();
            return false;
        }
        path_ = path;
        mode_ = Mode::Reading;
        return true;
    }

    // Created anew: the existing target (or, when there is none, its folder)
    // stays locked until the replacement is in place.
    std::string target;
    if (!saveTarget(path, target)) return false;
    const auto locked = lock_.acquire(target, FileLock::Kind::Exclusive, true);
    if (locked != FileLock::Result::Locked && locked != FileLock::Result::Missing) {
        reset();
        return false;
    }
    if (!startTemporary(target, permissions, lock_.fd() >= 0)) {
        reset();
        return false;
    }
    return true;
}

bool BinaryFile::openLocked(const std::string& path, int lockedFd) {
    if (isOpen() || lockedFd < 0 || !readWhole(path, lockedFd)) {
        data_.clear();
        return false;
    }
    path_ = path;
    mode_ = Mode::Reading;
    return true;
}

bool BinaryFile::openContent(const std::string& name, SecretBytes content) {
    if (isOpen()) return false;
    if (content.size() > kMaxKeyFileBytes) {
        noteFileFailure(name, FileFault::TooLarge);
        return false;
    }
    data_ = std::move(content);
    pos_ = 0;
    path_ = name;
    mode_ = Mode::Reading;
    return true;
}

bool BinaryFile::createLocked(const std::string& path, Permissions permissions) {
    if (isOpen() || path.empty() || path.size() > kMaxPathBytes) return false;
    if (!startTemporary(path, permissions, true)) {
        reset();
        return false;
    }
    return true;
}

bool BinaryFile::startTemporary(const std::string& target, Permissions permissions, bool lockHeld) {
    // Created and renamed relative to the open folder: a target path as long
    // as the platform allows still leaves room for its temporary's name.
    UniqueFd folderFd(::open(folderOf(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!folderFd) {
        // A missing or unwritable folder: the cause is the folder's, named
        // by the file being saved.
        noteFileFailure(target, FileFault::System, errno);
        return false;
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
    if (!fd) {
        noteFileFailure(target, FileFault::System, errno);
        return false;
    }
    // Held from the start, so that no save cleaning up after interrupted ones
    // takes it for theirs; nobody else knows the name yet, so this cannot wait.
    if (flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
        noteFileFailure(target, FileFault::System, errno);
        unlinkat(folder, name.c_str(), 0);
        return false;
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
        fchmod(fd.get(), mode & 0777);
    }
    fd_ = std::move(fd);
    tempName_ = name;
    path_ = target;
    mode_ = Mode::Writing;
    written_ = 0;
    syncedUpTo_ = 0;
    writeFailed_ = false;
    finished_ = false;
    committed_ = false;
    data_.clear();
    data_.reserve(kWriteBuffer);
    return true;
}

bool BinaryFile::flushBuffer() {
    if (data_.empty()) return !writeFailed_;
    if (!writeFailed_) writeOut(data_.data(), data_.size());
    data_.clear();
    return !writeFailed_;
}

bool BinaryFile::writeOut(const uint8_t* p, size_t n) {
    if (!writeAll(fd_.get(), p, n)) {
        markWriteFailed();
        return false;
    }
    // Everything counted in written_ is in the file now.
    if (written_ - syncedUpTo_ >= kEarlySyncStep) startEarlySync();
    return true;
}

void BinaryFile::startEarlySync() {
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

bool BinaryFile::waitEarlySync() {
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

bool BinaryFile::finish() {
    if (mode_ != Mode::Writing || committed_) return false;
    if (finished_) return true;
    if (!flushBuffer()) return false;
    if (!waitEarlySync()) {
        noteFileFailure(path_, FileFault::System, earlySync_->error);
        return false;
    }
    if (saveCalls().fsync(fd_.get()) != 0) {
        noteFileFailure(path_, FileFault::System, errno);
        return false;
    }
    finished_ = true;
    return true;
}

void BinaryFile::markWriteFailed() {
    // A short write without an error is a full file system.
    noteFileFailure(path_, FileFault::System, errno != 0 ? errno : ENOSPC);
    writeFailed_ = true;
}

bool BinaryFile::holdTarget() {
    if (mode_ != Mode::Writing || committed_) return false;
    if (!deferred_ || lock_.fd() >= 0) return true;
    const auto locked = lock_.acquire(path_, FileLock::Kind::Exclusive, true);
    if (locked != FileLock::Result::Locked && locked != FileLock::Result::Missing) {
        lock_.release();
        return false;
    }
    return true;
}

bool BinaryFile::commit() {
    if (mode_ != Mode::Writing || !finished_ || committed_ || !holdTarget()) return false;
    // The new file has been locked since it was made, so nobody can hold it
    // once it is visible under the target's name.
    if (saveCalls().renameat(dirFd_.get(), tempName_.c_str(), dirFd_.get(), targetName_.c_str()) !=
        0) {
        noteFileFailure(path_, FileFault::System, errno);
        return false;
    }
    committed_ = true;
    // The rename itself is made durable too; a failure here no longer
    // affects which content the target holds.
    saveCalls().fsync(dirFd_.get());
    return true;
}

bool BinaryFile::close() {
    if (mode_ == Mode::Closed) return true;
    if (mode_ == Mode::Reading) {
        reset();
        return true;
    }
    const bool ok = committed_ || (finish() && commit());
    if (!ok) unlinkat(dirFd_.get(), tempName_.c_str(), 0);
    reset();
    return ok;
}

void BinaryFile::discard() {
    if (mode_ != Mode::Writing || committed_) {
        close();
        return;
    }
    unlinkat(dirFd_.get(), tempName_.c_str(), 0);
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
    if (mode_ != Mode::Writing || writeFailed_ || finished_) return false;
    const auto* p = static_cast<const uint8_t*>(buffer);
    if (data_.size() + count > kWriteBuffer) {
        if (!flushBuffer()) return false;
        if (count >= kWriteBuffer) {
            written_ += count;
            if (!writeOut(p, count)) return false;
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

void BinaryFile::rewind() {
    if (mode_ == Mode::Reading) pos_ = 0;
}

SecretBytes BinaryFile::takeContent() {
    SecretBytes content;
    if (mode_ != Mode::Reading) return content;
    content.swap(data_);
    close();
    return content;
}

}  // namespace Talvek
