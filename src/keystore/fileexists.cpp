#include "keystore/fileexists.h"

#include <sys/stat.h>

namespace Talvek {

bool fileExists(const std::string& path) {
    struct stat st {};
    return !path.empty() && stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

} // namespace Talvek
