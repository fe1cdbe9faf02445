#include "fileio/transaction.h"

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <system_error>
#include <utility>

#include <sys/stat.h>

#include "fileio/fileexists.h"
#include "fileio/fileresult.h"

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

}  // namespace

Transaction::~Transaction() {
    // Uncommitted temporaries go first, then the locks.
    staged_.clear();
    held_.clear();
}

Transaction::Held* Transaction::findIdentity(const FileIdentity& identity) const {
    if (identity.exists()) {
        const auto at = byInode_.find({identity.device(), identity.inode()});
        if (at != byInode_.end()) return at->second;
    }
    // A file that is still to be written (on either side) is known by where
    // it will be; an existing one found there must also be the same file.
    const auto at = byResolved_.find(identity.resolved());
    if (at != byResolved_.end() && sameFile(at->second->identity, identity)) return at->second;
    return nullptr;
}

Transaction::Held* Transaction::find(const std::string& path) const {
    if (const auto at = byPath_.find(path); at != byPath_.end()) return at->second;
    if (held_.empty() || path.empty()) return nullptr;
    Held* const h = findIdentity(FileIdentity(path));
    if (h) byPath_.emplace(path, h);
    return h;
}

std::chrono::steady_clock::time_point Transaction::deadline() {
    if (!deadline_) deadline_ = std::chrono::steady_clock::now() + lockWait();
    return *deadline_;
}

FileResult Transaction::lock(const std::vector<std::string>& paths) {
    struct Wanted {
        std::string place;
        const std::string* path;
        std::string target;
    };
    std::vector<Wanted> order;
    for (const std::string& path : paths) {
        if (path.empty() || byPath_.count(path)) continue;
        std::string target;
        if (FileResult found = FileWriter::saveTarget(path, target); !found) return found;
        // What is actually locked: the file, or the folder of a file not
        // made yet.
        struct stat st {};
        std::string place = lockedPlace(stat(target.c_str(), &st) == 0 ? target : folderOf(target));
        order.push_back({std::move(place), &path, std::move(target)});
    }
    std::stable_sort(order.begin(), order.end(),
                     [](const Wanted& a, const Wanted& b) { return a.place < b.place; });
    for (const Wanted& w : order) {
        if (byPath_.count(*w.path)) continue;
        if (FileResult locked = lockTarget(*w.path, w.target); !locked) return locked;
    }
    return {};
}

FileResult Transaction::lock(const std::string& path) {
    if (find(path)) return {};
    std::string target;
    if (FileResult found = FileWriter::saveTarget(path, target); !found) return found;
    return lockTarget(path, target);
}

FileResult Transaction::lockTarget(const std::string& path, const std::string& target) {
    FileIdentity identity(target);
    // Two spellings of one file in one list: the second finds the first.
    if (Held* h = findIdentity(identity)) {
        byPath_.emplace(path, h);
        return {};
    }
    auto held = std::make_unique<Held>();
    held->target = target;
    // A process cannot wait for its own lock: a folder this transaction
    // already holds is not locked twice.
    struct stat folder {};
    const bool folderKnown = stat(folderOf(target).c_str(), &folder) == 0;
    const bool folderHeld = folderKnown && heldFolders_.count({folder.st_dev, folder.st_ino}) > 0;
    switch (held->lock.acquire(target, FileLock::Kind::Exclusive, true, folderHeld, deadline())) {
        case FileLock::Result::Locked:
            held->exists = true;
            break;
        case FileLock::Result::Missing:
            held->exists = false;
            break;
        default:
            return FileResult::failed(held->lock.failure());
    }
    if (held->lock.holdsFolder() && folderKnown)
        heldFolders_.insert({folder.st_dev, folder.st_ino});
    // What was found out before the lock holds unless the wait for it saw
    // the file made, removed or replaced.
    struct stat locked {};
    if (held->exists != identity.exists() ||
        (held->exists &&
         (fstat(held->lock.fd(), &locked) != 0 || locked.st_dev != identity.device() ||
          locked.st_ino != identity.inode()))) {
        identity = FileIdentity(target);
    }
    held->identity = std::move(identity);
    Held* const h = held.get();
    if (h->identity.exists())
        byInode_.emplace(std::pair{h->identity.device(), h->identity.inode()}, h);
    byResolved_.emplace(h->identity.resolved(), h);
    byPath_.emplace(h->target, h);
    byPath_.emplace(path, h);
    held_.push_back(std::move(held));
    return {};
}

bool Transaction::exists(const std::string& path) const {
    const Held* h = find(path);
    return h && h->exists;
}

FileResult Transaction::openLocked(const std::string& path, FileReader& file) const {
    const Held* h = find(path);
    if (!h) return FileResult::failed();
    if (!h->exists) return FileResult::failed(path, FileFault::System, ENOENT);
    return file.openLocked(h->target, h->lock.fd());
}

FileResult Transaction::stage(const std::string& path, FileWriter::Permissions permissions,
                              FileWriter*& staged) {
    staged = nullptr;
    if (FileResult locked = lock(path); !locked) return locked;
    Held* h = find(path);
    if (!h) return FileResult::failed();
    if (h->staged) return FileResult::failed(path, FileFault::TwoRoles);
    auto file = std::make_unique<FileWriter>();
    if (FileResult created = file->createLocked(h->target, permissions); !created) return created;
    h->staged = true;
    staged_.push_back(std::move(file));
    staged = staged_.back().get();
    return {};
}

FileResult Transaction::commit() {
    if (staged_.empty()) return FileResult::failed();
    for (const auto& file : staged_) {
        if (file->writeFailed()) return FileResult::failed(file->writeFailure());
        if (FileResult finished = file->finish(); !finished) return finished;
    }
    for (const auto& file : staged_) {
        if (FileResult committed = file->commit(); !committed) return committed;
    }
    return {};
}

}  // namespace Talvek
