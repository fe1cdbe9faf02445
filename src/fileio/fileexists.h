#pragma once

#include <cstddef>
#include <string>

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

}  // namespace Talvek
