#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include <sys/types.h>

namespace Talvek {

// The longest file path the program takes, in bytes: the platform's limit
// without its terminating zero. A longer path is refused, never cut.
inline constexpr std::size_t kMaxPathBytes = 4095;

// The folder a path names its file in: "." for a bare name, "/" for a
// file at the root.
std::string folderOf(const std::string& path);

// True when the path names an existing file system entry that is not a
// directory; false for an empty path, a missing one and a directory.
bool fileExists(const std::string& path);

// True when the two paths name one file: the same text; else, when both
// exist, the same device and inode (hard links included); else the same
// absolute path once ".", ".." and the links of the part that exists are
// resolved, so a file that is still to be written is recognised too, also
// through a link to it.
bool sameFile(const std::string& a, const std::string& b);

// What sameFile compares, found out once for a path: whether it exists with
// which device and inode, and (asked for only when needed, then kept) its
// absolute resolved form. For an action that compares one path with many.
class FileIdentity {
public:
    FileIdentity() = default;
    explicit FileIdentity(std::string path);

    const std::string& path() const { return path_; }
    bool exists() const { return exists_; }
    dev_t device() const { return device_; }
    ino_t inode() const { return inode_; }
    const std::string& resolved() const;

private:
    std::string path_;
    bool exists_ = false;
    dev_t device_ = 0;
    ino_t inode_ = 0;
    mutable std::optional<std::string> resolved_;
};

// sameFile on identities found out before.
bool sameFile(const FileIdentity& a, const FileIdentity& b);

}  // namespace Talvek
