#include "connectwizard/connectwizardcontroller.h"

#include <atomic>
#include <filesystem>

#include "gui/settingsnames.h"
#include "gui/fileutils.h"
#include "gui/utf8text.h"
#include "sealing/talvekcodec.h"
#include "keystore/cp1251.h"
#include "keystore/keyops.h"
#include "keystore/secureexception.h"
#include "checks/filecause.h"
#include "checks/keychecks.h"
#include "checks/servermessages.h"

namespace Talvek {

namespace ConnectWizardTexts {

std::string caption(int page) {
    return std::string(Title) + ". Шаг " + std::to_string(page + 1) + " из " +
           std::to_string(ConnectWizardPageCount) + ".";
}

std::string heading(int page) {
    switch (page) {
        case ConnectPage:
            return "Задайте параметры для подключения к криптосерверу.\nЧтобы подключиться к "
                   "криптосерверу, Вам необходим ключ администратора.";
        case TransferPage:
            return "Выберите обслуживаемый сервер и имя серверной базы ключей";
        case RunPage:
            return "Получение или загрузка серверной базы";
        default:
            return {};
    }
}

std::string success(const std::string& message) {
    return "Операция выполнена успешно!\n\n" + message;
}

}  // namespace ConnectWizardTexts

namespace {

std::string readText(SettingsStore& settings, const char* name) {
    std::string value;
    settings.readText(name, value);
    return value;
}

std::string readKeyName(SettingsStore& settings, const char* name) {
    std::string name1251;
    if (!utf8ToCp1251(readText(settings, name), name1251)) name1251.clear();
    return name1251;
}

std::string hostAndPort(const CryptoServerParams& params) {
    const std::string host =
        params.address.find(':') != std::string::npos ? "[" + params.address + "]" : params.address;
    return host + ":" + std::to_string(params.port & 0xFFFF);
}

std::vector<FileFilter> keyBaseFilters() {
    return {{"Серверные базы ключей (*.key_base)", "*.key_base"}, {"All Files (*.*)", "*.*"}};
}

}  // namespace

void loadServerDefaults(SettingsStore& settings, CryptoServerParams& params) {
    params.address = limitChars(readText(settings, SettingNames::Address), ConnectLimits::Address);
    std::string port;
    params.port = settings.readText(SettingNames::Port, port) ? parseDecimal(port) : 0;
    params.serverKeyName = readKeyName(settings, SettingNames::Server);
    params.adminKeyName = readKeyName(settings, SettingNames::Admin);
    params.adminKeyBase = limitChars(readText(settings, SettingNames::Base), ConnectLimits::Path);
}

bool saveServerDefaults(SettingsStore& settings, const CryptoServerParams& params) {
    bool ok = settings.writeText(SettingNames::Address, params.address);
    ok = settings.writeText(SettingNames::Port, std::to_string(params.port)) && ok;
    ok = settings.writeText(SettingNames::Server, cp1251ToUtf8(params.serverKeyName)) && ok;
    ok = settings.writeText(SettingNames::Admin, cp1251ToUtf8(params.adminKeyName)) && ok;
    ok = settings.writeText(SettingNames::Base, params.adminKeyBase) && ok;
    return ok;
}

std::string interfaceFileName(const std::string& interfaceUtf8) {
    std::string name = interfaceUtf8;
    for (char& c : name) {
        if (c == '/' || c == '\\' || (static_cast<unsigned char>(c) < 0x20)) c = '_';
    }
    return name + ".key_base";
}

ConnectWizardController::ConnectWizardController(WizardView& view, SettingsStore& settings)
    : view_(view), settings_(settings) {}

void ConnectWizardController::pageCreated(int page) {
    switch (page) {
        case ConnectPage:
            loadServerDefaults(settings_, params_);
            fillConnectPage();
            break;
        case TransferPage:
            view_.setChecked(TransferPage, TransferPageIds::Fetch, true);
            view_.setChecked(TransferPage, TransferPageIds::Upload, false);
            break;
        default:
            break;
    }
}

void ConnectWizardController::pageShown(int page) {
    switch (page) {
        case ConnectPage:
            view_.setButtons(WizardNext);
            break;
        case TransferPage:
            view_.setButtons(WizardBack | WizardNext);
            break;
        case RunPage:
            view_.setText(RunPage, RunPageIds::Summary, summaryText());
            view_.setButtons(WizardBack | WizardFinish);
            break;
        default:
            break;
    }
}

void ConnectWizardController::pageLeft(int) {}

bool ConnectWizardController::guarded(bool (ConnectWizardController::*step)()) {
    // A key that cannot be made into an RSA object fails the step; the
    // wizard stays open.
    try {
        return (this->*step)();
    } catch (const SecureException& e) {
        view_.showError(e.message());
        return false;
    }
}

bool ConnectWizardController::nextPressed(int page) {
    switch (page) {
        case ConnectPage:
            return guarded(&ConnectWizardController::connectNext);
        case TransferPage:
            return guarded(&ConnectWizardController::transferNext);
        default:
            return false;
    }
}

bool ConnectWizardController::finishPressed(int page) {
    if (page != RunPage) return false;
    return guarded(&ConnectWizardController::runTransfer);
}

void ConnectWizardController::clicked(int page, int id) {
    if (page == ConnectPage && id == ConnectPageIds::AdminBaseButton) onAdminBaseButton();
    if (page == TransferPage && id == TransferPageIds::LocalFileButton) onLocalFileButton();
}

void ConnectWizardController::fillConnectPage() {
    view_.setText(ConnectPage, ConnectPageIds::Address, params_.address);
    view_.setText(ConnectPage, ConnectPageIds::Port,
                  params_.port == 0 ? std::string() : std::to_string(params_.port));
    view_.setText(ConnectPage, ConnectPageIds::AdminName, cp1251ToUtf8(params_.adminKeyName));
    view_.setText(ConnectPage, ConnectPageIds::ServerName, cp1251ToUtf8(params_.serverKeyName));
    view_.setText(ConnectPage, ConnectPageIds::AdminBase, params_.adminKeyBase);
}

int ConnectWizardController::onConnectPageNext() {
    params_.address =
        limitChars(view_.text(ConnectPage, ConnectPageIds::Address), ConnectLimits::Address);
    params_.port = parseDecimal(view_.text(ConnectPage, ConnectPageIds::Port));
    const std::string adminTyped =
        limitChars(view_.text(ConnectPage, ConnectPageIds::AdminName), ConnectLimits::KeyName);
    const std::string serverTyped =
        limitChars(view_.text(ConnectPage, ConnectPageIds::ServerName), ConnectLimits::KeyName);
    // Taken whole: the checks refuse a path too long rather than cut it.
    params_.adminKeyBase = view_.text(ConnectPage, ConnectPageIds::AdminBase);
    for (const auto& [typed, field] : {std::pair{&adminTyped, &params_.adminKeyName},
                                       std::pair{&serverTyped, &params_.serverKeyName}}) {
        const CheckResult encoded = encodeKeyName(*typed, *field);
        if (!encoded.advances()) {
            view_.showError(encoded.message);
            return -1;
        }
    }

    CheckResult refusal;
    {
        BusyCursor wait(view_);
        refusal = checkAdminChannel(params_);
    }
    if (!refusal.advances()) {
        view_.showError(refusal.message, fileFailureDetail(refusal.cause));
        return -1;
    }

    std::string message;
    bool listed = false;
    bool cancelled = false;
    {
        BusyCursor wait(view_);
        CryptoServerParams request = params_;
        cancelled = !exchangeInBackground(request, [&listed, &message](CryptoServerParams& p) {
            const ExchangeResult result = listInterfaces(p);
            listed = result.ok();
            message = exchangeMessage(result, p);
        });
        params_.interfaceList = std::move(request.interfaceList);
    }
    // Given up by the user: nothing to say, nothing remembered.
    if (cancelled) return -1;
    if (!listed) {
        view_.showError(message);
        return -1;
    }
    saveServerDefaults(settings_, params_);
    fillInterfaceList();
    return 0;
}

void ConnectWizardController::fillInterfaceList() {
    // The entries and interfaces_ stay index for index: the name that travels
    // is the listed bytes, not the text shown (which may not convert back).
    const std::string previous = params_.interfaceName;
    for (int i = view_.listCount(TransferPage, TransferPageIds::Interface) - 1; i >= 0; --i)
        view_.listRemove(TransferPage, TransferPageIds::Interface, i);
    interfaces_ = splitInterfaceList(params_.interfaceList.data(), params_.interfaceList.size());
    for (const std::string& name : interfaces_)
        view_.listAdd(TransferPage, TransferPageIds::Interface, cp1251ToUtf8(name));
    if (interfaces_.empty()) {
        params_.interfaceName.clear();
        return;
    }

    // A listing again (after Back) keeps the choice and the file the user made.
    for (std::size_t i = 0; i < interfaces_.size(); ++i) {
        if (!previous.empty() && interfaces_[i] == previous) {
            view_.listSelect(TransferPage, TransferPageIds::Interface, static_cast<int>(i));
            return;
        }
    }
    // Otherwise the first interface with its default file, so that the
    // common case (one served interface) needs no choosing at all.
    view_.listSelect(TransferPage, TransferPageIds::Interface, 0);
    onInterfaceChanged();
}

void ConnectWizardController::onInterfaceChanged() {
    const int index = view_.listSelection(TransferPage, TransferPageIds::Interface);
    if (index < 0 || index >= static_cast<int>(interfaces_.size())) return;
    params_.interfaceName = interfaces_[index];
    view_.setText(TransferPage, TransferPageIds::LocalFile,
                  pathInDefaultDir(settings_, interfaceFileName(cp1251ToUtf8(interfaces_[index]))));
}

int ConnectWizardController::onTransferPageNext() {
    params_.operation = view_.isChecked(TransferPage, TransferPageIds::Fetch)
                            ? ServerCode::FetchKeyBase
                            : ServerCode::UploadKeyBase;
    const int index = view_.listSelection(TransferPage, TransferPageIds::Interface);
    if (index < 0 || index >= static_cast<int>(interfaces_.size())) {
        view_.showError(ConnectWizardTexts::NoInterface);
        return -1;
    }
    params_.interfaceName = interfaces_[index];
    params_.localFile = view_.text(TransferPage, TransferPageIds::LocalFile);

    CheckResult refusal;
    bool exists = false;
    {
        BusyCursor wait(view_);
        refusal = checkTransfer(params_);
        exists = refusal.advances() && params_.operation == ServerCode::FetchKeyBase &&
                 fileExists(params_.localFile);
    }
    if (!refusal.advances()) {
        view_.showError(refusal.message, fileFailureDetail(refusal.cause));
        return -1;
    }
    if (exists && !view_.askQuestion(ConnectWizardTexts::OverwriteQuestion)) return -1;
    return 0;
}

bool ConnectWizardController::runTransfer() {
    std::string message, detail;
    bool ok = false;
    bool cancelled = false;
    {
        BusyCursor wait(view_);
        CryptoServerParams request = params_;
        cancelled = !exchangeInBackground(request, [&](CryptoServerParams& p) {
            const ExchangeResult result =
                p.operation == ServerCode::FetchKeyBase ? fetchKeyBase(p) : uploadKeyBase(p);
            ok = result.ok();
            message = exchangeMessage(result, p);
            // The local file's cause, when it is to blame, under the message.
            detail = fileFailureDetail(result.fileFailure);
        });
    }
    // An exchange given up in its last moment may still have succeeded: the
    // file then is there, and the user is told so.
    if (cancelled && !ok) return false;
    if (ok) {
        view_.showInformation(ConnectWizardTexts::success(message));
    } else {
        view_.showError(message, detail);
    }
    return ok;
}

bool ConnectWizardController::exchangeInBackground(
    CryptoServerParams& request, const std::function<void(CryptoServerParams&)>& exchange) {
    // A silent server would hold the window for the whole idle limit: the
    // exchange runs away from it on its own copy of the parameters, and
    // "Отмена" raises the socket's stop flag.
    std::atomic<int32_t> stop{0};
    request.stop = &stop;
    const bool finished =
        view_.runInBackground([&exchange, &request] { exchange(request); }, [&stop] { stop = 1; });
    request.stop = nullptr;
    return finished;
}

void ConnectWizardController::onAdminBaseButton() {
    std::string chosen;
    if (selectFile(view_.fileDialogs(), settings_, chosen, true, {{"All Files (*.*)", "*.*"}})) {
        view_.setText(ConnectPage, ConnectPageIds::AdminBase, chosen);
    }
}

void ConnectWizardController::onLocalFileButton() {
    // Fetching writes the file: a save dialog; uploading reads it: an open one.
    const bool fetch = view_.isChecked(TransferPage, TransferPageIds::Fetch);
    const std::string current = view_.text(TransferPage, TransferPageIds::LocalFile);
    const std::string initialName = std::filesystem::path(current).filename().string();
    std::string chosen;
    if (selectFile(view_.fileDialogs(), settings_, chosen, !fetch, keyBaseFilters(), initialName,
                   fetch ? ".key_base" : std::string())) {
        view_.setText(TransferPage, TransferPageIds::LocalFile, chosen);
    }
}

std::string ConnectWizardController::summaryText() const {
    const bool fetch = params_.operation == ServerCode::FetchKeyBase;
    std::string text = fetch ? "С криптосервера будет получена база ключей интерфейса\n"
                             : "На криптосервер будет загружена база ключей интерфейса\n";
    // Appended piece by piece: a literal plus a temporary string trips a false
    // -Wrestrict in GCC 12's optimiser.
    text += '"';
    text += cp1251ToUtf8(params_.interfaceName);
    text += '"';
    text += fetch ? " и сохранена в файле\n" : " из файла\n";
    text += params_.localFile;
    text += "\n\nКриптосервер:\t";
    text += hostAndPort(params_);
    text += "\nКлюч сервера:\t";
    text += cp1251ToUtf8(params_.serverKeyName);
    text += "\nКлюч администратора:\t";
    text += cp1251ToUtf8(params_.adminKeyName);
    text += "\n\n";
    text += "Нажмите \"Готово\", чтобы выполнить операцию.";
    return text;
}

}  // namespace Talvek
