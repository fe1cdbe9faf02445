#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace Talvek {

// The file wrapper through which every key file is read and written.
//
// Reading: the whole file is read in one go when it is opened, so fields cost
// no system call. Writing: bytes go through a buffer into a temporary file in
// the target's folder; close() flushes, syncs and renames it over the target.
// A failed write (full disk, quota, size limit) makes close() fail and leaves
// the old file exactly as it was; an object destroyed without close() throws
// its temporary file away.
//
// Every failure to open, read or store a file is recorded with its cause
// (keystore/filefault.h). A file larger than any key file is refused before
// it is read.
//
// "No sharing" is an exclusive, non-blocking flock: a file another program
// holds that way cannot be opened. A file without any write permission bit
// counts as read-only and cannot be opened for writing, even by root.
class BinaryFile {
public:
    enum Access : unsigned { Read = 1, Write = 2, ReadWrite = 3 };
    enum class Disposition { OpenExisting, CreateAlways };
    enum class Share { None, Read };
    // Who may read a created file: key files with private keys are owner-only
    // from the moment they exist.
    enum class Permissions { OwnerOnly, Normal };

    BinaryFile() = default;
    ~BinaryFile();
    BinaryFile(const BinaryFile&) = delete;
    BinaryFile& operator=(const BinaryFile&) = delete;

    bool open(const std::string& path, unsigned access, Disposition disposition, Share share,
              Permissions permissions = Permissions::OwnerOnly);
    // Read and write access, created anew or truncated, not shared.
    bool create(const std::string& path, Permissions permissions = Permissions::OwnerOnly);
    // Read and write access, must exist, not shared: how key files are read.
    bool openExisting(const std::string& path);

    // Closes; for a created file this is the moment the new content replaces
    // the old one. False when anything written could not be stored.
    bool close();
    // Drops a created file's new content; the target stays as it was.
    void discard();

    bool isOpen() const { return mode_ != Mode::Closed; }
    const std::string& path() const { return path_; }

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
    bool writeFailed() const { return writeFailed_; }

private:
    enum class Mode { Closed, Reading, Writing };

    bool flushBuffer();
    void markWriteFailed();
    void releaseLock();
    void reset();

    Mode mode_ = Mode::Closed;
    std::string path_;
    int fd_ = -1;      // file read, or temporary file written
    int lockFd_ = -1;  // the existing target, held while it is being replaced
    std::string tempPath_;
    std::vector<uint8_t> data_;  // whole file (reading) or pending bytes (writing)
    uint64_t pos_ = 0;
    uint64_t written_ = 0;
    bool writeFailed_ = false;
};

}  // namespace Talvek
