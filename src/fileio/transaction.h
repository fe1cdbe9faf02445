#pragma once
// One change of key files as one step. The key base is locked exclusively
// from before it is read until after its new content is in place, so two
// programs never both read the old base and one of them lose the other's
// channel. Every file the change writes is first written and synced to a
// temporary; only when all of them are complete are they renamed over their
// targets, in the order they were staged: the key base first, the files
// derived from it after. A failure before that point leaves every file as it
// was; an object destroyed without commit() throws its temporaries away.

#include <chrono>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "fileio/fileexists.h"
#include "fileio/filelock.h"
#include "fileio/filereader.h"
#include "fileio/filewriter.h"

namespace Talvek {

class Transaction {
public:
    Transaction() = default;
    ~Transaction();
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;

    // Locks the file a save to path replaces, exclusively, waiting for
    // another program up to lockWait(). A file not made yet locks its folder.
    // Fails when the lock cannot be had or the path is no file this program
    // may replace.
    FileResult lock(const std::string& path);
    // Locks every file of the action at once, in one fixed order (by the
    // resolved path of what is locked), so that two programs changing files
    // in the same folders never each hold what the other waits for. Empty
    // paths are skipped. All the locks of one transaction share one wait of
    // lockWait(), however many there are.
    FileResult lock(const std::vector<std::string>& paths);
    // After lock(): whether the file exists.
    bool exists(const std::string& path) const;
    // Opens the locked, existing file for reading through its lock, so a
    // reader needs no second lock.
    FileResult openLocked(const std::string& path, FileReader& file) const;
    // New content for path, locked first when it was not, in staged; null on
    // failure, also when the file a save to path replaces was staged already (two
    // roles of one action on one file, however spelt, a link to a file not
    // made yet included): the later content would silently replace the
    // earlier.
    FileResult stage(const std::string& path, FileWriter::Permissions permissions,
                     FileWriter*& staged);
    // Writes out and syncs every staged file; when all are complete, renames
    // them in staging order. Fails when anything failed; before the first
    // rename that leaves every file as it was.
    FileResult commit();

private:
    // A file of the action, found out once when it is locked: what a save to
    // it replaces, and that file's identity, by which every later spelling
    // of it is recognised.
    struct Held {
        std::string target;
        FileIdentity identity;
        FileLock lock;
        bool exists = false;
        bool staged = false;
    };
    Held* find(const std::string& path) const;
    Held* findIdentity(const FileIdentity& identity) const;
    FileResult lockTarget(const std::string& path, const std::string& target);
    std::chrono::steady_clock::time_point deadline();

    std::vector<std::unique_ptr<Held>> held_;
    // Every spelling asked for so far, so that the next lookup of it costs
    // no file-system call; and the held files by inode and resolved path.
    mutable std::unordered_map<std::string, Held*> byPath_;
    std::map<std::pair<dev_t, ino_t>, Held*> byInode_;
    std::unordered_map<std::string, Held*> byResolved_;
    // The folders held for files not made yet, which are not locked twice.
    std::set<std::pair<dev_t, ino_t>> heldFolders_;
    std::vector<std::unique_ptr<FileWriter>> staged_;
    std::optional<std::chrono::steady_clock::time_point> deadline_;
};

}  // namespace Talvek
