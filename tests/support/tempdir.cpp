#include "support/tempdir.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include <sys/stat.h>
#include <unistd.h>

namespace TestSupport {

TempDir::TempDir() {
    std::string pattern = "/tmp/talvek-test-XXXXXX";
    if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

std::string TempDir::file(const std::string& name) const {
    return path_ + "/" + name;
}

std::vector<uint8_t> readBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

void writeBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

void writeText(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

std::string readText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

bool exists(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0;
}

unsigned fileMode(const std::string& path) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) return 0;
    return st.st_mode & 07777;
}

std::vector<std::string> listDir(const std::string& path) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(path)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<std::string> temporariesIn(const std::string& folder) {
    std::vector<std::string> out;
    for (const auto& name : listDir(folder)) {
        // ".TARGET.tvk-XXXXXX.tmp": a dot file of the folder's own (the
        // crypto server's ".nonces") is none.
        if (name[0] == '.' && name.find(".tvk-") != std::string::npos &&
            name.size() > 4 && name.compare(name.size() - 4, 4, ".tmp") == 0 &&
            std::filesystem::is_regular_file(folder + "/" + name))
            out.push_back(name);
    }
    return out;
}

std::map<std::string, std::vector<uint8_t>> snapshot(const TempDir& dir) {
    // Folders inside count with what they hold, under "folder/name".
    std::map<std::string, std::vector<uint8_t>> all;
    std::vector<std::string> pending = listDir(dir.path());
    while (!pending.empty()) {
        const std::string name = pending.back();
        pending.pop_back();
        const std::string path = dir.file(name);
        if (std::filesystem::is_directory(path)) {
            all[name + "/"] = {};
            for (const auto& inner : listDir(path)) pending.push_back(name + "/" + inner);
        } else {
            all[name] = readBytes(path);
        }
    }
    return all;
}

}  // namespace TestSupport
