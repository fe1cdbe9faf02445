#pragma once

#include "gui/fileutils.h"

class QWidget;

namespace Talvek {

// Shows a QFileDialog for each request: the file need not exist (also when
// opening), an existing file is taken without asking, the directory must
// exist, and the process's current directory is left alone.
class QtFileDialogRunner : public FileDialogRunner {
public:
    // owner may be null: the window active at the call then owns the dialog.
    explicit QtFileDialogRunner(QWidget* owner = nullptr) : owner_(owner) {}
    bool run(const FileDialogRequest& request, std::string& chosen) override;

private:
    QWidget* owner_;
};

}  // namespace Talvek
