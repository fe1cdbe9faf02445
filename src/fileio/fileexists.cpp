#include "fileio/fileexists.h"

#include <filesystem>
#include <system_error>
#include <utility>

#include <sys/stat.h>

namespace Talvek {

namespace {

// The absolute form of a path with ".", ".." and the symbolic links of its
// existing part resolved; a part that does not exist yet is appended as
// written, with its own "." and ".." applied.
std::string resolvedPath(const std::string& path) {
    std::error_code error;
    std::filesystem::path absolute = std::filesystem::absolute(path, error);
    if (error) return path;
    // A link to a file not made yet names the file a save would make; the
    // library's resolution stops at such a link, so it is followed here.
    for (int hops = 0; hops < 40; ++hops) {
        const auto status = std::filesystem::symlink_status(absolute, error);
        if (error || !std::filesystem::is_symlink(status)) break;
        const std::filesystem::path next = std::filesystem::read_symlink(absolute, error);
        if (error) break;
        absolute = next.is_absolute() ? next : absolute.parent_path() / next;
    }
    error.clear();
    const std::filesystem::path resolved = std::filesystem::weakly_canonical(absolute, error);
    if (error) return absolute.lexically_normal().string();
    return resolved.string();
}

}  // namespace

std::string folderOf(const std::string& path) {
    const auto slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

bool fileExists(const std::string& path) {
    struct stat st {};
    return !path.empty() && stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

bool sameFile(const std::string& a, const std::string& b) {
    if (a == b) return true;
    if (a.empty() || b.empty()) return false;
    return sameFile(FileIdentity(a), FileIdentity(b));
}

FileIdentity::FileIdentity(std::string path) : path_(std::move(path)) {
    struct stat st {};
    if (!path_.empty() && stat(path_.c_str(), &st) == 0) {
        exists_ = true;
        device_ = st.st_dev;
        inode_ = st.st_ino;
    }
}

const std::string& FileIdentity::resolved() const {
    if (!resolved_) resolved_ = resolvedPath(path_);
    return *resolved_;
}

bool sameFile(const FileIdentity& a, const FileIdentity& b) {
    if (a.path() == b.path()) return true;
    if (a.path().empty() || b.path().empty()) return false;
    // Hard links and every spelling of one existing file share device and inode.
    if (a.exists() && b.exists()) return a.device() == b.device() && a.inode() == b.inode();
    // A file that is still to be written is known only by where it will be.
    return a.resolved() == b.resolved();
}

}  // namespace Talvek
