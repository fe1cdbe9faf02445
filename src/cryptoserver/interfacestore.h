#pragma once
// The served folder: one file NAME.key_base per interface, and the previous
// versions of each in FOLDER/.history/NAME.key_base.N (N = 1 the latest).
//
// Names travel in Windows-1251; the folder's file names are UTF-8. A name is
// one plain file name inside the folder: no separators, no leading dot (no
// "..", no history), no control characters, and only a regular file of the
// folder itself, never a link leading out.

#include <mutex>
#include <string>
#include <vector>

#include "fileio/fileresult.h"

namespace Talvek {

class FileWriter;

// The name of a version kept in the history folder: NAME.key_base.N, N = 1
// the latest.
std::string historyFileName(const std::string& baseFile, int version);

class InterfaceStore {
public:
    InterfaceStore(std::string folder, int historyDepth)
        : folder_(std::move(folder)), historyDepth_(historyDepth) {}

    // At start: removes the temporaries a killed predecessor left in the
    // folder (half-written uploads, a half-written nonce file).
    void removeTemporaries() const;
    // The interface's file, or empty when the name cannot name one.
    std::string path(const std::string& name) const;
    // The names of the interfaces served, sorted.
    std::vector<std::string> names() const;
    // The stored file name an upload's answer carries.
    static std::string storedName(const std::string& name);
    // Puts a finished new version in place of path, keeping the current one
    // in the history; one commit at a time. Failed, with the file and its
    // cause, and nothing replaced, when the new version cannot be stored or
    // the history is not a real folder of ours (a link is never followed).
    FileResult commit(FileWriter& file, const std::string& path);
    // Frees the version that fell out of the history at the last commit of
    // the interface: slow for a large file, so done once the client has its
    // answer.
    void removeDroppedVersion(const std::string& name) const;

private:
    FileResult keepHistory(const std::string& path) const;
    std::string droppedVersion(const std::string& path) const;

    std::string folder_;
    int historyDepth_;
    std::mutex commitMutex_;
};

}  // namespace Talvek
