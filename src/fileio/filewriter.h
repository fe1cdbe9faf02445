#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "fileio/filelock.h"
#include "fileio/uniquefd.h"
#include "fileio/wipingallocator.h"

namespace Talvek {

// Writes a file's new content atomically: bytes go through a buffer into a
// temporary file in the target's folder; close() flushes, syncs and renames
// it over the target. A failed write (full disk, quota, size limit) makes
// close() fail and leaves the old file exactly as it was; a writer destroyed
// without close() throws its temporary file away. A temporary is locked by
// its writer from the moment it exists and is named ".NAME.tvk-XXXXXX.tmp";
// a save also removes the temporaries an interrupted earlier save of the
// same file left, which nobody holds any more, and never a file named
// otherwise. Temporaries are made and renamed relative to the open folder,
// so a target path may be as long as the platform allows. A replaced file
// keeps its owner, group and mode (never wider; with private keys never more
// than the owner's); a new one is 0600 with private keys, else 0644 less the
// umask. Large content is synced in the background while the rest is still
// being written, so that the sync at the end waits for the tail only.
//
// The target is locked exclusively (a file another program holds is waited
// for up to lockWait()); a file without any write permission bit counts as
// read-only and is not replaced, even by root. Every failure is returned
// with its cause.
//
// Symbolic links: a save replaces the file a link points at and keeps the
// link, except for a link the kernel's protected-symlinks rule would not
// follow (in a sticky, world-writable folder, owned by neither the user nor
// the folder's owner): that save fails.
class FileWriter {
public:
    // Who may read a created file: key files with private keys are owner-only
    // from the moment they exist.
    enum class Permissions { OwnerOnly, Normal };

    FileWriter();
    ~FileWriter();
    FileWriter(const FileWriter&) = delete;
    FileWriter& operator=(const FileWriter&) = delete;

    // New content for path; the existing target (or, when there is none,
    // its folder) stays locked until the replacement is in place.
    FileResult create(const std::string& path, Permissions permissions = Permissions::OwnerOnly);
    // Created like create(), for content that arrives slowly (over the
    // network): the target's lock is taken only when the new file is put in
    // place (commit(), close()), so readers and savers of the old content
    // never wait for the writing.
    FileResult createDeferred(const std::string& path, Permissions permissions = Permissions::OwnerOnly);
    // For a caller that already holds the target's lock (a transaction);
    // takes effect only at commit(). path must be a save target.
    FileResult createLocked(const std::string& path, Permissions permissions);

    // The file a save to path replaces: the target of a symbolic link, or the
    // path itself. False for a path too long or a link that must not be
    // followed.
    static FileResult saveTarget(const std::string& path, std::string& target);

    // Appends; false once anything could not be stored (and from then on).
    bool write(std::span<const uint8_t> bytes);
    bool write(std::string_view text) {
        return write({reinterpret_cast<const uint8_t*>(text.data()), text.size()});
    }
    // Bytes written so far.
    uint64_t size() const { return written_; }
    bool writeFailed() const { return writeFailed_; }
    // Why the first failed write failed (fault None before any did).
    const FileFailure& writeFailure() const { return writeFailure_; }
    // The outcome of making the content: worked when made is true; else the
    // cause of a write the file refused, or none when the content itself
    // could not be made.
    FileResult contentResult(bool made) const {
        if (made) return {};
        return writeFailed_ ? FileResult::failed(writeFailure_) : FileResult::failed();
    }

    // Puts the new content in place. False when anything written could not
    // be stored; the target then stays as it was.
    FileResult close();
    // Drops the new content; the target stays as it was.
    void discard();
    // In two steps: finish() writes out and syncs the content (false when
    // any of it could not be stored); commit() then puts it in place. The
    // new file stays locked until the writer is closed or destroyed, so
    // nobody reads or replaces it before its transaction ends.
    FileResult finish();
    FileResult commit();
    // For a deferred file: takes the target's lock now (commit() would), for
    // a caller with more to do under it before the new file goes in place.
    // True when the lock is held.
    FileResult holdTarget();

    bool isOpen() const { return open_; }
    const std::string& path() const { return path_; }

private:
    FileResult startTemporary(const std::string& target, Permissions permissions, bool lockHeld);
    bool flushBuffer();
    bool writeOut(const uint8_t* p, size_t n);
    void startEarlySync();
    bool waitEarlySync();
    void markWriteFailed();
    void reset();

    bool open_ = false;
    std::string path_;
    UniqueFd fd_;             // the temporary file written
    FileLock lock_;           // the target, when this writer took the lock
    UniqueFd dirFd_;          // the target's folder: temporaries are made and renamed in it
    std::string tempName_;    // the temporary's name in that folder
    std::string targetName_;  // the target's name in that folder
    // Pending bytes: key bases hold private keys as plain numbers, so the
    // buffer is wiped when it is released.
    SecretBytes buffer_;
    uint64_t written_ = 0;
    struct EarlySync;
    std::unique_ptr<EarlySync> earlySync_;  // a background sync of what was written
    uint64_t syncedUpTo_ = 0;               // written bytes a background sync was asked for
    bool deferred_ = false;                 // the target's lock is taken at commit
    bool writeFailed_ = false;
    FileFailure writeFailure_;
    bool finished_ = false;
    bool committed_ = false;
};

// Writes the file at path through writer whole, or not at all: when writer
// returns false or a write fails, the target stays as it was.
FileResult writeWhole(const std::string& path, FileWriter::Permissions permissions,
                      const std::function<bool(FileWriter&)>& writer);

}  // namespace Talvek
