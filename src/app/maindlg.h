#pragma once
// The program's main dialog "TalvekConfig <version>": key creation, key
// maintenance and the crypto-server section, the About box and "Выход".
//
// Object names, for tests and assistive tools: each control with an id is
// named by the id in decimal ("1001", "1002", "1004", "1020", "1021", "1022",
// "57664", "1"); the other two sections are "createGroup" and "maintainGroup".

#include <QDialog>
#include <functional>
#include <memory>
#include <string>

#include "app/maindlgcontroller.h"
#include "gui/qtfiledialog.h"
#include "gui/settingsstore.h"

class QMessageBox;

namespace Talvek {

class MainDlg : public QDialog, private MainDlgView {
    Q_OBJECT
public:
    explicit MainDlg(SettingsStore& settings, QWidget* parent = nullptr);
    ~MainDlg() override;

    // Hooks the crypto-server connection wizard to "Соединиться...", which
    // becomes live in the administrator edition.
    void setConnectAction(std::function<void()> action);

    void reject() override;

    MainDlgController& controller() { return controller_; }
    FileDialogRunner& fileDialogs() { return files_; }
    // The About box, ready to exec() (kept separate for pictures and tests).
    std::unique_ptr<QMessageBox> createAboutBox();

private:
    void enableControl(int id, bool enabled) override;
    void runCreateKeyWizard() override;
    void runMaintenance(const std::string& path) override;
    void showAbout() override;
    void showError(const std::string& text) override;
    void endDialog(int code) override;

    QWidget* control(int id) const;

    SettingsStore& settings_;
    QtFileDialogRunner files_;
    MainDlgController controller_;
};

}  // namespace Talvek
