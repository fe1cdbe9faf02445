#include "gui/fileutils.h"

#include <filesystem>
#include <system_error>

#include "gui/settingsnames.h"
#include "gui/utf8text.h"
#include "keystore/cp1251.h"

namespace Talvek {

namespace {

#ifdef _WIN32
constexpr char kSeparator = '\\';
#else
constexpr char kSeparator = '/';
#endif

// A file dialog is offered at most this many characters of a proposed name:
// a 260-character name buffer less its terminating zero.
constexpr std::size_t kInitialNameChars = 259;

bool isSeparator(char c) {
    return c == '\\' || c == '/';
}

}  // namespace

std::string defaultDir(SettingsStore& settings) {
    std::string dir;
    if (settings.readText(SettingNames::DefaultDir, dir) && !dir.empty()) return dir;
    // Not stored: the fallback follows the current directory of this run.
    std::error_code ec;
    const std::filesystem::path cwd = std::filesystem::current_path(ec);
    if (!ec) dir = cwd.string();
    dir += kSeparator;
    return dir;
}

bool rememberDir(SettingsStore& settings, const std::string& path) {
    std::string drive;
    size_t start = 0;
    if (path.size() >= 2 && path[1] == ':') {
        drive = path.substr(0, 2);
        start = 2;
    }
    std::string dir;
    for (size_t i = path.size(); i > start; --i) {
        if (isSeparator(path[i - 1])) {
            dir = path.substr(start, i - start);
            break;
        }
    }
    // A directory too long to be read back is cut to its longest ancestor that
    // fits, so what is remembered is still a directory ending in a separator.
    while (!dir.empty() && storedLength(drive + dir) > SettingsTextLimit) {
        size_t cut = dir.size() - 1;
        while (cut > 0 && !isSeparator(dir[cut - 1])) --cut;
        dir.resize(cut);
    }
    return settings.writeText(SettingNames::DefaultDir, drive + dir);
}

std::string pathInDefaultDir(SettingsStore& settings, const std::string& fileName) {
    return defaultDir(settings) + fileName;
}

bool selectFile(FileDialogRunner& dialog, SettingsStore& settings, std::string& out,
                bool forOpening, const std::vector<FileFilter>& filters,
                const std::string& initialName, const std::string& defaultExt) {
    FileDialogRequest request;
    request.forOpening = forOpening;
    request.title = forOpening ? "Выберите файл" : "Выберите файл для записи";
    request.initialDir = defaultDir(settings);
    request.filters = filters;
    request.initialName = limitChars(initialName, kInitialNameChars);
    request.defaultExt = defaultExt;
    std::string chosen;
    if (!dialog.run(request, chosen)) return false;
    out = chosen;
    // The directory is remembered even if the caller's use of the file fails.
    rememberDir(settings, out);
    return true;
}

}  // namespace Talvek
