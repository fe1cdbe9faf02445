#include "gui/qtfiledialog.h"

#include <QApplication>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QStringList>

namespace Talvek {

namespace {

// QFileDialog accepts a new file in a folder that does not exist; the callers
// rely on the folder being there, so such a name is refused with a warning and
// the dialog stays open.
class ExistingDirFileDialog : public QFileDialog {
public:
    using QFileDialog::QFileDialog;

    void accept() override {
        const QStringList files = selectedFiles();
        if (!files.isEmpty()) {
            const QFileInfo info(files.first());
            if (!info.isDir() && !info.absoluteDir().exists()) {
                // The typed path is shown as it is, never as markup.
                QMessageBox box(QMessageBox::Warning, windowTitle(),
                                QString("%1\nПуть не существует.\nПроверьте правильность "
                                        "пути и повторите попытку.")
                                    .arg(QDir::toNativeSeparators(info.absolutePath())),
                                QMessageBox::Ok, this);
                box.setTextFormat(Qt::PlainText);
                box.exec();
                return;
            }
        }
        QFileDialog::accept();
    }
};

QString qs(const std::string& utf8) {
    return QString::fromUtf8(utf8);
}

// "Description (*.ext)" as the user sees it. QFileDialog takes the patterns
// from the last parentheses, so a description that does not already end with
// its pattern gets it appended.
QString nameFilter(const FileFilter& filter) {
    QString description = qs(filter.description);
    QString pattern = qs(filter.pattern);
#ifndef _WIN32
    // "*.*" means every file, as on Windows. Taken literally it would hide
    // names without a dot and, chosen in a save dialog, turn the typed name's
    // extension into "*".
    if (pattern == "*.*") {
        pattern = "*";
        if (description.endsWith("(*.*)")) description.replace(description.size() - 5, 5, "(*)");
    }
#endif
    if (pattern.isEmpty() || description.endsWith("(" + pattern + ")")) return description;
    return description + " (" + pattern + ")";
}

}  // namespace

bool QtFileDialogRunner::run(const FileDialogRequest& request, std::string& chosen) {
    QWidget* owner = owner_ ? owner_ : QApplication::activeWindow();
    ExistingDirFileDialog dialog(owner, qs(request.title), qs(request.initialDir));
    dialog.setAcceptMode(request.forOpening ? QFileDialog::AcceptOpen : QFileDialog::AcceptSave);
    // Also when opening, a name of a file that does not exist yet is accepted.
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setOption(QFileDialog::DontConfirmOverwrite, true);
    dialog.setSizeGripEnabled(true);

    QStringList filters;
    for (const FileFilter& f : request.filters) filters << nameFilter(f);
    if (!filters.isEmpty()) {
        dialog.setNameFilters(filters);
        dialog.selectNameFilter(filters.first());
    }
    if (!request.initialName.empty()) dialog.selectFile(qs(request.initialName));
    QString suffix = qs(request.defaultExt);
    if (suffix.startsWith('.')) suffix.remove(0, 1);
    dialog.setDefaultSuffix(suffix);

    if (dialog.exec() != QDialog::Accepted) return false;
    const QStringList files = dialog.selectedFiles();
    if (files.isEmpty() || files.first().isEmpty()) return false;
    chosen = QDir::toNativeSeparators(files.first()).toUtf8().toStdString();
    return true;
}

}  // namespace Talvek
