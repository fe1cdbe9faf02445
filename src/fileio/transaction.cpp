#include "fileio/transaction.h"

#include <cerrno>

#include <sys/stat.h>

#include "fileio/fileexists.h"
#include "fileio/filefault.h"

namespace Talvek {

namespace {

std::string folderOf(const std::string& path) {
    const auto slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

bool sameFolder(const std::string& a, const std::string& b) {
    struct stat sa {};
    struct stat sb {};
    return stat(folderOf(a).c_str(), &sa) == 0 && stat(folderOf(b).c_str(), &sb) == 0 &&
           sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

}  // namespace

Transaction::~Transaction() {
    // Uncommitted temporaries go first, then the locks.
    staged_.clear();
    held_.clear();
}

const Transaction::Held* Transaction::find(const std::string& path) const {
    for (const auto& h : held_) {
        if (h->path == path || sameFile(h->target, path)) return h.get();
    }
    return nullptr;
}

bool Transaction::lock(const std::string& path) {
    if (find(path)) return true;
    auto held = std::make_unique<Held>();
    held->path = path;
    if (!BinaryFile::saveTarget(path, held->target)) return false;
    // A process cannot wait for its own lock: a folder this transaction
    // already holds is not locked twice.
    bool folderHeld = false;
    for (const auto& h : held_) {
        if (h->lock.holdsFolder() && sameFolder(h->target, held->target)) folderHeld = true;
    }
    switch (held->lock.acquire(held->target, FileLock::Kind::Exclusive, true, folderHeld)) {
        case FileLock::Result::Locked:
            held->exists = true;
            break;
        case FileLock::Result::Missing:
            held->exists = false;
            break;
        default:
            return false;
    }
    held_.push_back(std::move(held));
    return true;
}

bool Transaction::exists(const std::string& path) const {
    const Held* h = find(path);
    return h && h->exists;
}

bool Transaction::openLocked(const std::string& path, BinaryFile& file) const {
    const Held* h = find(path);
    if (!h) return false;
    if (!h->exists) {
        noteFileFailure(path, FileFault::System, ENOENT);
        return false;
    }
    return file.openLocked(h->target, h->lock.fd());
}

BinaryFile* Transaction::stage(const std::string& path, BinaryFile::Permissions permissions) {
    if (!lock(path)) return nullptr;
    const Held* h = find(path);
    auto file = std::make_unique<BinaryFile>();
    if (!h || !file->createLocked(h->target, permissions)) return nullptr;
    staged_.push_back(std::move(file));
    return staged_.back().get();
}

bool Transaction::commit() {
    if (staged_.empty()) return false;
    for (const auto& file : staged_) {
        if (file->writeFailed() || !file->finish()) return false;
    }
    for (const auto& file : staged_) {
        if (!file->commit()) return false;
    }
    return true;
}

}  // namespace Talvek
