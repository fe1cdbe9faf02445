#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "fileio/filelock.h"
#include "fileio/uniquefd.h"
#include "fileio/wipingallocator.h"

namespace Talvek {

// No key file is larger: a bigger file is refused before a byte of it is read.
inline constexpr uint64_t kMaxKeyFileBytes = 256ull << 20;

// The file wrapper through which every key file is read and written.
//
// Reading: the whole file is read in one go when it is opened, so fields cost
// no system call. Writing: bytes go through a buffer into a temporary file in
// the target's folder; close() flushes, syncs and renames it over the target.
// A failed write (full disk, quota, size limit) makes close() fail and leaves
// the old file exactly as it was; an object destroyed without close() throws
// its temporary file away. A temporary is locked by its writer from the
// moment it exists and is named ".NAME.tvk-XXXXXX.tmp"; a save also removes
// the temporaries an interrupted earlier save of the same file left, which
// nobody holds any more, and never a file named otherwise. Temporaries are
// made and renamed relative to the open folder, so a target path may be as
// long as the platform allows. A replaced file keeps its owner, group and
// mode (never wider; with private keys never more than the owner's); a new
// one is 0600 with private keys, else 0644 less the umask. Large content is
// synced in the background while the rest is still being written, so that
// the sync at the end waits for the tail only.
//
// "No sharing" is an exclusive flock: a file another program holds is waited
// for up to lockWait(), then the open fails. A file without any write
// permission bit counts as read-only and cannot be opened for writing, even by
// root.
//
// Every failure to open, read or store a file is recorded with its cause
// (keystore/filefault.h), for a front end that wants to say why.
//
// Symbolic links: a save replaces the file a link points at and keeps the
// link, except for a link the kernel's protected-symlinks rule would not
// follow (in a sticky, world-writable folder, owned by neither the user nor
// the folder's owner): that save fails.
class BinaryFile {
public:
    enum Access : unsigned { Read = 1, Write = 2, ReadWrite = 3 };
    enum class Disposition { OpenExisting, CreateAlways };
    enum class Share { None, Read };
    // Who may read a created file: key files with private keys are owner-only
    // from the moment they exist.
    enum class Permissions { OwnerOnly, Normal };

    BinaryFile();
    ~BinaryFile();
    BinaryFile(const BinaryFile&) = delete;
    BinaryFile& operator=(const BinaryFile&) = delete;

    bool open(const std::string& path, unsigned access, Disposition disposition, Share share,
              Permissions permissions = Permissions::OwnerOnly);
    // Read and write access, created anew or truncated, not shared.
    bool create(const std::string& path, Permissions permissions = Permissions::OwnerOnly);
    // Read and write access, must exist, not shared: how key files are read.
    bool openExisting(const std::string& path);
    // Created anew like create(), for content that arrives slowly (over the
    // network): the target's lock is taken only when the new file is put in
    // place (commit(), close()), so readers and savers of the old content
    // never wait for the writing.
    bool createDeferred(const std::string& path, Permissions permissions = Permissions::OwnerOnly);

    // For a caller that already holds the file's lock (a transaction):
    // reads the file through the locked descriptor...
    bool openLocked(const std::string& path, int lockedFd);
    // Reads content that is already in memory (a key file that came through
    // a pipe) as if it were a file named name: the same readers, the same
    // size limit, no descriptor and no lock. name only labels failures.
    bool openContent(const std::string& name, SecretBytes content);
    // ...or writes its replacement, which takes effect only at commit().
    // path must be a save target (see saveTarget).
    bool createLocked(const std::string& path, Permissions permissions);

    // The file a save to path replaces: the target of a symbolic link, or the
    // path itself. False for a path too long or a link that must not be
    // followed.
    static bool saveTarget(const std::string& path, std::string& target);

    // Closes; for a created file this is the moment the new content replaces
    // the old one. False when anything written could not be stored.
    bool close();
    // Drops a created file's new content; the target stays as it was.
    void discard();
    // A created file in two steps: finish() writes out and syncs the content
    // (false when any of it could not be stored); commit() then puts it in
    // place. The new file stays locked until the object is closed or
    // destroyed, so nobody reads or replaces it before its transaction ends.
    bool finish();
    bool commit();
    // For a deferred file: takes the target's lock now (commit() would),
    // for a caller with more to do under it before the new file goes in
    // place. True when the lock is held.
    bool holdTarget();

    bool isOpen() const { return mode_ != Mode::Closed; }
    const std::string& path() const { return path_; }

    // The file calls of the key-file format, kept in their described shape
    // (counts moved and high words through out-parameters) for the record
    // readers and writers; other code reads through remaining() and take().
    // A short read at the end of the file succeeds with fewer bytes.
    bool read(void* buffer, uint32_t count, uint32_t* moved = nullptr);
    bool write(const void* buffer, uint32_t count, uint32_t* moved = nullptr);
    // Size of the file being read, or bytes written so far.
    uint32_t size(uint32_t* high = nullptr) const;

    // Reading helpers: bytes not yet read, and a view of the next n bytes
    // (null when fewer remain) that consumes them.
    uint64_t remaining() const;
    const uint8_t* take(uint64_t n);
    // Consumes whatever is left (a field that claims more than the file holds).
    void skipToEnd();
    // Back to the first byte: one read of a file serves several readers.
    void rewind();
    // Hands over the whole content of a file being read and closes it, so
    // that large content outlives the file's lock without being copied.
    // Empty for a file not being read.
    SecretBytes takeContent();
    bool writeFailed() const { return writeFailed_; }

private:
    enum class Mode { Closed, Reading, Writing };

    bool readWhole(const std::string& path, int fd);
    bool startTemporary(const std::string& target, Permissions permissions, bool lockHeld);
    bool flushBuffer();
    bool writeOut(const uint8_t* p, size_t n);
    void startEarlySync();
    bool waitEarlySync();
    void markWriteFailed();
    void reset();

    Mode mode_ = Mode::Closed;
    std::string path_;
    UniqueFd fd_;             // temporary file written
    FileLock lock_;           // the file read or replaced, when this object took the lock
    UniqueFd dirFd_;          // the target's folder: temporaries are made and renamed in it
    std::string tempName_;    // the temporary's name in that folder
    std::string targetName_;  // the target's name in that folder
    // Whole file (reading) or pending bytes (writing): key bases hold private
    // keys as plain numbers, so the buffer is wiped when it is released.
    SecretBytes data_;
    uint64_t pos_ = 0;
    uint64_t written_ = 0;
    struct EarlySync;
    std::unique_ptr<EarlySync> earlySync_;  // a background sync of what was written
    uint64_t syncedUpTo_ = 0;               // written bytes a background sync was asked for
    bool deferred_ = false;                 // the target's lock is taken at commit
    bool writeFailed_ = false;
    bool finished_ = false;
    bool committed_ = false;
};

}  // namespace Talvek
