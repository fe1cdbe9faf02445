#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string>

#include "fileio/filelock.h"
#include "fileio/wipingallocator.h"

namespace Talvek {

// No key file is larger: a bigger file is refused before a byte of it is read.
inline constexpr uint64_t kMaxKeyFileBytes = 256ull << 20;

// Reads a file whole when it is opened and hands its bytes out through a
// cursor that cannot run past the end: a read asking for more than is left
// fails and moves nothing. A format that reads missing bytes at the end as
// zeros asks for that explicitly (readOrZero).
//
// The file stays locked while the reader is open (exclusively for a file
// that may be replaced, shared for one that is only looked at); another
// program's lock is waited for up to lockWait(). Every failure to open or
// read is returned with its cause. The content is wiped when
// it is released: key bases hold private keys as plain numbers.
class FileReader {
public:
    FileReader() = default;
    ~FileReader() = default;
    FileReader(const FileReader&) = delete;
    FileReader& operator=(const FileReader&) = delete;

    // kind Exclusive: no other program reads or replaces the file meanwhile.
    // forWriting: a file without any write permission bit is refused, as a
    // file that cannot be replaced.
    FileResult open(const std::string& path, FileLock::Kind kind, bool forWriting);
    // How key files are read: exclusively, and only those that could be
    // written back.
    FileResult openExisting(const std::string& path) {
        return open(path, FileLock::Kind::Exclusive, true);
    }
    // Only looked at: shared with other readers, read-only files too.
    FileResult openShared(const std::string& path) { return open(path, FileLock::Kind::Shared, false); }
    // For a caller that already holds the file's lock (a transaction): reads
    // through the locked descriptor, which stays the caller's.
    FileResult openLocked(const std::string& path, int lockedFd);
    // Reads content that is already in memory (a key file that came through
    // a pipe) as if it were a file named name: the same readers, the same
    // size limit, no descriptor and no lock. name only labels failures.
    FileResult openContent(const std::string& name, SecretBytes content);
    void close();

    bool isOpen() const { return open_; }
    const std::string& path() const { return path_; }
    // The whole file's size, and the bytes not yet read.
    uint64_t size() const { return data_.size(); }
    uint64_t remaining() const { return data_.size() - pos_; }

    // Exactly out.size() bytes; false (nothing consumed) when fewer remain.
    bool read(std::span<uint8_t> out) {
        if (out.size() > remaining()) return false;
        if (!out.empty()) std::memcpy(out.data(), data_.data() + pos_, out.size());
        pos_ += out.size();
        return true;
    }
    // For a format that reads what is missing at the end as zeros: what is
    // left, at most out.size() bytes, and zeros behind it. The count read.
    size_t readOrZero(std::span<uint8_t> out) {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(out.size(), remaining()));
        if (n) std::memcpy(out.data(), data_.data() + pos_, n);
        std::fill(out.begin() + static_cast<std::ptrdiff_t>(n), out.end(), uint8_t{0});
        pos_ += n;
        return n;
    }
    // A view of the next n bytes that consumes them, without a copy; none
    // (nothing consumed) when fewer remain. Valid while the reader is open.
    std::optional<std::span<const uint8_t>> take(uint64_t n) {
        if (n > remaining()) return std::nullopt;
        const std::span<const uint8_t> view(data_.data() + pos_, static_cast<size_t>(n));
        pos_ += n;
        return view;
    }
    // Consumes whatever is left (a field that claims more than the file holds).
    void skipToEnd() { pos_ = data_.size(); }
    // Back to the first byte: one read of a file serves several readers.
    void rewind() { pos_ = 0; }
    // Hands over the whole content and closes, so that large content
    // outlives the file's lock without being copied. Empty when not open.
    SecretBytes takeContent();

private:
    FileResult readWhole(const std::string& path, int fd);

    bool open_ = false;
    std::string path_;
    FileLock lock_;  // the file read, when this reader took the lock
    SecretBytes data_;
    uint64_t pos_ = 0;
};

}  // namespace Talvek
