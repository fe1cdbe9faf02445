#pragma once
// The default directory (where file dialogs open and default file names are
// placed), file selection that remembers the chosen directory, and the
// file-existence test. Paths are in the file system's encoding (UTF-8).

#include <string>
#include <vector>

#include "gui/settingsstore.h"
#include "fileio/fileexists.h"

namespace Talvek {

// The stored "defaultDir" as it is, or the current working directory followed
// by the platform separator (not stored).
std::string defaultDir(SettingsStore& settings);
// Stores the drive and directory of path (up to and including its last '\' or
// '/') as "defaultDir"; returns the result of the write.
bool rememberDir(SettingsStore& settings, const std::string& path);
// defaultDir() immediately followed by fileName.
std::string pathInDefaultDir(SettingsStore& settings, const std::string& fileName);

struct FileFilter {
    std::string description;  // "Открытые части ключей (*.okp)"
    std::string pattern;      // "*.okp"
};

// What a file dialog is asked to show.
struct FileDialogRequest {
    bool forOpening = true;
    std::string title;  // "Выберите файл" or "Выберите файл для записи"
    std::string initialDir;           // defaultDir()
    std::vector<FileFilter> filters;  // the first one is selected
    std::string initialName;
    std::string defaultExt;  // ".html" or empty
};

// Runs one file dialog. The Qt implementation shows a QFileDialog; tests use a
// scripted one.
class FileDialogRunner {
public:
    virtual ~FileDialogRunner() = default;
    // True with the chosen full path when the user confirmed.
    virtual bool run(const FileDialogRequest& request, std::string& chosen) = 0;
};

// Fills the request (title by mode, initial directory), runs it and, when
// the user confirmed, copies the path to out and remembers its directory.
// A cancelled dialog leaves out and the stored directory unchanged.
bool selectFile(FileDialogRunner& dialog, SettingsStore& settings, std::string& out,
                bool forOpening, const std::vector<FileFilter>& filters,
                const std::string& initialName = {}, const std::string& defaultExt = {});

}  // namespace Talvek
