// The connection wizard's logic through a scripted view, against the test
// crypto server on loopback: every check, question and message of the three
// pages, what is remembered, and what reaches the disk.

#include <filesystem>

#include <gtest/gtest.h>

#include "connectwizard/connectwizardcontroller.h"
#include "support/memorysettingsstore.h"
#include "support/protocolrequests.h"
#include "support/serverfixture.h"
#include "sealing/talvekcodec.h"
#include "cryptoclient/tcpsocket.h"
#include "keystore/secureexception.h"
#include "support/refusal.h"
#include "support/scriptedwizardview.h"

using namespace Talvek;
using namespace TestSupport;

namespace {

// One run of the wizard: settings, the scripted view and the controller.
struct WizardRun {
    TestSupport::MemorySettingsStore settings;
    ScriptedWizardView view;
    ConnectWizardController controller{view, settings};
    WizardWalk walk{controller, ConnectWizardPageCount};

    std::string& field(int page, int id) { return view.at(page, id).text; }
    ScriptedWizardView::Control& list() {
        return view.at(TransferPage, TransferPageIds::Interface);
    }
    std::string lastMessage() const {
        return view.messages.empty() ? std::string() : view.messages.back().text;
    }
};

class ConnectWizardTest : public CryptoServerFixture {
protected:
    void SetUp() override {
        CryptoServerFixture::SetUp();
        keysDir = dir.file("keys") + "/";
        std::filesystem::create_directory(keysDir);
        run.settings.writeText("defaultDir", keysDir);
        run.controller.params().idleLimitMs = 3000;
    }

    // Page 1 as a user fills it for the running server.
    void fillConnectPage() {
        run.field(ConnectPage, ConnectPageIds::Address) = "127.0.0.1";
        run.field(ConnectPage, ConnectPageIds::Port) = std::to_string(server->port());
        run.field(ConnectPage, ConnectPageIds::AdminName) = "Администратор";
        run.field(ConnectPage, ConnectPageIds::ServerName) = "Криптосервер";
        run.field(ConnectPage, ConnectPageIds::AdminBase) = adminBase;
    }

    // Opens the wizard and passes page 1.
    void reachTransferPage() {
        run.walk.open();
        fillConnectPage();
        ASSERT_TRUE(run.walk.next()) << run.lastMessage();
        ASSERT_EQ(run.walk.current(), TransferPage);
    }

    void choose(const std::string& utf8Name) {
        const auto& entries = run.list().entries;
        const auto it = std::find(entries.begin(), entries.end(), utf8Name);
        ASSERT_NE(it, entries.end()) << utf8Name;
        run.view.listSelect(TransferPage, TransferPageIds::Interface,
                            static_cast<int>(it - entries.begin()));
        run.controller.onInterfaceChanged();
    }

    void chooseUpload() {
        run.view.setChecked(TransferPage, TransferPageIds::Fetch, false);
        run.view.setChecked(TransferPage, TransferPageIds::Upload, true);
    }

    // The next listings answer these names (Windows-1251), sealed for the
    // administrator as the crypto server seals them.
    void serveListing(const std::vector<std::string>& names) {
        server->answerWith([this, names](const std::vector<uint8_t>& request) {
            RequestSealer serverSide(serverBase, serverName, adminName, CodecSide::CryptoServer);
            return sealedReply(serverSide, openFirstBlock(serverSide, request).stamp,
                               joinInterfaceList(names));
        });
    }

