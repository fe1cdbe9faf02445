#include "keystore/fileexists.h"

#include <filesystem>
#include <system_error>

#include <sys/stat.h>

namespace Talvek {

bool fileExists(const std::string& path) {
    struct stat st {};
    return !path.empty() && stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

bool sameFile(const std::string& a, const std::string& b) {
    if (a == b) return true;
    std::error_code error;
    const bool same = std::filesystem::equivalent(a, b, error);
    return !error && same;
}

}  // namespace Talvek
