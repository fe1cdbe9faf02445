#include "app/maindlgcontroller.h"

#include <utility>

#include "gui/settingsnames.h"
#include "keystore/secureexception.h"

namespace Talvek {

MainDlgController::MainDlgController(MainDlgView& view, SettingsStore& settings,
                                     FileDialogRunner& files)
    : view_(view), settings_(settings), files_(files) {}

std::vector<FileFilter> MainDlgController::keyFileFilters() {
    return {{"Серверные базы ключей (*.key_base)", "*.key_base"},
            {"Пользовательские ключи (*.bin)", "*.bin"},
            {"Открытые части ключей (*.okp)", "*.okp"},
            {"All Files (*.*)", "*.*"}};
}

bool MainDlgController::adminMode() const {
    return settings_.readNumber(SettingNames::AdminMode) == 1;
}

bool MainDlgController::connectAvailable() const {
    return adminMode() && connect_ != nullptr;
}

void MainDlgController::setConnectAction(ConnectAction action) {
    connect_ = std::move(action);
    applyServerSection();
}

void MainDlgController::onInit() {
    applyServerSection();
}

void MainDlgController::applyServerSection() {
    const bool admin = adminMode();
    view_.enableControl(IdMainServerGroup, admin);
    view_.enableControl(IdMainServerIcon, admin);
    view_.enableControl(IdMainServerText, admin);
    view_.enableControl(IdMainConnect, admin && connect_ != nullptr);
}

void MainDlgController::onCommand(int id) {
    // A key store failure inside a flow is shown; the main dialog stays.
    try {
        switch (id) {
            case IdMainCreate:
                view_.runCreateKeyWizard();
                break;
            case IdMainMaintain:
                chooseAndMaintain();
                break;
            case IdMainConnect:
                if (connectAvailable()) connect_();
                break;
            case IdMainAbout:
                view_.showAbout();
                break;
            case IdMainExit:
                view_.endDialog(1);
                break;
            case IdMainCancel:
                view_.endDialog(2);
                break;
            default:
                break;
        }
    } catch (const SecureException& e) {
        view_.showError(e.message());
    }
}

void MainDlgController::chooseAndMaintain() {
    std::string path;
    if (!selectFile(files_, settings_, path, true, keyFileFilters())) return;
    // Not checked here: the maintenance dialog reports a file it cannot load.
    view_.runMaintenance(path);
}

}  // namespace Talvek