    std::string keysDir;
    WizardRun run;
};

TEST_F(ConnectWizardTest, StoredDefaultsFillTheFirstPage) {
    run.settings.writeText("defaddr", "crypto.example");
    run.settings.writeText("defport", " 7010 ");
    run.settings.writeText("defadmin", "Администратор");
    run.settings.writeText("defserver", "Криптосервер");
    run.settings.writeText("defbase", "/keys/admin.key_base");
    run.walk.open();
    EXPECT_EQ(run.field(ConnectPage, ConnectPageIds::Address), "crypto.example");
    EXPECT_EQ(run.field(ConnectPage, ConnectPageIds::Port), "7010");
    EXPECT_EQ(run.field(ConnectPage, ConnectPageIds::AdminName), "Администратор");
    EXPECT_EQ(run.field(ConnectPage, ConnectPageIds::ServerName), "Криптосервер");
    EXPECT_EQ(run.field(ConnectPage, ConnectPageIds::AdminBase), "/keys/admin.key_base");
    // The names travel as Windows-1251.
    EXPECT_EQ(run.controller.params().adminKeyName, adminName);
    EXPECT_EQ(run.view.buttons, unsigned(WizardNext));

    // Nothing stored: empty fields, no port shown.
    WizardRun fresh;
    fresh.walk.open();
    EXPECT_EQ(fresh.field(ConnectPage, ConnectPageIds::Port), "");
    EXPECT_EQ(fresh.controller.params().port, 0);
    EXPECT_EQ(fresh.field(ConnectPage, ConnectPageIds::AdminName), "");
}

TEST_F(ConnectWizardTest, SettingsAreWrittenOnlyAfterASuccessfulListing) {
    run.walk.open();
    fillConnectPage();
    run.field(ConnectPage, ConnectPageIds::AdminBase) = dir.file("missing.key_base");
    EXPECT_FALSE(run.walk.next());
    run.field(ConnectPage, ConnectPageIds::AdminBase) = adminBase;
    run.field(ConnectPage, ConnectPageIds::ServerName) = "Чужой";
    EXPECT_FALSE(run.walk.next());
    run.field(ConnectPage, ConnectPageIds::ServerName) = "Криптосервер";
    run.field(ConnectPage, ConnectPageIds::Port) = "1";  // nobody listens there
    EXPECT_FALSE(run.walk.next());
    EXPECT_TRUE(run.settings.texts.count("defaddr") == 0);
    EXPECT_TRUE(run.settings.texts.count("defport") == 0);
    EXPECT_TRUE(run.settings.texts.count("defbase") == 0);

    run.field(ConnectPage, ConnectPageIds::Port) = std::to_string(server->port());
    ASSERT_TRUE(run.walk.next()) << run.lastMessage();
    EXPECT_EQ(run.settings.texts.at("defaddr"), "127.0.0.1");
    EXPECT_EQ(run.settings.texts.at("defport"), std::to_string(server->port()));
    EXPECT_EQ(run.settings.texts.at("defadmin"), "Администратор");
    EXPECT_EQ(run.settings.texts.at("defserver"), "Криптосервер");
    EXPECT_EQ(run.settings.texts.at("defbase"), adminBase);

    // What was written reads back into the same parameters.
    CryptoServerParams again;
    loadServerDefaults(run.settings, again);
    EXPECT_EQ(again.address, "127.0.0.1");
    EXPECT_EQ(again.port, server->port());
    EXPECT_EQ(again.adminKeyName, adminName);
    EXPECT_EQ(again.serverKeyName, serverName);
    EXPECT_EQ(again.adminKeyBase, adminBase);
}

TEST_F(ConnectWizardTest, AForeignAdminBaseStopsBeforeAnyConnection) {
    run.walk.open();
    fillConnectPage();
    run.field(ConnectPage, ConnectPageIds::AdminBase) = dir.file("notes.txt");
    writeText(dir.file("notes.txt"), "not a key base");
    EXPECT_FALSE(run.walk.next());
    EXPECT_EQ(run.lastMessage(),
              "Файла с приватными ключами не существует\nили файл не является базой с "
              "приватными ключами!");
    EXPECT_EQ(run.view.messages.back().icon, MessageIcon::Error);
    EXPECT_EQ(run.walk.current(), ConnectPage);
    EXPECT_EQ(server->requestCount(), 0);
}

TEST_F(ConnectWizardTest, ABaseWithoutTheChannelIsRefusedBeforeAnyConnection) {
    run.walk.open();
    fillConnectPage();
    run.field(ConnectPage, ConnectPageIds::AdminName) = "Кассир";
    EXPECT_FALSE(run.walk.next());
    EXPECT_EQ(run.lastMessage(),
              "В базе " + adminBase + " нет секретного канала \"Кассир : Криптосервер\"!");
    EXPECT_EQ(server->requestCount(), 0);
    EXPECT_EQ(run.walk.current(), ConnectPage);
}

TEST_F(ConnectWizardTest, AChannelThatOnlySignsIsRefusedBeforeAnyConnection) {
    writeChannelPair(adminBase, serverBase, adminName, serverName, false, true);
    run.walk.open();
    fillConnectPage();
    EXPECT_FALSE(run.walk.next());
    EXPECT_EQ(run.lastMessage(),
              "Секретный канал \"Администратор : Криптосервер\" должен и подписывать, и "
              "шифровать!");
    EXPECT_EQ(run.view.messages.back().icon, MessageIcon::Error);
    EXPECT_EQ(server->requestCount(), 0);
    EXPECT_EQ(run.walk.current(), ConnectPage);
}

TEST_F(ConnectWizardTest, APortOfLettersIsPortZeroAndTheConnectionFails) {
    run.walk.open();
    fillConnectPage();
    run.field(ConnectPage, ConnectPageIds::Port) = "порт";
    EXPECT_FALSE(run.walk.next());
    EXPECT_EQ(run.controller.params().port, 0);
    EXPECT_EQ(run.lastMessage(), std::string("Ошибка соединения: ") +
                                     socketErrorText(SocketCode::ConnectionRefused) + " !");
    EXPECT_EQ(run.walk.current(), ConnectPage);
}

TEST_F(ConnectWizardTest, KeyNamesWindows1251CannotHoldAreRefusedUnchanged) {
    run.walk.open();
    fillConnectPage();
    run.field(ConnectPage, ConnectPageIds::AdminName) = "Админ ☃";
    EXPECT_FALSE(run.walk.next());
    EXPECT_EQ(run.lastMessage(),
              "Ключевое имя \"Админ ☃\" нельзя записать в кодировке Windows-1251!");
    EXPECT_EQ(run.field(ConnectPage, ConnectPageIds::AdminName), "Админ ☃");
    EXPECT_EQ(server->requestCount(), 0);
}

TEST_F(ConnectWizardTest, ListingFillsTheDropDownAndPreselectsTheFirstInterface) {
    reachTransferPage();
    EXPECT_EQ(run.list().entries, (std::vector<std::string>{"main", "Касса"}));
    EXPECT_EQ(run.list().selection, 0);
    EXPECT_EQ(run.field(TransferPage, TransferPageIds::LocalFile), keysDir + "main.key_base");
    EXPECT_TRUE(run.view.isChecked(TransferPage, TransferPageIds::Fetch));
    EXPECT_EQ(run.view.buttons, unsigned(WizardBack | WizardNext));

    choose("Касса");
    EXPECT_EQ(run.controller.params().interfaceName, cp("Касса"));
    EXPECT_EQ(run.field(TransferPage, TransferPageIds::LocalFile), keysDir + "Касса.key_base");
    choose("main");
    EXPECT_EQ(run.field(TransferPage, TransferPageIds::LocalFile), keysDir + "main.key_base");

    // Each network and disk step ran under the wait cursor; every message
    // box is answered with the ordinary pointer.
    EXPECT_GE(run.view.busyBegun, 2);
    EXPECT_EQ(run.view.busyDepth, 0);
}

TEST_F(ConnectWizardTest, ListingAgainAfterBackKeepsTheChoiceAndTheFile) {
    reachTransferPage();
    choose("Касса");
    run.field(TransferPage, TransferPageIds::LocalFile) = dir.file("my.key_base");
    run.walk.back();
    ASSERT_TRUE(run.walk.next());
    EXPECT_EQ(run.list().entries.size(), 2u);  // replaced, not appended
    EXPECT_EQ(run.list().selection, 1);
    EXPECT_EQ(run.field(TransferPage, TransferPageIds::LocalFile), dir.file("my.key_base"));

    // The chosen interface is gone from the server: the first one is offered.
    std::filesystem::remove(interfaceFile("Касса"));
    run.walk.back();
    ASSERT_TRUE(run.walk.next());
    EXPECT_EQ(run.list().entries, std::vector<std::string>{"main"});
    EXPECT_EQ(run.list().selection, 0);
    EXPECT_EQ(run.field(TransferPage, TransferPageIds::LocalFile), keysDir + "main.key_base");
}

TEST_F(ConnectWizardTest, LeavingPageTwoWithoutAnInterfaceIsRefusedEvenWithAFile) {
    serveListing({});  // a crypto server that serves nothing
    reachTransferPage();
    EXPECT_TRUE(run.list().entries.empty());
    EXPECT_EQ(run.list().selection, -1);
    run.field(TransferPage, TransferPageIds::LocalFile) = dir.file("some.key_base");
    EXPECT_FALSE(run.walk.next());
    EXPECT_EQ(run.lastMessage(), "Не выбран интерфейс криптосервера!");
    EXPECT_EQ(run.walk.current(), TransferPage);
}

TEST_F(ConnectWizardTest, FetchIntoAnExistingFileAsksAndOverwritesOnlyAfterYes) {
    reachTransferPage();
    const std::string target = keysDir + "main.key_base";
    writeText(target, "old contents");
    const int requestsBefore = server->requestCount();

    run.view.answers = {false};
    EXPECT_FALSE(run.walk.next());
    EXPECT_EQ(run.view.messages.back().icon, MessageIcon::Question);
    EXPECT_EQ(run.lastMessage(),
              "Файл с таким именем уже существует.\nПри получении базы он будет "
              "перезаписан.\n\nПродолжить?");
    EXPECT_EQ(run.view.messages.back().busyDepth, 0);
    EXPECT_EQ(run.walk.current(), TransferPage);
    EXPECT_EQ(readText(target), "old contents");

    run.view.answers = {true};
    ASSERT_TRUE(run.walk.next());
    EXPECT_EQ(run.walk.current(), RunPage);
    EXPECT_EQ(run.view.buttons, unsigned(WizardBack | WizardFinish));
    const std::string summary = run.view.at(RunPage, RunPageIds::Summary).text;
    EXPECT_NE(summary.find("получена"), std::string::npos) << summary;
    EXPECT_NE(summary.find("\"main\""), std::string::npos) << summary;
    EXPECT_NE(summary.find(target), std::string::npos) << summary;
    EXPECT_NE(summary.find("127.0.0.1:" + std::to_string(server->port())), std::string::npos);
    EXPECT_EQ(server->requestCount(), requestsBefore);  // nothing fetched before Finish
    EXPECT_EQ(readText(target), "old contents");

    EXPECT_TRUE(run.walk.finish());
    EXPECT_EQ(run.view.messages.back().icon, MessageIcon::Information);
    EXPECT_EQ(
        run.lastMessage(),
        "Операция выполнена успешно!\n\nБаза ключей сервера сохранена как\n\"" + target + "\"");
    EXPECT_EQ(readBytes(target), readBytes(interfaceFile("main")));
}

TEST_F(ConnectWizardTest, AFetchOverTheAdminBaseIsRefusedBeforeTheOverwriteQuestion) {
    reachTransferPage();
    run.field(TransferPage, TransferPageIds::LocalFile) = adminBase;
    run.view.answers = {true};
    EXPECT_FALSE(run.walk.next());
    EXPECT_EQ(run.view.messages.back().icon, MessageIcon::Error);
    EXPECT_EQ(run.lastMessage(), ConnectWizardTexts::FetchOverAdminBase);
    EXPECT_EQ(run.view.answers.size(), 1u);  // never asked
}

TEST_F(ConnectWizardTest, AFailedTransferIsShownAndKeepsTheWizardAndTheFile) {
    reachTransferPage();
    const std::string target = keysDir + "main.key_base";
    writeText(target, "old contents");
    run.view.answers = {true};
    ASSERT_TRUE(run.walk.next());
    std::filesystem::remove(interfaceFile("main"));  // the server lost it meanwhile

    EXPECT_FALSE(run.walk.finish());
    EXPECT_EQ(run.view.messages.back().icon, MessageIcon::Error);
    EXPECT_EQ(run.lastMessage(), "Сервер сообщил об ошибке:\n" + serverErrorText(103) + "!");
    EXPECT_EQ(run.view.messages.back().informative, "");  // no file is to blame
    EXPECT_EQ(run.walk.current(), RunPage);
    EXPECT_EQ(readText(target), "old contents");
}

// The fetch runs away from the window's thread: the file's cause comes back
// with its result and shows under the message.
TEST_F(ConnectWizardTest, AFetchThatCannotWriteItsFileNamesTheFileAndTheCause) {
    reachTransferPage();
    const std::string target = keysDir + "main.key_base";
    std::filesystem::create_directory(target);
    run.view.answers = {true};
    ASSERT_TRUE(run.walk.next()) << run.lastMessage();

    EXPECT_FALSE(run.walk.finish());
    EXPECT_EQ(run.view.messages.back().icon, MessageIcon::Error);
    EXPECT_EQ(run.lastMessage(), "Ошибка создания файла для получения!");
    EXPECT_EQ(run.view.messages.back().informative, "Файл: " + target + "\nПричина: это каталог.");
    EXPECT_TRUE(std::filesystem::is_directory(target));
}

TEST_F(ConnectWizardTest, UploadOfAFileThatIsNotAKeyBaseIsRefused) {
    reachTransferPage();
    chooseUpload();
    run.field(TransferPage, TransferPageIds::LocalFile) = dir.file("missing.key_base");
    EXPECT_FALSE(run.walk.next());
    EXPECT_EQ(run.lastMessage(),
              "Файла базы ключей не существует\nили файл не является базой с ключами!");
    EXPECT_EQ(run.walk.current(), TransferPage);
    EXPECT_EQ(server->requestCount(), 1);  // the listing only
}

TEST_F(ConnectWizardTest, UploadReplacesTheInterfaceBaseOnTheServer) {
    reachTransferPage();
    choose("Касса");
    chooseUpload();
    const std::string local = dir.file("changed.key_base");
    writeInterfaceBase(local, cp("Касса"), 3);
    run.field(TransferPage, TransferPageIds::LocalFile) = local;
    ASSERT_TRUE(run.walk.next()) << run.lastMessage();
    EXPECT_NE(run.view.at(RunPage, RunPageIds::Summary).text.find("загружена"), std::string::npos);
    ASSERT_TRUE(run.walk.finish()) << run.lastMessage();
    EXPECT_EQ(
        run.lastMessage().rfind(
            "Операция выполнена успешно!\n\nНовая база ключей установлена на сервере как\n\"", 0),
        0u)
        << run.lastMessage();
    EXPECT_EQ(readBytes(interfaceFile("Касса")), readBytes(local));
}

TEST_F(ConnectWizardTest, AnInterfaceNameTooLongForTheProtocolIsRefused) {
    // Cut to 63 characters it would name this other interface.
    const std::string shortName(63, 'a');
    const std::string longName = shortName + "-extra";
    writeInterfaceBase(interfaceFile(shortName), shortName, 1);
    // A listing that names it is no listing of this protocol.
    serveListing({shortName, longName});
    run.walk.open();
    fillConnectPage();
    EXPECT_FALSE(run.walk.next());
    EXPECT_EQ(run.lastMessage(), "Ошибка декодирования списка интерфейсов сервера!");
    // The transfer's own check refuses it too, before any request.
    auto params = paramsFor(dir.file("upload.key_base"));
    params.operation = ServerCode::UploadKeyBase;
    params.interfaceName = longName;
    EXPECT_EQ(refusalOf(checkTransfer(params)), ConnectWizardTexts::interfaceTooLong(longName));

    server->misbehave(Misbehaviour::None);
    ASSERT_TRUE(run.walk.next()) << run.lastMessage();
    choose(shortName);
    chooseUpload();
    const std::string local = dir.file("upload.key_base");
    writeInterfaceBase(local, "x", 2);
    run.field(TransferPage, TransferPageIds::LocalFile) = local;
    EXPECT_TRUE(run.walk.next()) << run.lastMessage();
}

TEST_F(ConnectWizardTest, FileButtonsOfferTheRightDialogs) {
    run.walk.open();
    run.view.files.answers = {dir.file("chosen-admin.key_base"), std::nullopt};
    run.walk.click(ConnectPageIds::AdminBaseButton);
    ASSERT_EQ(run.view.files.requests.size(), 1u);
    const FileDialogRequest& first = run.view.files.requests[0];
    EXPECT_TRUE(first.forOpening);
    ASSERT_EQ(first.filters.size(), 1u);
    EXPECT_EQ(first.filters[0].description, "All Files (*.*)");
    EXPECT_EQ(first.filters[0].pattern, "*.*");
    EXPECT_EQ(first.initialName, "");
    EXPECT_EQ(run.field(ConnectPage, ConnectPageIds::AdminBase), dir.file("chosen-admin.key_base"));
    // A cancelled dialog leaves the field alone.
    run.walk.click(ConnectPageIds::AdminBaseButton);
    EXPECT_EQ(run.field(ConnectPage, ConnectPageIds::AdminBase), dir.file("chosen-admin.key_base"));

    reachTransferPage();
    const std::size_t before = run.view.files.requests.size();
    run.view.files.answers = {dir.file("fetched.key_base"), dir.file("upload.key_base")};
    run.walk.click(TransferPageIds::LocalFileButton);
    chooseUpload();
    run.walk.click(TransferPageIds::LocalFileButton);
    ASSERT_EQ(run.view.files.requests.size(), before + 2);
    const FileDialogRequest& save = run.view.files.requests[before];
    const FileDialogRequest& open = run.view.files.requests[before + 1];
    EXPECT_FALSE(save.forOpening);
    EXPECT_EQ(save.initialName, "main.key_base");
    EXPECT_TRUE(open.forOpening);
    for (const FileDialogRequest* r : {&save, &open}) {
        ASSERT_EQ(r->filters.size(), 2u);
        EXPECT_EQ(r->filters[0].description, "Серверные базы ключей (*.key_base)");
        EXPECT_EQ(r->filters[0].pattern, "*.key_base");
        EXPECT_EQ(r->filters[1].pattern, "*.*");
    }
    EXPECT_EQ(run.field(TransferPage, TransferPageIds::LocalFile), dir.file("upload.key_base"));
}

// Both exchanges run away from the window under the wait cursor and can be
// cancelled; a cancelled one says nothing, remembers nothing and writes
// nothing, and the same step then runs as usual.
TEST_F(ConnectWizardTest, ExchangesRunInTheBackgroundAndACancelledOneLeavesNoTrace) {
    run.walk.open();
    fillConnectPage();
    run.view.cancelNextRun = true;
    EXPECT_FALSE(run.walk.next());
    EXPECT_TRUE(run.view.messages.empty());
    EXPECT_EQ(run.settings.texts.count("defaddr"), 0u);
    EXPECT_TRUE(run.controller.params().interfaceList.empty());
    ASSERT_TRUE(run.walk.next()) << run.lastMessage();
    EXPECT_EQ(run.settings.texts.count("defaddr"), 1u);
    ASSERT_TRUE(run.walk.next()) << run.lastMessage();
    ASSERT_EQ(run.walk.current(), RunPage);

    const std::string target = keysDir + "main.key_base";
    run.view.cancelNextRun = true;
    EXPECT_FALSE(run.walk.finish());
    EXPECT_TRUE(run.view.messages.empty());
    EXPECT_FALSE(exists(target));
    ASSERT_TRUE(run.walk.finish()) << run.lastMessage();
    EXPECT_EQ(readBytes(target), readBytes(interfaceFile("main")));

    ASSERT_EQ(run.view.backgroundRuns.size(), 4u);
    for (const auto& background : run.view.backgroundRuns) {
        EXPECT_EQ(background.waitDepth, 1);
        EXPECT_TRUE(background.cancellable);
    }
}

// A key that cannot be made into an RSA object fails the step with its
// message; the wizard stays where it was.
class ThrowingView : public ScriptedWizardView {
public:
    void beginBusy() override {
        if (throwNow) throw SecureException("Ошибка создания ключа RSA!");
        ScriptedWizardView::beginBusy();
    }
    bool throwNow = false;
};

TEST_F(ConnectWizardTest, AKeyStoreExceptionIsShownAndTheWizardStays) {
    ThrowingView view;
    ConnectWizardController controller(view, run.settings);
    WizardWalk walk(controller, ConnectWizardPageCount);
    walk.open();
    view.at(ConnectPage, ConnectPageIds::AdminName).text = "Администратор";
    view.at(ConnectPage, ConnectPageIds::ServerName).text = "Криптосервер";
    view.at(ConnectPage, ConnectPageIds::AdminBase).text = adminBase;
    view.at(ConnectPage, ConnectPageIds::Address).text = "127.0.0.1";
    view.at(ConnectPage, ConnectPageIds::Port).text = std::to_string(server->port());
    view.throwNow = true;
    EXPECT_FALSE(walk.next());
    ASSERT_EQ(view.errors(), std::vector<std::string>{"Ошибка создания ключа RSA!"});
    view.throwNow = false;
    ASSERT_TRUE(walk.next());
    ASSERT_TRUE(walk.next());
    view.throwNow = true;
    EXPECT_FALSE(walk.finish());
    EXPECT_EQ(view.errors().size(), 2u);
    EXPECT_EQ(walk.current(), RunPage);
}

TEST(ConnectWizardNames, SuggestedFileNamesStayInTheDefaultDirectory) {
    EXPECT_EQ(interfaceFileName("main"), "main.key_base");
    EXPECT_EQ(interfaceFileName("../../etc/cron.d/x"), ".._.._etc_cron.d_x.key_base");
    EXPECT_EQ(interfaceFileName("a\\b"), "a_b.key_base");
}

}  // namespace
