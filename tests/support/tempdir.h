#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace TestSupport {

// A fresh folder under /tmp, removed with everything in it at the end.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    // path() + "/" + name
    std::string file(const std::string& name) const;

private:
    std::string path_;
};

std::vector<uint8_t> readBytes(const std::string& path);
void writeBytes(const std::string& path, const std::vector<uint8_t>& bytes);
void writeText(const std::string& path, const std::string& text);
std::string readText(const std::string& path);
bool exists(const std::string& path);
unsigned fileMode(const std::string& path);  // permission bits
// Names of the entries of a folder (no "." and ".."), sorted.
std::vector<std::string> listDir(const std::string& path);
// The hidden files of a folder, as a save's temporaries (".name.XXXXXX") are.
std::vector<std::string> temporariesIn(const std::string& folder);
// Every file of a folder and of the folders inside with its bytes, to prove
// that nothing changed.
std::map<std::string, std::vector<uint8_t>> snapshot(const TempDir& dir);

}  // namespace TestSupport
