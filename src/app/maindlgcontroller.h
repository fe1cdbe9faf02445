#pragma once
// The main dialog's logic: which controls are live, where each command goes
// and how the dialog ends. The window itself (MainDlg) only forwards.

#include <functional>
#include <string>
#include <vector>

#include "gui/fileutils.h"
#include "gui/settingsstore.h"

namespace Talvek {

enum MainDlgControl : int {
    IdMainExit = 1,
    IdMainCancel = 2,
    IdMainCreate = 1001,
    IdMainMaintain = 1002,
    IdMainConnect = 1004,
    IdMainServerGroup = 1020,
    IdMainServerIcon = 1021,
    IdMainServerText = 1022,
    IdMainAbout = 57664,
};

class MainDlgView {
public:
    virtual ~MainDlgView() = default;
    virtual void enableControl(int id, bool enabled) = 0;
    // Each runs modally over the main dialog and returns when it closes.
    virtual void runCreateKeyWizard() = 0;
    virtual void runMaintenance(const std::string& path) = 0;
    virtual void showAbout() = 0;
    virtual void showError(const std::string& text) = 0;
    virtual void endDialog(int code) = 0;
};

class MainDlgController {
public:
    // Runs the crypto-server connection wizard over the main dialog.
    using ConnectAction = std::function<void()>;

    MainDlgController(MainDlgView& view, SettingsStore& settings, FileDialogRunner& files);

    // Sets the controls' initial state.
    void onInit();
    void onCommand(int id);

    // The administrator edition ("adminMode" = 1) shows the crypto-server
    // section live; "Соединиться..." stays greyed until a connection wizard
    // is hooked in here.
    void setConnectAction(ConnectAction action);
    bool adminMode() const;
    bool connectAvailable() const;

    // The filters of the file dialog of "Обслуживание...".
    static std::vector<FileFilter> keyFileFilters();

private:
    void applyServerSection();
    void chooseAndMaintain();

    MainDlgView& view_;
    SettingsStore& settings_;
    FileDialogRunner& files_;
    ConnectAction connect_;
};

}  // namespace Talvek
