#include "keywizard/keywizardcontroller.h"

#include <array>
#include <atomic>
#include <charconv>
#include <cstdio>

#include "gui/settingsnames.h"
#include "gui/utf8text.h"
#include "checks/filecause.h"
#include "checks/keychecks.h"
#include "fileio/fileresult.h"
#include "keystore/cp1251.h"
#include "keystore/rsakeyrecord.h"
#include "keystore/secureexception.h"

namespace Talvek {

namespace {

// The key sizes the lists offer, in bits. 512 and 768 stay for peers that
// still need them; a size not stored yet starts at 2048, since a 512-bit key
// is factored cheaply today.
constexpr const auto& kSizes = kOfferedKeyBits;
constexpr uint32_t kDefaultSize = 2048;

int sizeIndex(uint32_t size) {
    for (size_t i = 0; i < kSizes.size(); ++i) {
        if (kSizes[i] == size) return static_cast<int>(i);
    }
    return -1;
}

const std::vector<FileFilter>& serverBaseFilters() {
    static const std::vector<FileFilter> filters = {
        {"Серверные базы ключей (*.key_base)", "*.key_base"}, {"All Files (*.*)", "*.*"}};
    return filters;
}

const std::vector<FileFilter>& userKeyFilters() {
    static const std::vector<FileFilter> filters = {{"Пользовательские ключи (*.bin)", "*.bin"},
                                                    {"All Files (*.*)", "*.*"}};
    return filters;
}

const std::vector<FileFilter>& publicPartFilters() {
    static const std::vector<FileFilter> filters = {{"Открытые части ключей (*.okp)", "*.okp"},
                                                    {"All Files (*.*)", "*.*"}};
    return filters;
}

KeyCreationMode modeOfOption(int id) {
    switch (id) {
        case KeyTypeIds::NewUserServerKey:
            return NewUserServerKey;
        case KeyTypeIds::ImportUserPart:
            return ImportUserPart;
        default:
            return CreateUserKey;
    }
}

uint32_t parseSize(const std::string& text) {
    uint32_t value = 0;
    std::from_chars(text.data(), text.data() + text.size(), value);
    return value;
}

bool isOfferedSize(uint32_t size) {
    return sizeIndex(size) >= 0;
}

std::string format(const char* pattern, uint32_t value) {
    char buffer[128];
    std::snprintf(buffer, sizeof buffer, pattern, static_cast<int>(value));
    return buffer;
}

}  // namespace

std::string KeyWizardTexts::caption(int page) {
    return "Создание ключа. Шаг " + std::to_string(page + 1) + " из 5.";
}

std::string KeyWizardTexts::hint(KeyCreationMode mode) {
    switch (mode) {
        case NewUserServerKey:
            return "  Создание открытой части ключа, которую необходимо отправить пользователю "
                   "для генерации им полного ключа. Или создание новой базы ключей (при первом "
                   "использовании системы безопасности).";
        case ImportUserPart:
            return "  Добавить в серверную базу созданную пользователем открытую часть его "
                   "ключа (создать полный серверный ключ, позволяющий начать работу с "
                   "использованием шифрования и ЭЦП).";
        default:
            return "  Создать полный пользовательский ключ на основе полученной из центра "
                   "открытой части серверного ключа. Создать открытую часть пользовательского "
                   "ключа для отправки в центр.";
    }
}

KeyWizardController::KeyWizardController(WizardView& view, SettingsStore& settings)
    : view_(view), settings_(settings) {
    clearBlock();
}

void KeyWizardController::clearBlock() {
    data_.clear();
    pendingServer_ = {};
    pendingUser_ = {};
}

bool KeyWizardController::report(const CheckResult& result) {
    if (!result.message.empty()) {
        view_.showError(result.message, fileFailureDetail(result.cause));
    }
    return result.advances();
}

CheckResult KeyWizardController::inBackground(const std::function<CheckResult()>& check) {
    CheckResult result;
    BusyCursor wait(view_);
    view_.runInBackground([&check, &result] { result = check(); });
    return result;
}

// --- Events -------------------------------------------------------------

void KeyWizardController::pageCreated(int page) {
    switch (page) {
        case KeyTypePage: {
            // The administrator's options are for the administrator edition only.
            const bool admin = settings_.readNumber(SettingNames::AdminMode) == 1;
            view_.setEnabled(page, KeyTypeIds::NewUserServerKey, admin);
            view_.setEnabled(page, KeyTypeIds::ImportUserPart, admin);
            view_.setChecked(page, KeyTypeIds::CreateUserKey, true);
            view_.setText(page, KeyTypeIds::Hint, KeyWizardTexts::hint(CreateUserKey));
            data_.mode = CreateUserKey;
            break;
        }
        case KeyParamsPage:
            paramsCreated();
            break;
        case KeySummaryPage:
            view_.setText(page, KeySummaryIds::ProgressLabel, KeyWizardTexts::Generating);
            view_.setVisible(page, KeySummaryIds::ProgressLabel, false);
            view_.setVisible(page, KeySummaryIds::Progress, false);
            break;
        default:
            break;
    }
}

void KeyWizardController::pageShown(int page) {
    switch (page) {
        case KeyTypePage:
            view_.setButtons(WizardNext);
            break;
        case KeyFilesPage:
            filesShown();
            break;
        case KeyNamesPage:
            namesShown();
            break;
        case KeyParamsPage:
            paramsShown();
            break;
        case KeySummaryPage:
            view_.setButtons(WizardBack | WizardFinish);
            view_.setText(page, KeySummaryIds::Summary, summaryText());
            break;
        default:
            break;
    }
}

void KeyWizardController::pageLeft(int page) {
    switch (page) {
        case KeyFilesPage:
            filesRead();
            break;
        case KeyNamesPage:
            namesRead();
            break;
        case KeyParamsPage:
            paramsRead();
            break;
        default:
            break;
    }
}

bool KeyWizardController::nextPressed(int page) {
    // A SecureException (an RSA object that could not be made) is the step's
    // failure, never the end of the program.
    try {
        switch (page) {
            case KeyTypePage:
                return true;
            case KeyFilesPage:
                return filesNext();
            case KeyNamesPage:
                return namesNext();
            case KeyParamsPage:
                return paramsNext();
            default:
                return false;
        }
    } catch (const SecureException& e) {
        view_.showError(e.message());
        return false;
    }
}

bool KeyWizardController::finishPressed(int page) {
    if (page != KeySummaryPage) return false;
    return finish();
}

void KeyWizardController::clicked(int page, int id) {
    switch (page) {
        case KeyTypePage:
            typeClicked(id);
            break;
        case KeyFilesPage:
            filesButton(id);
            break;
        case KeyParamsPage:
            if (id == KeyParamsIds::UseCrypt || id == KeyParamsIds::UseSign ||
                id == KeyParamsIds::JavaClient) {
                updateParameterControls(id);
            }
            break;
        default:
            break;
    }
}

// --- Key type page ---------------------------------------------------------

void KeyWizardController::typeClicked(int id) {
    if (id != KeyTypeIds::NewUserServerKey && id != KeyTypeIds::ImportUserPart &&
        id != KeyTypeIds::CreateUserKey) {
        return;
    }
    const KeyCreationMode mode = modeOfOption(id);
    // Another mode forgets everything entered so far.
    if (data_.mode != mode) clearBlock();
    data_.mode = mode;
    view_.setText(KeyTypePage, KeyTypeIds::Hint, KeyWizardTexts::hint(mode));
}

// --- Files page ------------------------------------------------------------

void KeyWizardController::filesShown() {
    using namespace KeyFilesIds;
    const int page = KeyFilesPage;
    view_.setButtons(WizardBack | WizardNext);

    const bool user = data_.mode == CreateUserKey;
    const bool showImport = data_.mode != NewUserServerKey;
    const bool showExport = data_.mode != ImportUserPart;
    for (int id : {ImportLabel, ImportEdit, ImportButton}) {
        view_.setVisible(page, id, showImport);
        view_.setEnabled(page, id, showImport);
    }
    for (int id : {ExportLabel, ExportEdit, ExportButton}) {
        view_.setVisible(page, id, showExport);
        view_.setEnabled(page, id, showExport);
    }
    if (user) {
        view_.setText(page, BaseLabel, "Имя файла с полным пользовательским ключом");
        view_.setText(page, ImportLabel,
                      "Имя файла с открытой частью серверного ключа для импорта");
        view_.setText(page, ExportLabel,
                      "Имя файла с открытой частью пользовательского ключа для эскпорта");
        baseFilters_ = userKeyFilters();
    } else {
        view_.setText(page, BaseLabel, "Имя серверной базы ключей");
        view_.setText(page, ImportLabel,
                      "Имя файла с открытой частью пользовательского ключа для импорта");
        view_.setText(page, ExportLabel,
                      "Имя файла с открытой частью серверного ключа для эскпорта");
        baseFilters_ = serverBaseFilters();
    }

    // Defaults for both rows, also the one this mode hides.
    if (data_.exportFile.empty()) {
        data_.exportFile = pathInDefaultDir(settings_, user ? "openuser.okp" : "openserv.okp");
    }
    if (data_.importFile.empty()) {
        data_.importFile = pathInDefaultDir(settings_, user ? "openserv.okp" : "openuser.okp");
    }
    if (data_.baseFile.empty() && user) {
        data_.baseFile = pathInDefaultDir(settings_, "userkey.bin");
    }
    if (data_.baseFile.empty()) {
        settings_.readText(SettingNames::KeyDefBase, data_.baseFile);
    }
    view_.setText(page, BaseEdit, data_.baseFile);
    view_.setText(page, ExportEdit, data_.exportFile);
    view_.setText(page, ImportEdit, data_.importFile);
}

void KeyWizardController::filesRead() {
    using namespace KeyFilesIds;
    // Paths are taken whole: a cut path names another file. The files
    // page refuses one longer than the platform allows.
    data_.baseFile = view_.text(KeyFilesPage, BaseEdit);
    data_.exportFile = view_.text(KeyFilesPage, ExportEdit);
    data_.importFile = view_.text(KeyFilesPage, ImportEdit);
}

bool KeyWizardController::filesNext() {
    filesRead();
    // The checks read the key files, which another program may hold.
    KeyWizardData& data = data_;
    if (!report(inBackground([&data] { return checkFilesPage(data); }))) return false;
    settings_.writeText(SettingNames::KeyDefBase, data_.baseFile);
    return true;
}

void KeyWizardController::filesButton(int id) {
    using namespace KeyFilesIds;
    std::string* field = nullptr;
    int edit = 0;
    bool forOpening = false;
    const std::vector<FileFilter>* filters = nullptr;
    switch (id) {
        case BaseButton:
            field = &data_.baseFile;
            edit = BaseEdit;
            filters = &baseFilters_;
            break;
        case ExportButton:
            field = &data_.exportFile;
            edit = ExportEdit;
            filters = &publicPartFilters();
            break;
        case ImportButton:
            field = &data_.importFile;
            edit = ImportEdit;
            forOpening = true;
            filters = &publicPartFilters();
            break;
        default:
            return;
    }
    std::string chosen;
    if (!selectFile(view_.fileDialogs(), settings_, chosen, forOpening, *filters)) {
        return;  // cancelled: nothing changes
    }
    *field = chosen;
    view_.setText(KeyFilesPage, edit, *field);
}

// --- Key names page --------------------------------------------------------

void KeyWizardController::showName(int id, const std::string& field, const PendingName& pending) {
    view_.setText(KeyNamesPage, id, pending.refused ? pending.utf8 : cp1251ToUtf8(field));
}

void KeyWizardController::readName(int id, std::string& field, PendingName& pending) {
    const std::string typed = limitChars(view_.text(KeyNamesPage, id), kMaxKeyNameChars);
    // An unchanged name keeps its bytes: an imported name may hold a byte that
    // has no character of its own and would not survive a round trip.
    if (!pending.refused && typed == cp1251ToUtf8(field)) return;
    std::string encoded;
    if (encodeKeyName(typed, encoded).advances()) {
        field = std::move(encoded);
        pending = {};
    } else {
        field.clear();
        pending = {typed, true};
    }
}

void KeyWizardController::namesShown() {
    using namespace KeyNamesIds;
    if (data_.serverKeyName.empty() && !pendingServer_.refused) {
        std::string stored;
        settings_.readText(SettingNames::KeyDefServerName, stored);
        if (!encodeKeyName(stored, data_.serverKeyName).advances()) {
            pendingServer_ = {stored, true};
        }
    }
    showName(ServerName, data_.serverKeyName, pendingServer_);
    showName(UserName, data_.userKeyName, pendingUser_);
    const bool editable = data_.mode == NewUserServerKey;
    view_.setEnabled(KeyNamesPage, ServerName, editable);
    view_.setEnabled(KeyNamesPage, UserName, editable);
}

void KeyWizardController::namesRead() {
    readName(KeyNamesIds::ServerName, data_.serverKeyName, pendingServer_);
    readName(KeyNamesIds::UserName, data_.userKeyName, pendingUser_);
}

bool KeyWizardController::namesNext() {
    namesRead();
    std::string unused;
    if (pendingServer_.refused) return report(encodeKeyName(pendingServer_.utf8, unused));
    if (!report(checkServerNamePresent(data_))) return false;
    // Remembered before the other checks, so it stays even when they refuse.
    settings_.writeText(SettingNames::KeyDefServerName, cp1251ToUtf8(data_.serverKeyName));
    if (pendingUser_.refused) return report(encodeKeyName(pendingUser_.utf8, unused));
    const KeyWizardData& data = data_;
    return report(inBackground([&data] { return checkNamesPage(data); }));
}

// --- Key parameters page ---------------------------------------------------

void KeyWizardController::paramsCreated() {
    for (int list : {KeyParamsIds::CryptSize, KeyParamsIds::SignSize}) {
        for (uint32_t size : kSizes) view_.listAdd(KeyParamsPage, list, std::to_string(size));
    }
    view_.setVisible(KeyParamsPage, KeyParamsIds::JavaClient, false);
}

// An imported size the list does not offer is kept as one extra entry, so that
// reading the list back gives the size the key really has. The extra entry is
// dropped again when it is no longer wanted.
void KeyWizardController::syncSizeList(int listId, bool use, uint32_t size) {
    const bool extra = use && data_.mode != NewUserServerKey && !isOfferedSize(size);
    const std::string wanted = std::to_string(size);
    const int base = static_cast<int>(kSizes.size());
    int count = view_.listCount(KeyParamsPage, listId);
    if (count > base && (!extra || view_.listEntryText(KeyParamsPage, listId, base) != wanted)) {
        while (count > base) view_.listRemove(KeyParamsPage, listId, --count);
    }
    if (extra && count == base) view_.listAdd(KeyParamsPage, listId, wanted);

    view_.listSelect(KeyParamsPage, listId, sizeIndex(kDefaultSize));
    if (!use) return;
    if (isOfferedSize(size)) view_.listSelect(KeyParamsPage, listId, sizeIndex(size));
    if (extra) view_.listSelect(KeyParamsPage, listId, base);
}

void KeyWizardController::paramsShown() {
    using namespace KeyParamsIds;
    if (data_.mode == NewUserServerKey) {
        // Every showing starts from what was last confirmed.
        data_.useCrypt = settings_.readNumber(SettingNames::Crypt) != 0;
        data_.useSign = settings_.readNumber(SettingNames::Sign) != 0;
        data_.javaClient = settings_.readNumber(SettingNames::Java) != 0;
        data_.cryptSize = settings_.readNumber(SettingNames::CryptSize);
        data_.signSize = settings_.readNumber(SettingNames::SignSize);
    }
    view_.setButtons(WizardBack | WizardNext);
    view_.setChecked(KeyParamsPage, UseCrypt, data_.useCrypt);
    view_.setChecked(KeyParamsPage, UseSign, data_.useSign);
    view_.setChecked(KeyParamsPage, JavaClient, data_.javaClient);
    syncSizeList(CryptSize, data_.useCrypt, data_.cryptSize);
    syncSizeList(SignSize, data_.useSign, data_.signSize);
    updateParameterControls();
}

void KeyWizardController::updateParameterControls(int clickedId) {
    using namespace KeyParamsIds;
    const int page = KeyParamsPage;
    switch (data_.mode) {
        case ImportUserPart:
            view_.setChecked(page, JavaClient, false);
            view_.setVisible(page, JavaClient, false);
            break;
        case CreateUserKey:
            // The Java client file is offered for a key that signs only.
            if (!view_.isChecked(page, UseCrypt) && view_.isChecked(page, UseSign)) {
                view_.setText(page, JavaClient, KeyWizardTexts::JavaClientUserKey);
                view_.setVisible(page, JavaClient, true);
            } else {
                view_.setChecked(page, JavaClient, false);
                view_.setVisible(page, JavaClient, false);
            }
            break;
        case NewUserServerKey:
            view_.setText(page, JavaClient, KeyWizardTexts::JavaClientTemplate);
            view_.setVisible(page, JavaClient, true);
            // Controls that an earlier run through an import mode greyed.
            for (int id : {UseSign, CryptSizeLabel, CryptSize, SignSizeLabel, SignSize}) {
                view_.setEnabled(page, id, true);
            }
            if (view_.isChecked(page, JavaClient)) {
                // The Java key signs only. Signing is switched on for it, but
                // a user who then clears the box himself is left to the
                // page's Next check rather than overruled.
                view_.setChecked(page, UseCrypt, false);
                if (clickedId != UseSign) view_.setChecked(page, UseSign, true);
                view_.setEnabled(page, UseCrypt, false);
            } else {
                view_.setEnabled(page, UseCrypt, true);
            }
            break;
    }
    const bool crypt = view_.isChecked(page, UseCrypt);
    view_.setVisible(page, CryptSizeLabel, crypt);
    view_.setVisible(page, CryptSize, crypt);
    const bool sign = view_.isChecked(page, UseSign);
    view_.setVisible(page, SignSizeLabel, sign);
    view_.setVisible(page, SignSize, sign);
    if (data_.mode != NewUserServerKey) {
        // The imported parameters are shown, not changed.
        for (int id : {UseCrypt, UseSign, CryptSizeLabel, SignSizeLabel, CryptSize, SignSize}) {
            view_.setEnabled(page, id, false);
        }
    }
}

void KeyWizardController::paramsRead() {
    using namespace KeyParamsIds;
    const int page = KeyParamsPage;
    data_.useCrypt = view_.isChecked(page, UseCrypt);
    data_.useSign = view_.isChecked(page, UseSign);
    data_.javaClient = view_.isChecked(page, JavaClient);
    data_.cryptSize = 0;
    if (data_.useCrypt) {
        data_.cryptSize =
            parseSize(view_.listEntryText(page, CryptSize, view_.listSelection(page, CryptSize)));
    }
    data_.signSize = 0;
    if (data_.useSign) {
        data_.signSize =
            parseSize(view_.listEntryText(page, SignSize, view_.listSelection(page, SignSize)));
    }
}

bool KeyWizardController::paramsNext() {
    paramsRead();
    if (!report(checkParamsPage(data_))) return false;
    if (data_.mode == NewUserServerKey) {
        settings_.writeNumber(SettingNames::Crypt, data_.useCrypt ? 1 : 0);
        settings_.writeNumber(SettingNames::Sign, data_.useSign ? 1 : 0);
        settings_.writeNumber(SettingNames::Java, data_.javaClient ? 1 : 0);
        settings_.writeNumber(SettingNames::CryptSize, data_.cryptSize);
        settings_.writeNumber(SettingNames::SignSize, data_.signSize);
    }
    return true;
}

// --- Summary and Finish ----------------------------------------------------

std::string KeyWizardController::summaryText() const {
    std::string text;
    text += "База ключей:    \t" + data_.baseFile + "\r\n";
    if (data_.javaClient) {
        text += "\"Java\" база ключей:\t" + pathInDefaultDir(settings_, "javaclient.bin") + "\r\n";
    }
    text += "Импорт ключей:  \t" + data_.importFile + "\r\n";
    text += "Экспорт ключей: \t" + data_.exportFile + "\r\n";
    text += "\r\nИмя сервера:    \t" + cp1251ToUtf8(data_.serverKeyName) + "\r\n";
    text += "Имя клиента:    \t" + cp1251ToUtf8(data_.userKeyName) + "\r\n";
    text += format("\r\nКодирование:    \t%d bit\r\n", data_.cryptSize);
    text += format("Подпись:   \t\t%d bit\r\n", data_.signSize);
    // What the user compares with the sender (by telephone, say) before a
    // public part that came by hand or e-mail is trusted.
    if (data_.mode != NewUserServerKey && !data_.imported.empty()) {
        // Each on a line of its own: a fingerprint is wider than the
        // summary's value column.
        text += "\r\nОтпечатки импортируемых ключей:\r\n";
        if (!data_.imported.crypt.empty()) {
            text += "Кодирование:\r\n  " + data_.imported.crypt + "\r\n";
        }
        if (!data_.imported.sign.empty()) text += "Подпись:\r\n  " + data_.imported.sign + "\r\n";
    }
    return text;
}

bool KeyWizardController::finish() {
    // The wait cursor lasts until the message box has been closed.
    BusyCursor wait(view_);
    // A 4096-bit key takes seconds: the operation runs away from the window
    // on what the pages settled, and the window stays live meanwhile. Keys
    // being generated can be given up ("Отмена"): the generation fails and
    // nothing is written. An import generates nothing and is not offered.
    const KeyWizardData block = data_;
    const std::string javaPath = pathInDefaultDir(settings_, "javaclient.bin");
    const bool generates = block.mode != ImportUserPart;
    std::atomic<bool> stop{false};
    CheckResult result;
    for (int id : {KeySummaryIds::ProgressLabel, KeySummaryIds::Progress}) {
        view_.setVisible(KeySummaryPage, id, generates);
    }
    const bool finished = view_.runInBackground(
        [&block, &javaPath, &result, &stop] {
            KeyGenerationStop stopping(stop);
            try {
                result = runFinish(block, javaPath);
            } catch (const SecureException& e) {
                result = CheckResult::fail(e.message());
            }
        },
        generates ? std::function<void()>([&stop] { stop = true; }) : std::function<void()>());
    for (int id : {KeySummaryIds::ProgressLabel, KeySummaryIds::Progress}) {
        view_.setVisible(KeySummaryPage, id, false);
    }
    // Given up: the wizard closes without a word. Work that had written its
    // files before the stop came keeps them, and the user is told so.
    if (!finished && !result.advances()) return false;
    if (result.advances()) {
        view_.showInformation(result.message.empty() ? successText(data_) : result.message);
        return true;
    }
    view_.showError(result.message, fileFailureDetail(result.cause));
    return false;
}

}  // namespace Talvek
