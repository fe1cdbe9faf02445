#pragma once
// The crypto-server connection wizard's window: three pages with the picture
// in their left column, driven by a ConnectWizardController. Construct it and
// call exec(); runConnectWizard does both for the main dialog.
//
// Object names, for tests and assistive tools, by role: the pages
// "ConnectPage", "TransferPage", "RunPage"; on them "addressEdit",
// "portEdit", "adminNameEdit", "serverNameEdit", "adminBaseEdit",
// "adminBaseButton"; "interfaceList", "fetchRadio", "uploadRadio",
// "localFileEdit", "localFileButton"; "summary"; the picture "picture".

#include <memory>

#include "gui/fileutils.h"
#include "gui/settingsstore.h"
#include "connectwizard/connectwizardcontroller.h"
#include "gui/qtwizardview.h"

namespace Talvek {

class ConnectWizard : public QtWizardView {
    Q_OBJECT
public:
    ConnectWizard(SettingsStore& settings, FileDialogRunner& files, QWidget* parent = nullptr);
    ~ConnectWizard() override;

    ConnectWizardController& controller() { return *controller_; }

private:
    void buildConnectPage();
    void buildTransferPage();
    void buildRunPage();

    std::unique_ptr<ConnectWizardController> controller_;
};

// Runs the wizard modally over parent, with the platform's file dialogs.
void runConnectWizard(SettingsStore& settings, QWidget* parent);

}  // namespace Talvek
