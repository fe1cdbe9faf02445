#pragma once
// The crypto-server connection wizard without widgets: three pages that
// collect the connection data, list the server's interfaces, let the
// administrator choose one and a local file, and fetch or upload that
// interface's key base. The controller owns the CryptoServerParams for one run
// and drives the pages through a WizardView.
//
// Key names are typed in UTF-8 and travel as Windows-1251 bytes; a name that
// Windows-1251 cannot hold is refused, never altered. Messages are shown after
// the wait cursor has gone, so the user answers them with the usual pointer.
// The exchanges with the server run away from the window: it stays live, and
// "Отмена" gives an exchange up, with nothing written and nothing said.

#include <functional>
#include <string>
#include <vector>

#include "gui/settingsstore.h"
#include "checks/connectchecks.h"
#include "cryptoclient/cryptoserverclient.h"
#include "gui/wizardview.h"

namespace Talvek {

// The pages in wizard order (the page numbers the view uses).
enum ConnectWizardPage : int {
    ConnectPage = 0,
    TransferPage = 1,
    RunPage = 2,
    ConnectWizardPageCount = 3,
};

// Control ids, per page.
namespace ConnectPageIds {
inline constexpr int Address = 1001;
inline constexpr int Port = 1002;
inline constexpr int AdminName = 1003;
inline constexpr int ServerName = 1004;
inline constexpr int AdminBase = 1005;
inline constexpr int AdminBaseButton = 1006;
}  // namespace ConnectPageIds

namespace TransferPageIds {
inline constexpr int Interface = 1010;
inline constexpr int Fetch = 1011;
inline constexpr int Upload = 1012;
inline constexpr int LocalFile = 1013;
inline constexpr int LocalFileButton = 1014;
}  // namespace TransferPageIds

namespace RunPageIds {
inline constexpr int Summary = 1020;
}

namespace ConnectWizardTexts {
inline constexpr const char* Title = "Подключение к криптосерверу";
// "Подключение к криптосерверу. Шаг N из 3."
std::string caption(int page);
std::string heading(int page);

inline constexpr const char* AddressLabel = "Адрес и порт для подключения";
inline constexpr const char* AdminNameLabel = "Название ключа администратора";
inline constexpr const char* ServerNameLabel = "Название ключа сервера";
inline constexpr const char* AdminBaseLabel = "База ключей администратора";
inline constexpr const char* InterfaceLabel = "Обслуживаемый сервер системы Orvane";
inline constexpr const char* FetchChoice = "Получить базу ключей криптосервера";
inline constexpr const char* UploadChoice = "Загрузить базу ключей на криптосервер";
inline constexpr const char* LocalFileLabel = "Имя файла для получения или загрузки";

// The refusals shared with talvekkey.
inline constexpr const char* NoPrivateBase = ConnectMessages::NoPrivateBase;
inline constexpr const char* NoInterface = "Не выбран интерфейс криптосервера!";
inline constexpr const char* NoLocalFile = ConnectMessages::NoLocalFile;
inline constexpr const char* OverwriteQuestion =
    "Файл с таким именем уже существует.\nПри получении базы он будет перезаписан.\n\nПродолжить?";
inline constexpr const char* NotKeyBase = ConnectMessages::NotKeyBase;
inline constexpr const char* FetchOverAdminBase = ConnectMessages::FetchOverAdminBase;
using ConnectMessages::interfaceTooLong;
using ConnectMessages::noChannel;
// "Операция выполнена успешно!\n\n%s"
std::string success(const std::string& message);
}  // namespace ConnectWizardTexts

// The five remembered connection values: "defaddr", "defport" (decimal text),
// "defserver", "defadmin", "defbase". Missing values leave empty texts and
// port 0; a stored key name that Windows-1251 cannot hold reads as empty.
void loadServerDefaults(SettingsStore& settings, CryptoServerParams& params);
bool saveServerDefaults(SettingsStore& settings, const CryptoServerParams& params);

// The file name suggested for an interface's base: the name with every path
// separator replaced, so a server cannot point the suggestion elsewhere.
std::string interfaceFileName(const std::string& interfaceUtf8);

class ConnectWizardController : public WizardEvents {
public:
    ConnectWizardController(WizardView& view, SettingsStore& settings);

    void pageCreated(int page) override;
    void pageShown(int page) override;
    void pageLeft(int page) override;
    bool nextPressed(int page) override;
    bool finishPressed(int page) override;
    void clicked(int page, int id) override;

    // The page handlers: a Next handler returns 0 to advance, -1 to stay.
    int onConnectPageNext();
    // Another entry was chosen in the interface list.
    void onInterfaceChanged();
    int onTransferPageNext();
    // Fetches or uploads as page 2 settled; true on success.
    bool runTransfer();
    void onAdminBaseButton();
    void onLocalFileButton();

    // What page 3 shows: the operation, interface, local file and server.
    std::string summaryText() const;
    // The interface names of the last listing (Windows-1251), as listed.
    const std::vector<std::string>& interfaces() const { return interfaces_; }

    const CryptoServerParams& params() const { return params_; }
    // For callers that tune the exchange (time limits).
    CryptoServerParams& params() { return params_; }

private:
    void fillConnectPage();
    void fillInterfaceList();
    bool guarded(bool (ConnectWizardController::*step)());
    // Runs exchange(request) through the view's background runner, with a
    // stop flag that "Отмена" raises; false when the user cancelled.
    bool exchangeInBackground(CryptoServerParams& request,
                              const std::function<void(CryptoServerParams&)>& exchange);
    bool connectNext() { return onConnectPageNext() == 0; }
    bool transferNext() { return onTransferPageNext() == 0; }

    WizardView& view_;
    SettingsStore& settings_;
    CryptoServerParams params_;
    std::vector<std::string> interfaces_;
};

}  // namespace Talvek
