#pragma once
// The key creation wizard without widgets: owns the KeyWizardData block for one
// run, answers the page events and drives the pages through a WizardView.
// Every refusal is worded by the shared page checks (keychecks.h), so the
// wizard and talvekkey refuse the same things with the same messages.

#include <functional>
#include <string>
#include <vector>

#include "gui/fileutils.h"
#include "gui/settingsstore.h"
#include "keystore/keyops.h"
#include "checks/keychecks.h"
#include "gui/wizardview.h"

namespace Talvek {

// The pages in wizard order (the page numbers the view uses).
enum KeyWizardPage : int {
    KeyTypePage = 0,
    KeyFilesPage = 1,
    KeyNamesPage = 2,
    KeyParamsPage = 3,
    KeySummaryPage = 4,
    KeyWizardPageCount = 5,
};

// Control ids, per page.
namespace KeyTypeIds {
inline constexpr int NewUserServerKey = 1002;
inline constexpr int ImportUserPart = 1003;
inline constexpr int CreateUserKey = 1004;
inline constexpr int Hint = 1005;
}  // namespace KeyTypeIds

namespace KeyFilesIds {
inline constexpr int BaseLabel = 1023;
inline constexpr int BaseEdit = 1006;
inline constexpr int BaseButton = 1008;
inline constexpr int ImportLabel = 1024;
inline constexpr int ImportEdit = 1010;
inline constexpr int ImportButton = 1011;
inline constexpr int ExportLabel = 1025;
inline constexpr int ExportEdit = 1007;
inline constexpr int ExportButton = 1009;
}  // namespace KeyFilesIds

namespace KeyNamesIds {
inline constexpr int ServerName = 1006;
inline constexpr int UserName = 1007;
}  // namespace KeyNamesIds

namespace KeyParamsIds {
inline constexpr int JavaClient = 1026;
inline constexpr int UseCrypt = 1009;
inline constexpr int CryptSizeLabel = 1011;
inline constexpr int CryptSize = 1012;
inline constexpr int UseSign = 1010;
inline constexpr int SignSizeLabel = 1013;
inline constexpr int SignSize = 1014;
}  // namespace KeyParamsIds

namespace KeySummaryIds {
inline constexpr int Summary = 1006;
// Shown only while the keys are generated.
inline constexpr int ProgressLabel = 1100;
inline constexpr int Progress = 1101;
}

namespace KeyWizardTexts {
inline constexpr const char* Title = "Создание ключа";
// "Создание ключа. Шаг N из 5."
std::string caption(int page);
// The hint of the first page for a mode.
std::string hint(KeyCreationMode mode);
inline constexpr const char* JavaClientTemplate =
    "Ключ для java-клиентского места (только подпись)";
inline constexpr const char* JavaClientUserKey =
    "Создать файл пользовательского ключа в \"Java\" формате";
inline constexpr const char* Generating = "Генерация ключей...";
}  // namespace KeyWizardTexts

class KeyWizardController : public WizardEvents {
public:
    KeyWizardController(WizardView& view, SettingsStore& settings);

    void pageCreated(int page) override;
    void pageShown(int page) override;
    void pageLeft(int page) override;
    bool nextPressed(int page) override;
    bool finishPressed(int page) override;
    void clicked(int page, int id) override;

    const KeyWizardData& data() const { return data_; }
    // The summary text for the block as it stands.
    std::string summaryText() const;

private:
    // Key names page: the edit's text as the user typed it when it cannot be
    // stored in Windows-1251 (the block's field is then empty).
    struct PendingName {
        std::string utf8;
        bool refused = false;
    };

    void typeClicked(int id);
    void filesShown();
    void filesRead();
    bool filesNext();
    void filesButton(int id);
    void namesShown();
    void namesRead();
    bool namesNext();
    void paramsCreated();
    void paramsShown();
    void paramsRead();
    bool paramsNext();
    // clickedId: the check box whose click asks for it, 0 when the page is shown.
    void updateParameterControls(int clickedId = 0);
    void syncSizeList(int listId, bool use, uint32_t size);
    bool finish();

    void readName(int id, std::string& field, PendingName& pending);
    void showName(int id, const std::string& field, const PendingName& pending);
    // Shows the result's message (if any), with the file and the cause it
    // carries; true when the page may be left.
    bool report(const CheckResult& result);
    // A page check that may wait for a key file, run away from the window.
    CheckResult inBackground(const std::function<CheckResult()>& check);
    void clearBlock();

    WizardView& view_;
    SettingsStore& settings_;
    KeyWizardData data_;
    std::vector<FileFilter> baseFilters_;  // chosen when the files page was last shown
    PendingName pendingServer_;
    PendingName pendingUser_;
};

}  // namespace Talvek
