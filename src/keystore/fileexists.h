#pragma once

#include <string>

namespace Talvek {

// True when the path names an existing file system entry that is not a
// directory; false for an empty path, a missing one and a directory.
bool fileExists(const std::string& path);

// True when the two paths name the same file, also when spelt differently
// (relative, "..", a link); a plain comparison when either does not exist.
bool sameFile(const std::string& a, const std::string& b);

}  // namespace Talvek
