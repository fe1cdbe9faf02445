#include "cryptoserver/interfacestore.h"

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <cstring>
#include <system_error>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "cryptoclient/protocol.h"
#include "fileio/filewriter.h"
#include "fileio/uniquefd.h"
#include "keystore/cp1251.h"

namespace Talvek {

namespace {

constexpr const char* kBaseSuffix = ".key_base";
constexpr const char* kHistoryFolder = ".history";

}  // namespace

std::string historyFileName(const std::string& baseFile, int version) {
    return baseFile + "." + std::to_string(version);
}

std::string InterfaceStore::storedName(const std::string& name) {
    return name + kBaseSuffix;
}

std::string InterfaceStore::path(const std::string& name) const {
    if (name.empty() || name.size() >= kInterfaceNameSize || name.front() == '.') return {};
    for (char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F || c == '/' || c == '\\') return {};
    }
    const std::string file = folder_ + "/" + cp1251ToUtf8(name) + kBaseSuffix;
    struct stat st {};
    if (::lstat(file.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return {};
    return file;
}

std::vector<std::string> InterfaceStore::names() const {
    std::vector<std::string> names;
    std::error_code ec;
    const std::string suffix = kBaseSuffix;
    for (const auto& entry : std::filesystem::directory_iterator(folder_, ec)) {
        const std::string file = entry.path().filename().string();
        if (!entry.is_regular_file(ec) || entry.is_symlink(ec) || file.size() <= suffix.size() ||
            file.compare(file.size() - suffix.size(), suffix.size(), suffix) != 0)
            continue;
        std::string name;
        if (utf8ToCp1251(file.substr(0, file.size() - suffix.size()), name) && !path(name).empty())
            names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
}

void InterfaceStore::removeTemporaries() const {
    // Temporaries are ".TARGET.tvk-XXXXXX.tmp" beside their target (the
    // naming of fileio's saves): a key base's, or the nonce file's. Nothing
    // else of the folder starts with a dot but the history and the nonce
    // file themselves.
    const std::string tag = ".tvk-", suffix = ".tmp";
    const std::string baseSuffix = kBaseSuffix;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(folder_, ec)) {
        const std::string name = entry.path().filename().string();
        const size_t at = name.rfind(tag);
        if (name.size() < 2 || name[0] != '.' || at == std::string::npos || at < 1 ||
            name.size() != at + tag.size() + 6 + suffix.size() ||
            name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0)
            continue;
        const std::string target = name.substr(1, at - 1);
        const bool ours =
            target == "nonces" ||
            (target.size() > baseSuffix.size() &&
             target.compare(target.size() - baseSuffix.size(), baseSuffix.size(), baseSuffix) == 0);
        struct stat st {};
        if (ours && ::lstat(entry.path().c_str(), &st) == 0 && S_ISREG(st.st_mode))
            ::unlink(entry.path().c_str());
    }
}

FileResult InterfaceStore::keepHistory(const std::string& path) const {
    if (historyDepth_ <= 0) return {};
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::path folder = fs::path(folder_) / kHistoryFolder;
    ::mkdir(folder.c_str(), 0700);
    // Only a real folder: a link would let the history (and its chmod) land
    // anywhere.
    const UniqueFd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!dir || ::fchmod(dir.get(), 0700) != 0) {
        int cause = errno;
        // A link to a folder is refused as "not a folder" by the open: named
        // as the link it is.
        if (struct stat st {}; cause == ENOTDIR && ::lstat(folder.c_str(), &st) == 0 &&
                               S_ISLNK(st.st_mode))
            cause = ELOOP;
        return FileResult::failed(folder.string(), FileFault::System, cause);
    }
    const std::string file = fs::path(path).filename().string();
    // The oldest version is only set aside here: freeing a large file takes
    // longer than the whole commit, so it is removed once the client has its
    // answer (removeDroppedVersion).
    fs::rename(folder / historyFileName(file, historyDepth_), droppedVersion(path), ec);
    for (int version = historyDepth_ - 1; version >= 1; --version) {
        fs::rename(folder / historyFileName(file, version),
                   folder / historyFileName(file, version + 1), ec);
    }
    // A second name for the current file: it survives the rename over it.
    const fs::path latest = folder / historyFileName(file, 1);
    if (::link(path.c_str(), latest.c_str()) != 0) fs::copy_file(path, latest, ec);
    return {};
}

std::string InterfaceStore::droppedVersion(const std::string& path) const {
    namespace fs = std::filesystem;
    return (fs::path(folder_) / kHistoryFolder / fs::path(path).filename()).string() + ".dropped";
}

void InterfaceStore::removeDroppedVersion(const std::string& name) const {
    const std::string file = path(name);
    if (!file.empty()) ::unlink(droppedVersion(file).c_str());
}

FileResult InterfaceStore::commit(FileWriter& file, const std::string& path) {
    // Synced before the lock: another interface's commit need not wait.
    if (FileResult finished = file.finish(); !finished) return finished;
    std::lock_guard lock(commitMutex_);
    if (FileResult held = file.holdTarget(); !held) return held;
    if (FileResult kept = keepHistory(path); !kept) return kept;
    return file.close();
}

}  // namespace Talvek
