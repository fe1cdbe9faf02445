#include "fileio/transaction.h"

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <system_error>
#include <utility>

#include <sys/stat.h>

#include "fileio/fileexists.h"
#include "fileio/filefault.h"

namespace Talvek {

namespace {

// A path in one spelling for every program: absolute, with ".", ".." and
// the links of its existing part resolved.
std::string lockedPlace(const std::string& path) {
    std::error_code error;
    const auto place =
        std::filesystem::weakly_canonical(std::filesystem::absolute(path, error), error);
    return error ? path : place.string();
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

Transaction::Held* Transaction::find(const std::string& path) const {
    for (const auto& h : held_) {
        if (h->path == path || sameFile(h->target, path)) return h.get();
    }
    return nullptr;
}

std::chrono::steady_clock::time_point Transaction::deadline() {
    if (!deadline_) deadline_ = std::chrono::steady_clock::now() + lockWait();
    return *deadline_;
}

bool Transaction::lock(const std::vector<std::string>& paths) {
    std::vector<std::pair<std::string, const std::string*>> order;
    for (const std::string& path : paths) {
        if (path.empty()) continue;
        std::string target;
        if (!FileWriter::saveTarget(path, target)) return false;
        // What is actually locked: the file, or the folder of a file not
        // made yet.
        struct stat st {};
        order.emplace_back(lockedPlace(stat(target.c_str(), &st) == 0 ? target : folderOf(target)),
                           &path);
    }
    std::stable_sort(order.begin(), order.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    for (const auto& [place, path] : order) {
        if (!lock(*path)) return false;
    }
    return true;
}

bool Transaction::lock(const std::string& path) {
    if (find(path)) return true;
    auto held = std::make_unique<Held>();
    held->path = path;
    if (!FileWriter::saveTarget(path, held->target)) return false;
    // A process cannot wait for its own lock: a folder this transaction
    // already holds is not locked twice.
    bool folderHeld = false;
    for (const auto& h : held_) {
        if (h->lock.holdsFolder() && sameFolder(h->target, held->target)) folderHeld = true;
    }
    switch (
        held->lock.acquire(held->target, FileLock::Kind::Exclusive, true, folderHeld, deadline())) {
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

bool Transaction::openLocked(const std::string& path, FileReader& file) const {
    const Held* h = find(path);
    if (!h) return false;
    if (!h->exists) {
        noteFileFailure(path, FileFault::System, ENOENT);
        return false;
    }
    return file.openLocked(h->target, h->lock.fd());
}

FileWriter* Transaction::stage(const std::string& path, FileWriter::Permissions permissions) {
    if (!lock(path)) return nullptr;
    Held* h = find(path);
    if (!h) return nullptr;
    if (h->staged) {
        noteFileFailure(path, FileFault::TwoRoles);
        return nullptr;
    }
    auto file = std::make_unique<FileWriter>();
    if (!file->createLocked(h->target, permissions)) return nullptr;
    h->staged = true;
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
