#pragma once
// The key creation wizard's window: five pages with the picture in their left
// column, driven by a KeyWizardController. Construct it and call exec().
//
// Object names, for tests and assistive tools: each page is named after its
// role ("KeyTypePage", "KeyFilesPage", "KeyNamesPage", "KeyParamsPage",
// "KeySummaryPage"); each control with an id is named by the id in decimal
// ("1002", "1006", ...), unique within its page; the picture is "picture".

#include <memory>

#include "gui/fileutils.h"
#include "gui/settingsstore.h"
#include "keywizard/keywizardcontroller.h"
#include "gui/qtwizardview.h"

namespace Talvek {

class CreateKeyWizard : public QtWizardView {
    Q_OBJECT
public:
    CreateKeyWizard(SettingsStore& settings, FileDialogRunner& files, QWidget* parent = nullptr);
    ~CreateKeyWizard() override;

    const KeyWizardController& controller() const { return *controller_; }

private:
    void buildTypePage();
    void buildFilesPage();
    void buildNamesPage();
    void buildParamsPage();
    void buildSummaryPage();

    std::unique_ptr<KeyWizardController> controller_;
};

}  // namespace Talvek
