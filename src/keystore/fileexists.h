#pragma once

#include <string>

namespace Talvek {

// True when the path names an existing file system entry that is not a
// directory; false for an empty path, a missing one and a directory.
bool fileExists(const std::string& path);

} // namespace Talvek
