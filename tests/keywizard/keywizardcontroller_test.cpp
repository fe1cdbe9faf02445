// The key creation wizard's logic, page by page, through a scripted view.

#include "keywizard/keywizardcontroller.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>

#include "fileio/filereader.h"
#include "fileio/filewriter.h"
#include "keystore/fingerprint.h"
#include "keystore/keybase.h"
#include "support/lockwait.h"
#include "support/memorysettingsstore.h"
#include "support/scriptedwizardview.h"
#include "support/tempdir.h"
#include "support/testkeys.h"
#include "checks/keychecks.h"

using namespace Talvek;
using TestSupport::ScriptedWizardView;
using TestSupport::WizardWalk;

namespace {

constexpr int kType = KeyTypePage;
constexpr int kFiles = KeyFilesPage;
constexpr int kNames = KeyNamesPage;
constexpr int kParams = KeyParamsPage;

const std::string kCentre = "Центр";
const std::string kCentreCp1251 = "\xD6\xE5\xED\xF2\xF0";
const std::string kIvanov = "Иванов";

// The files part of the summary page; no Java line when javaFile is empty.
std::string filesSummary(const std::string& baseFile, const std::string& javaFile,
                         const std::string& importFile, const std::string& exportFile) {
    std::string text = "База ключей:    \t" + baseFile + "\r\n";
    if (!javaFile.empty()) text += "\"Java\" база ключей:\t" + javaFile + "\r\n";
    return text + "Импорт ключей:  \t" + importFile + "\r\nЭкспорт ключей: \t" + exportFile +
           "\r\n";
}

// The summary's closing block: the fingerprints of the import file's keys.
std::string fingerprintSummary(const std::string& publicPart) {
    SecureChannel part;
    if (!readChannelFile(part, publicPart)) return "unreadable " + publicPart;
    std::string text = "\r\nОтпечатки импортируемых ключей:\r\n";
    if (part.useCrypt)
        text += "Кодирование:\r\n  " + publicKeyFingerprint(*part.cryptPublicKey) + "\r\n";
    if (part.useSign) text += "Подпись:\r\n  " + publicKeyFingerprint(*part.signPublicKey) + "\r\n";
    return text;
}

// One run of the wizard, opened on its first page.
struct WizardRun {
    explicit WizardRun(SettingsStore& settings)
        : wizard(view, settings), walk(wizard, KeyWizardPageCount) {
        walk.open();
    }
    ScriptedWizardView::Control& at(int id) { return view.at(walk.current(), id); }
    void type(int id, const std::string& text) { at(id).text = text; }
    // A user's click: the option is checked, then the click arrives.
    void choose(int option) {
        for (int id : {KeyTypeIds::NewUserServerKey, KeyTypeIds::ImportUserPart,
                       KeyTypeIds::CreateUserKey}) {
            view.at(kType, id).checked = id == option;
        }
        walk.click(option);
    }
    // A check box toggles itself before the click arrives.
    void toggle(int id) {
        at(id).checked = !at(id).checked;
        walk.click(id);
    }
    std::string lastError() {
        auto errors = view.errors();
        return errors.empty() ? std::string() : errors.back();
    }

    ScriptedWizardView view;
    KeyWizardController wizard;
    WizardWalk walk;
};

class KeyWizardControllerTest : public ::testing::Test {
protected:
    void SetUp() override {
        dirPath = dir.path() + "/";
        settings.texts["defaultDir"] = dirPath;
    }
    std::unique_ptr<WizardRun> open() { return std::make_unique<WizardRun>(settings); }
    std::unique_ptr<WizardRun> openAdmin(int option) {
        settings.numbers["adminMode"] = 1;
        auto run = open();
        run->choose(option);
        return run;
    }
    std::string path(const std::string& name) const { return dirPath + name; }

    // The server's public part as the administrator sends it (names in CP1251).
    void writeServerPart(const std::string& file, bool crypt, bool sign, int bits = 512) {
        auto channel = TestSupport::ownKeysChannel(kCentreCp1251, "user", crypt, sign, bits);
        ASSERT_TRUE(writePublicPart(*channel, file));
    }

    // A mode-2 run from the first page to the key names page with the defaults.
    std::unique_ptr<WizardRun> userRunToNames() {
        auto run = open();
        EXPECT_TRUE(run->walk.next());
        EXPECT_TRUE(run->walk.next()) << run->lastError();
        return run;
    }

    // An administrator's run in the given mode, from the first page to the key
    // names page with the given base file.
    std::unique_ptr<WizardRun> adminRunToNames(int option, const std::string& baseFile) {
        auto run = openAdmin(option);
        run->walk.next();
        run->type(KeyFilesIds::BaseEdit, path(baseFile));
        EXPECT_TRUE(run->walk.next()) << run->lastError();
        EXPECT_EQ(run->walk.current(), kNames);
        return run;
    }

    TestSupport::TempDir dir;
    std::string dirPath;
    TestSupport::MemorySettingsStore settings;
};

// --- First page ------------------------------------------------------------

TEST_F(KeyWizardControllerTest, OpensInUserModeWithAdministratorOptionsGreyed) {
    auto run = open();
    ScriptedWizardView& v = run->view;
    EXPECT_FALSE(v.at(kType, KeyTypeIds::NewUserServerKey).enabled);
    EXPECT_FALSE(v.at(kType, KeyTypeIds::ImportUserPart).enabled);
    EXPECT_TRUE(v.at(kType, KeyTypeIds::CreateUserKey).checked);
    EXPECT_EQ(v.at(kType, KeyTypeIds::Hint).text,
              "  Создать полный пользовательский ключ на основе полученной из центра открытой "
              "части серверного ключа. Создать открытую часть пользовательского ключа для "
              "отправки в центр.");
    EXPECT_EQ(v.buttons, unsigned(WizardNext));
    EXPECT_EQ(run->wizard.data().mode, CreateUserKey);
    EXPECT_TRUE(run->walk.next());
    EXPECT_EQ(run->walk.current(), kFiles);
    EXPECT_EQ(v.buttons, unsigned(WizardBack | WizardNext));
}

TEST_F(KeyWizardControllerTest, OnlyAdminModeOneEnablesTheServerOptions) {
    settings.numbers["adminMode"] = 2;
    EXPECT_FALSE(open()->view.at(kType, KeyTypeIds::NewUserServerKey).enabled);
    settings.numbers["adminMode"] = 1;
    auto run = open();
    EXPECT_TRUE(run->view.at(kType, KeyTypeIds::NewUserServerKey).enabled);
    EXPECT_TRUE(run->view.at(kType, KeyTypeIds::ImportUserPart).enabled);
    run->choose(KeyTypeIds::ImportUserPart);
    EXPECT_EQ(run->wizard.data().mode, ImportUserPart);
    EXPECT_EQ(run->view.at(kType, KeyTypeIds::Hint).text,
              "  Добавить в серверную базу созданную пользователем открытую часть его ключа "
              "(создать полный серверный ключ, позволяющий начать работу с использованием "
              "шифрования и ЭЦП).");
    run->choose(KeyTypeIds::NewUserServerKey);
    EXPECT_EQ(run->view.at(kType, KeyTypeIds::Hint).text,
              "  Создание открытой части ключа, которую необходимо отправить пользователю для "
              "генерации им полного ключа. Или создание новой базы ключей (при первом "
              "использовании системы безопасности).");
}

// --- Files page ------------------------------------------------------------

TEST_F(KeyWizardControllerTest, UserModeFilesPageShowsDefaultsAndChosenFiles) {
    settings.texts["keyDefBase"] = "/elsewhere/other.bin";  // not consulted: the default wins
    auto run = open();
    run->walk.next();
    using namespace KeyFilesIds;
    EXPECT_EQ(run->at(BaseEdit).text, path("userkey.bin"));
    EXPECT_EQ(run->at(ExportEdit).text, path("openuser.okp"));
    EXPECT_EQ(run->at(ImportEdit).text, path("openserv.okp"));
    EXPECT_EQ(run->at(BaseLabel).text, "Имя файла с полным пользовательским ключом");
    EXPECT_EQ(run->at(ImportLabel).text,
              "Имя файла с открытой частью серверного ключа для импорта");
    EXPECT_EQ(run->at(ExportLabel).text,
              "Имя файла с открытой частью пользовательского ключа для эскпорта");
    for (int id : {ImportLabel, ImportEdit, ImportButton, ExportLabel, ExportEdit, ExportButton}) {
        EXPECT_TRUE(run->at(id).visible && run->at(id).enabled) << id;
    }

    // "...": the chosen path goes into the field and the edit, its folder is
    // remembered; a cancelled dialog changes nothing.
    TestSupport::ScriptedFileDialogs& files = run->view.files;
    files.answers = {"/keys/mine.bin", ""};
    run->walk.click(BaseButton);
    ASSERT_EQ(files.requests.size(), 1u);
    EXPECT_FALSE(files.requests[0].forOpening);
    EXPECT_EQ(files.requests[0].title, "Выберите файл для записи");
    ASSERT_EQ(files.requests[0].filters.size(), 2u);
    EXPECT_EQ(files.requests[0].filters[0].description, "Пользовательские ключи (*.bin)");
    EXPECT_EQ(files.requests[0].filters[1].pattern, "*.*");
    EXPECT_EQ(run->at(BaseEdit).text, "/keys/mine.bin");
    EXPECT_EQ(run->wizard.data().baseFile, "/keys/mine.bin");
    EXPECT_EQ(settings.texts["defaultDir"], "/keys/");
    run->walk.click(ImportButton);
    EXPECT_TRUE(files.requests[1].forOpening);
    EXPECT_EQ(files.requests[1].title, "Выберите файл");
    EXPECT_EQ(files.requests[1].filters[0].description, "Открытые части ключей (*.okp)");
    EXPECT_EQ(run->at(ImportEdit).text, path("openserv.okp"));
    EXPECT_EQ(settings.texts["defaultDir"], "/keys/");
}

TEST_F(KeyWizardControllerTest, ServerModesArrangeTheFilesPage) {
    auto run = openAdmin(KeyTypeIds::NewUserServerKey);
    run->walk.next();
    using namespace KeyFilesIds;
    EXPECT_EQ(run->at(BaseLabel).text, "Имя серверной базы ключей");
    EXPECT_EQ(run->at(ImportLabel).text,
              "Имя файла с открытой частью пользовательского ключа для импорта");
    EXPECT_EQ(run->at(ExportLabel).text,
              "Имя файла с открытой частью серверного ключа для эскпорта");
    EXPECT_FALSE(run->at(ImportEdit).visible || run->at(ImportEdit).enabled);
    EXPECT_FALSE(run->at(ImportButton).visible || run->at(ImportLabel).visible);
    EXPECT_TRUE(run->at(ExportEdit).visible && run->at(ExportEdit).enabled);
    EXPECT_EQ(run->at(BaseEdit).text, "");  // no "keyDefBase" stored
    EXPECT_EQ(run->at(ExportEdit).text, path("openserv.okp"));
    EXPECT_EQ(run->at(ImportEdit).text, path("openuser.okp"));  // hidden, still filled
    run->view.files.answers = {""};
    run->walk.click(BaseButton);
    EXPECT_EQ(run->view.files.requests.at(0).filters.at(0).description,
              "Серверные базы ключей (*.key_base)");
    EXPECT_FALSE(run->walk.next());
    EXPECT_EQ(run->lastError(), "Не задано имя файла с приватными ключами!");

    settings.texts["keyDefBase"] = path("server.key_base");
    auto importRun = openAdmin(KeyTypeIds::ImportUserPart);
    importRun->walk.next();
    EXPECT_EQ(importRun->at(BaseEdit).text, path("server.key_base"));
    EXPECT_TRUE(importRun->at(ImportEdit).visible && importRun->at(ImportEdit).enabled);
    EXPECT_FALSE(importRun->at(ExportEdit).visible || importRun->at(ExportEdit).enabled);
    EXPECT_FALSE(importRun->at(ExportButton).visible);
}

TEST_F(KeyWizardControllerTest, FilesPageRefusesEmptyAndEqualNamesInOrder) {
    using namespace KeyFilesIds;
    auto run = open();
    run->walk.next();
    const auto refuses = [&](const char* base, const char* exp, const char* imp) {
        run->type(BaseEdit, base);
        run->type(ExportEdit, exp);
        run->type(ImportEdit, imp);
        const size_t before = run->view.errors().size();
        EXPECT_FALSE(run->walk.next());
        EXPECT_EQ(run->walk.current(), kFiles);
        EXPECT_EQ(run->view.errors().size(), before + 1);  // one message per press
        return run->lastError();
    };
    EXPECT_EQ(refuses("", "", ""), "Не задано имя файла с приватными ключами!");
    EXPECT_EQ(refuses("b", "", ""), "Не задано имя файла экспотра открытых ключей!");
    EXPECT_EQ(refuses("b", "e", ""), "Не задано имя файла импотра открытых ключей!");
    const std::string pair = "Имена файлов с открытыми и\nприватными ключами не должны совпадать!";
    EXPECT_EQ(refuses("b", "b", "b"), pair);
    EXPECT_EQ(refuses("b", "e", "b"), pair);
    EXPECT_EQ(refuses("b", "e", "e"),
              "Имена файлов с импортируемыми и экспотрируемыми\nоткрытыми ключами не должны "
              "совпадать!");
    EXPECT_EQ(settings.texts.count("keyDefBase"), 0u);
}

TEST_F(KeyWizardControllerTest, NewServerKeyFilesPageWarnsAboutAForeignBase) {
    using namespace KeyFilesIds;
    auto run = openAdmin(KeyTypeIds::NewUserServerKey);
    run->walk.next();
    // The hidden import field keeps its default and still takes part.
    run->type(BaseEdit, path("openuser.okp"));
    EXPECT_FALSE(run->walk.next());
    EXPECT_EQ(run->lastError(),
              "Имена файлов с открытыми и\nприватными ключами не должны совпадать!");

    TestSupport::writeText(path("notes.txt"), "not a key base");
    run->type(BaseEdit, path("notes.txt"));
    EXPECT_TRUE(run->walk.next());  // a warning only
    EXPECT_EQ(run->lastError(), "Данный файл не является базой с приватными ключами!");
    EXPECT_EQ(run->walk.current(), kNames);
    EXPECT_EQ(settings.texts["keyDefBase"], path("notes.txt"));
}

TEST_F(KeyWizardControllerTest, ImportModeChecksBaseAndPublicPart) {
    using namespace KeyFilesIds;
    auto run = openAdmin(KeyTypeIds::ImportUserPart);
    run->walk.next();
    run->type(BaseEdit, path("server.key_base"));
    EXPECT_FALSE(run->walk.next());
    EXPECT_EQ(run->lastError(),
              "Файла с приватными ключами не существует\nили файл не является базой с "
              "приватными ключами!");

    KeyBase base;
    ASSERT_TRUE(base.addChannel(TestSupport::ownKeysChannel("srv", "other", true, true)));
    ASSERT_TRUE(base.saveBase(path("server.key_base")));
    EXPECT_FALSE(run->walk.next());
    EXPECT_EQ(run->lastError(),
              "Файла с импортом открытых ключей не существует\nили файл не является базой с "
              "открытыми ключами!");

    // A part from a user the base has no channel for.
    auto userPart = TestSupport::ownKeysChannel("user", "srv", true, true, 512, 1);
    ASSERT_TRUE(writePublicPart(*userPart, path("openuser.okp")));
    EXPECT_FALSE(run->walk.next());
    EXPECT_EQ(run->lastError(),
              "База импорта открытых ключей не соответствует базе\nприватных ключей или такой "
              "полный ключ уже существует!");
    EXPECT_EQ(run->walk.current(), kFiles);
}

// The described message stays as it is; which file failed and why goes
// under it, and only under the message of the step that failed on it.
TEST_F(KeyWizardControllerTest, AFailedFileIsNamedWithItsCause) {
    using namespace KeyFilesIds;
    auto run = openAdmin(KeyTypeIds::ImportUserPart);
    run->walk.next();
    run->type(BaseEdit, path("server.key_base"));
    EXPECT_FALSE(run->walk.next());
    EXPECT_EQ(run->view.messages.back().informative,
              "Файл: " + path("server.key_base") + "\nПричина: нет такого файла или каталога.");

    KeyBase base;
    ASSERT_TRUE(base.addChannel(TestSupport::ownKeysChannel("srv", "other", true, true)));
    ASSERT_TRUE(base.saveBase(path("server.key_base")));
    TestSupport::writeText(path("openuser.okp"), "no public part");
    EXPECT_FALSE(run->walk.next());
    EXPECT_EQ(run->view.messages.back().informative,
              "Файл: " + path("openuser.okp") + "\nПричина: не файл ключей.");

    // A refusal no file caused has nothing under it.
    run->type(ImportEdit, "");
    EXPECT_FALSE(run->walk.next());
    EXPECT_EQ(run->lastError(), "Не задано имя файла импотра открытых ключей!");
    EXPECT_TRUE(run->view.messages.back().informative.empty());

    // The warning about a base another program holds says so.
    auto admin = openAdmin(KeyTypeIds::NewUserServerKey);
    admin->walk.next();
    admin->type(BaseEdit, path("server.key_base"));
    TestSupport::HeldElsewhere other(path("server.key_base"), LOCK_EX);
    ASSERT_TRUE(other.held());
    const TestSupport::ScopedLockWait wait(std::chrono::milliseconds(50));
    EXPECT_TRUE(admin->walk.next());
    EXPECT_EQ(admin->lastError(), "Данный файл не является базой с приватными ключами!");
    EXPECT_EQ(admin->view.messages.back().informative.rfind(
                  "Файл: " + path("server.key_base") + "\nПричина: файл занят другой программой",
                  0),
              0u);
}

// "Отмена" while the keys are generated: the wizard closes without a word
// and nothing is written.
TEST_F(KeyWizardControllerTest, CancelledGenerationWritesNothing) {
    settings.numbers["sing"] = 1;
    settings.numbers["signSize"] = 2048;
    auto run = adminRunToNames(KeyTypeIds::NewUserServerKey, "server.key_base");
    run->type(KeyNamesIds::ServerName, "srv");
    run->type(KeyNamesIds::UserName, "usr");
    ASSERT_TRUE(run->walk.next());
    ASSERT_TRUE(run->walk.next());
    EXPECT_FALSE(run->at(KeySummaryIds::Progress).visible);
    EXPECT_EQ(run->at(KeySummaryIds::ProgressLabel).text, "Генерация ключей...");
    const size_t shown = run->view.messages.size();
    run->view.cancelNextRun = true;
    EXPECT_FALSE(run->walk.finish());
    EXPECT_EQ(run->view.messages.size(), shown);
    EXPECT_TRUE(run->view.backgroundRuns.back().cancellable);
    EXPECT_FALSE(run->at(KeySummaryIds::Progress).visible);
    EXPECT_EQ(TestSupport::listDir(dir.path()), std::vector<std::string>{});
}

TEST_F(KeyWizardControllerTest, UserModeChecksTheServerPart) {
    auto run = open();
    run->walk.next();
    EXPECT_FALSE(run->walk.next());  // no openserv.okp yet
    EXPECT_EQ(run->lastError(),
              "Файла с импортом открытых ключей не существует\nили файл не является базой с "
              "открытыми ключами!");

    // A channel record with private keys in it is no public part.
    {
        auto channel = TestSupport::ownKeysChannel(kCentreCp1251, "user", true, true);
        FileWriter file;
        ASSERT_TRUE(file.create(path("openserv.okp")));
        ASSERT_TRUE(channel->writeChannel(file));
        ASSERT_TRUE(file.close());
    }
    EXPECT_FALSE(run->walk.next());
    EXPECT_EQ(run->lastError(),
              "База импорта открытых ключей не соответствует базе приватных ключей!");

    // The user base already holds this channel.
    writeServerPart(path("openserv.okp"), true, true);
    KeyBase base;
    // (Its own keys are others than the server's.)
    ASSERT_TRUE(
        base.addChannel(TestSupport::completeChannel("user", kCentreCp1251, true, true, 512, 1)));
    ASSERT_TRUE(base.saveBase(path("userkey.bin")));
    EXPECT_FALSE(run->walk.next());
    EXPECT_EQ(run->lastError(),
              "В клиентской базе уже существует секретный канал соответствующий базе импорта "
              "открытых ключей сервера, или неверный формат базы импорта!");

    // The user's own public part offered as the server's: the base holds
    // its keys already, and a line of ours says so.
    auto own = TestSupport::completeChannel("user", "other", true, true, 512, 2);
    ASSERT_TRUE(writePublicPart(*own, path("openserv.okp")));
    ASSERT_TRUE(base.addChannel(std::move(own)));
    ASSERT_TRUE(base.saveBase(path("userkey.bin")));
    EXPECT_FALSE(run->walk.next());
    EXPECT_EQ(run->lastError(),
              "База импорта открытых ключей не соответствует базе приватных ключей!\n"
              "Файл импорта содержит открытые ключи самой этой базы:\n"
              "нужна открытая часть другой стороны.");
    writeServerPart(path("openserv.okp"), true, true);

    std::remove(path("userkey.bin").c_str());
    EXPECT_TRUE(run->walk.next());
    EXPECT_EQ(settings.texts["keyDefBase"], path("userkey.bin"));
    const KeyWizardData& data = run->wizard.data();
    EXPECT_EQ(data.serverKeyName, kCentreCp1251);
    EXPECT_EQ(data.userKeyName, "user");
    EXPECT_TRUE(data.useCrypt && data.useSign);
    EXPECT_EQ(data.cryptSize, 512u);
    // The names come from the part: shown decoded, not editable.
    EXPECT_EQ(run->at(KeyNamesIds::ServerName).text, kCentre);
    EXPECT_FALSE(run->at(KeyNamesIds::ServerName).enabled);
    EXPECT_FALSE(run->at(KeyNamesIds::UserName).enabled);
}

// --- Moving back and forth, and changing the mode -------------------------

TEST_F(KeyWizardControllerTest, TypedNamesSurviveBackButAModeChangeForgetsThem) {
    using namespace KeyFilesIds;
    settings.texts["keyDefServerName"] = "stored";
    auto run = openAdmin(KeyTypeIds::NewUserServerKey);
    run->walk.next();
    run->type(BaseEdit, path("s.key_base"));
    run->type(ExportEdit, path("out.okp"));
    run->walk.back();
    run->choose(KeyTypeIds::NewUserServerKey);  // the same option: nothing forgotten
    run->walk.next();
    EXPECT_EQ(run->at(BaseEdit).text, path("s.key_base"));
    EXPECT_EQ(run->at(ExportEdit).text, path("out.okp"));
    ASSERT_TRUE(run->walk.next());
    EXPECT_EQ(run->at(KeyNamesIds::ServerName).text, "stored");
    EXPECT_TRUE(run->at(KeyNamesIds::ServerName).enabled);
    run->type(KeyNamesIds::ServerName, "typed");
    run->type(KeyNamesIds::UserName, "someone");
    run->walk.back();
    run->walk.next();
    EXPECT_EQ(run->at(KeyNamesIds::ServerName).text, "typed");
    EXPECT_EQ(run->at(KeyNamesIds::UserName).text, "someone");

    run->walk.back();
    run->walk.back();
    run->choose(KeyTypeIds::CreateUserKey);
    EXPECT_EQ(run->wizard.data().baseFile, "");
    EXPECT_EQ(run->wizard.data().serverKeyName, "");
    run->walk.next();
    EXPECT_EQ(run->at(BaseEdit).text, path("userkey.bin"));
    EXPECT_EQ(run->at(ExportEdit).text, path("openuser.okp"));
    run->choose(KeyTypeIds::NewUserServerKey);  // on page 2 this is a stray click
    EXPECT_EQ(run->wizard.data().mode, CreateUserKey);
}

// --- Key names page ----------------------------------------------------------

TEST_F(KeyWizardControllerTest, KeyNamesAreCheckedAndTheServerNameRemembered) {
    using namespace KeyNamesIds;
    auto run = adminRunToNames(KeyTypeIds::NewUserServerKey, "server.key_base");
    EXPECT_EQ(run->view.buttons, unsigned(WizardBack | WizardNext));
    EXPECT_FALSE(run->walk.next());
    EXPECT_EQ(run->lastError(), "Нет названия серверного ключа!");
    EXPECT_EQ(settings.texts.count("keyDefServerName"), 0u);

    run->type(ServerName, kCentre);
    EXPECT_FALSE(run->walk.next());
    EXPECT_EQ(run->lastError(), "Нет названия пользовательского ключа!");
    EXPECT_EQ(settings.texts["keyDefServerName"], kCentre);  // stored before the refusal
    EXPECT_EQ(run->wizard.data().serverKeyName, kCentreCp1251);

    run->type(UserName, kCentre);
    EXPECT_FALSE(run->walk.next());
    EXPECT_EQ(run->lastError(), "Названия ключей не должны совпадать!");
    run->type(UserName, "ЦЕНТР");  // another case is another name; no base yet
    EXPECT_TRUE(run->walk.next());
}

TEST_F(KeyWizardControllerTest, KeyNamesAlreadyInTheServerBaseAreRefused) {
    KeyBase base;
    ASSERT_TRUE(base.addChannel(TestSupport::ownKeysChannel(kCentreCp1251, "user", true, true)));
    ASSERT_TRUE(base.saveBase(path("server.key_base")));
    auto run = adminRunToNames(KeyTypeIds::NewUserServerKey, "server.key_base");
    // Typed in UTF-8, found in the base in Windows-1251.
    run->type(KeyNamesIds::ServerName, kCentre);
    run->type(KeyNamesIds::UserName, "user");
    EXPECT_FALSE(run->walk.next());
    EXPECT_EQ(run->lastError(), "Ключи с такими названиями уже существуют!");
    run->type(KeyNamesIds::UserName, "newcomer");
    EXPECT_TRUE(run->walk.next());
}

TEST_F(KeyWizardControllerTest, BaseEmptiedByDeletionTakesANewChannel) {
    settings.numbers["sing"] = 1;
    KeyBase base;
    ASSERT_TRUE(base.addChannel(TestSupport::ownKeysChannel(kCentreCp1251, "user", false, true)));
    ASSERT_TRUE(base.deleteChannel(kCentreCp1251, "user"));
    ASSERT_TRUE(base.saveBase(path("server.key_base")));

    auto run = adminRunToNames(KeyTypeIds::NewUserServerKey, "server.key_base");
    run->type(KeyNamesIds::ServerName, kCentre);
    run->type(KeyNamesIds::UserName, kIvanov);
    ASSERT_TRUE(run->walk.next()) << run->lastError();
    ASSERT_TRUE(run->walk.next());
    ASSERT_TRUE(run->walk.finish()) << run->lastError();
    ASSERT_TRUE(base.loadBase(path("server.key_base")));
    EXPECT_EQ(base.channelCount(), 1);
    EXPECT_NE(base.findChannel(kCentreCp1251, "\xC8\xE2\xE0\xED\xEE\xE2"), nullptr);
}

TEST_F(KeyWizardControllerTest, NameWithoutWindows1251FormIsRefusedNotAltered) {
    auto run = adminRunToNames(KeyTypeIds::NewUserServerKey, "server.key_base");
    run->type(KeyNamesIds::ServerName, "server");
    run->type(KeyNamesIds::UserName, "用户");
    EXPECT_FALSE(run->walk.next());
    EXPECT_NE(run->lastError().find("用户"), std::string::npos);
    EXPECT_NE(run->lastError().find("Windows-1251"), std::string::npos);
    EXPECT_EQ(run->walk.current(), kNames);
    // Back and forth keeps what the user typed on the page.
    run->walk.back();
    run->walk.next();
    EXPECT_EQ(run->at(KeyNamesIds::UserName).text, "用户");
    EXPECT_FALSE(run->walk.next());
    run->type(KeyNamesIds::UserName, "Пользователь №1");
    EXPECT_TRUE(run->walk.next());
    EXPECT_EQ(run->wizard.data().userKeyName,
              "\xCF\xEE\xEB\xFC\xE7\xEE\xE2\xE0\xF2\xE5\xEB\xFC \xB9\x31");
}

// --- Key parameters page -----------------------------------------------------

class KeyParamsTest : public KeyWizardControllerTest {
protected:
    // A mode-0 run on the key parameters page.
    std::unique_ptr<WizardRun> serverParams() {
        auto run = adminRunToNames(KeyTypeIds::NewUserServerKey, "server.key_base");
        run->type(KeyNamesIds::ServerName, "srv");
        run->type(KeyNamesIds::UserName, "usr");
        EXPECT_TRUE(run->walk.next());
        EXPECT_EQ(run->walk.current(), kParams);
        return run;
    }
};

TEST_F(KeyParamsTest, JavaBoxForcesSigningOnlyInServerMode) {
    using namespace KeyParamsIds;
    settings.numbers["crypt"] = 1;
    settings.numbers["cryptSize"] = 1024;
    auto run = serverParams();
    EXPECT_EQ(run->at(CryptSize).entries,
              (std::vector<std::string>{"512", "768", "1024", "2048", "3072", "4096"}));
    EXPECT_EQ(run->at(SignSize).entries,
              (std::vector<std::string>{"512", "768", "1024", "2048", "3072", "4096"}));
    EXPECT_TRUE(run->at(JavaClient).visible);
    EXPECT_EQ(run->at(JavaClient).text, "Ключ для java-клиентского места (только подпись)");
    EXPECT_TRUE(run->at(UseCrypt).checked);
    EXPECT_EQ(run->at(CryptSize).selection, 2);
    EXPECT_TRUE(run->at(CryptSize).visible && run->at(CryptSizeLabel).visible);
    EXPECT_FALSE(run->at(SignSize).visible || run->at(SignSizeLabel).visible);

    run->toggle(JavaClient);
    EXPECT_FALSE(run->at(UseCrypt).checked);
    EXPECT_FALSE(run->at(UseCrypt).enabled);
    EXPECT_TRUE(run->at(UseSign).checked);
    EXPECT_FALSE(run->at(CryptSize).visible);
    EXPECT_TRUE(run->at(SignSize).visible);
    run->toggle(JavaClient);
    EXPECT_TRUE(run->at(UseCrypt).enabled);
    EXPECT_FALSE(run->at(UseCrypt).checked);

    // Java on, signing cleared by hand: nothing to generate, nothing stored.
    run->toggle(JavaClient);
    run->toggle(UseSign);
    EXPECT_FALSE(run->walk.next());
    EXPECT_EQ(run->lastError(), "Не заданы параметры ключа!");
    EXPECT_EQ(settings.numbers.count("java"), 0u);
    EXPECT_EQ(settings.numbers["cryptSize"], 1024u);
}

TEST_F(KeyParamsTest, FreshSettingsStartAt2048AndStoredSizesShowAsStored) {
    using namespace KeyParamsIds;
    // Stored size -> selected entry; a size never stored (or not offered)
    // shows 2048.
    const std::vector<std::pair<uint32_t, int>> cases = {{512, 0},  {768, 1},  {1024, 2}, {2048, 3},
                                                         {3072, 4}, {4096, 5}, {1536, 3}};
    for (const auto& [stored, index] : cases) {
        SCOPED_TRACE(stored);
        settings.numbers["crypt"] = 1;
        settings.numbers["cryptSize"] = stored;
        settings.numbers["sing"] = 1;
        settings.numbers["signSize"] = stored;
        auto run = serverParams();
        EXPECT_EQ(run->at(CryptSize).selection, index);
        EXPECT_EQ(run->at(SignSize).selection, index);
        EXPECT_EQ(run->at(SignSize).entries.size(), 6u);  // no extra entry in this mode
    }
    for (const char* name : {"crypt", "cryptSize", "sing", "signSize"})
        settings.numbers.erase(name);
    auto fresh = serverParams();
    EXPECT_FALSE(fresh->at(UseCrypt).checked || fresh->at(UseSign).checked);
    fresh->toggle(UseCrypt);
    fresh->toggle(UseSign);
    EXPECT_EQ(fresh->at(CryptSize).selection, 3);
    EXPECT_EQ(fresh->at(SignSize).selection, 3);
    ASSERT_TRUE(fresh->walk.next());
    EXPECT_EQ(settings.numbers["cryptSize"], 2048u);
    EXPECT_EQ(settings.numbers["signSize"], 2048u);
}

TEST_F(KeyParamsTest, StoredParametersAreShownAndStoredBack) {
    using namespace KeyParamsIds;
    settings.numbers["crypt"] = 0;
    settings.numbers["cryptSize"] = 1024;
    settings.numbers["sing"] = 1;
    settings.numbers["signSize"] = 4096;
    auto run = serverParams();
    EXPECT_FALSE(run->at(UseCrypt).checked);
    EXPECT_FALSE(run->at(CryptSize).visible);
    EXPECT_EQ(run->at(CryptSize).selection, 3);  // the box is clear: the default
    EXPECT_EQ(run->at(SignSize).selection, 5);

    // Changes left with Back are replaced by the stored values on return.
    run->toggle(UseCrypt);
    run->walk.back();
    EXPECT_EQ(run->wizard.data().cryptSize, 2048u);  // read when the page was left
    EXPECT_EQ(run->wizard.data().signSize, 4096u);
    run->walk.next();
    EXPECT_FALSE(run->at(UseCrypt).checked);

    run->toggle(UseCrypt);
    EXPECT_TRUE(run->at(CryptSize).visible);
    EXPECT_EQ(run->at(CryptSize).selection, 3);
    run->at(CryptSize).selection = 0;
    run->at(SignSize).selection = 1;
    ASSERT_TRUE(run->walk.next());
    EXPECT_EQ(settings.numbers["crypt"], 1u);
    EXPECT_EQ(settings.numbers["cryptSize"], 512u);
    EXPECT_EQ(settings.numbers["sing"], 1u);
    EXPECT_EQ(settings.numbers["signSize"], 768u);
    EXPECT_EQ(settings.numbers["java"], 0u);

    // A cleared box stores its size as 0 whatever the list shows.
    run->walk.back();
    run->at(CryptSize).selection = 2;
    run->toggle(UseCrypt);
    ASSERT_TRUE(run->walk.next());
    EXPECT_EQ(settings.numbers["crypt"], 0u);
    EXPECT_EQ(settings.numbers["cryptSize"], 0u);
    EXPECT_EQ(run->wizard.data().cryptSize, 0u);
}

TEST_F(KeyParamsTest, ImportedParametersAreShownButNotChangeable) {
    using namespace KeyParamsIds;
    writeServerPart(path("openserv.okp"), false, true);  // signs only
    auto run = userRunToNames();
    ASSERT_TRUE(run->walk.next());
    EXPECT_FALSE(run->at(UseCrypt).checked);
    EXPECT_TRUE(run->at(UseSign).checked);
    EXPECT_TRUE(run->at(JavaClient).visible);
    EXPECT_TRUE(run->at(JavaClient).enabled);
    EXPECT_EQ(run->at(JavaClient).text, "Создать файл пользовательского ключа в \"Java\" формате");
    for (int id : {UseCrypt, UseSign, CryptSizeLabel, SignSizeLabel, CryptSize, SignSize}) {
        EXPECT_FALSE(run->at(id).enabled) << id;
    }
    run->toggle(JavaClient);
    ASSERT_TRUE(run->walk.next());
    EXPECT_TRUE(run->wizard.data().javaClient);
    EXPECT_EQ(run->wizard.data().signSize, 512u);
    EXPECT_EQ(settings.numbers.count("sing"), 0u);  // nothing stored outside mode 0

    // An imported key that encrypts gets no Java file.
    writeServerPart(path("openserv2.okp"), true, true);
    auto second = open();
    second->walk.next();
    second->type(KeyFilesIds::ImportEdit, path("openserv2.okp"));
    ASSERT_TRUE(second->walk.next());
    second->walk.next();
    second->view.at(kParams, JavaClient).checked = true;  // left over from elsewhere
    second->walk.back();
    second->walk.next();
    EXPECT_FALSE(second->at(JavaClient).visible);
    EXPECT_FALSE(second->at(JavaClient).checked);
    second->walk.next();
    EXPECT_FALSE(second->wizard.data().javaClient);
}

TEST_F(KeyParamsTest, ImportModeHidesTheJavaBox) {
    using namespace KeyParamsIds;
    // Server base with the channel the user part completes.
    KeyBase base;
    ASSERT_TRUE(base.addChannel(TestSupport::ownKeysChannel("srv", "usr", false, true)));
    ASSERT_TRUE(base.saveBase(path("server.key_base")));
    auto part = TestSupport::ownKeysChannel("usr", "srv", false, true, 512, 1);
    ASSERT_TRUE(writePublicPart(*part, path("openuser.okp")));
    auto run = adminRunToNames(KeyTypeIds::ImportUserPart, "server.key_base");
    EXPECT_EQ(run->at(KeyNamesIds::ServerName).text, "srv");
    EXPECT_EQ(run->at(KeyNamesIds::UserName).text, "usr");
    ASSERT_TRUE(run->walk.next());
    EXPECT_FALSE(run->at(JavaClient).visible);
    EXPECT_FALSE(run->at(JavaClient).checked);
    for (int id : {UseCrypt, UseSign, CryptSizeLabel, SignSizeLabel, CryptSize, SignSize}) {
        EXPECT_FALSE(run->at(id).enabled) << id;
    }
}

TEST_F(KeyParamsTest, ImportedSizeOutsideTheListIsKept) {
    using namespace KeyParamsIds;
    settings.numbers["adminMode"] = 1;
    writeServerPart(path("openserv.okp"), true, false, 640);
    auto run = userRunToNames();
    ASSERT_TRUE(run->walk.next());
    EXPECT_EQ(run->at(CryptSize).entries,
              (std::vector<std::string>{"512", "768", "1024", "2048", "3072", "4096", "640"}));
    EXPECT_EQ(run->at(CryptSize).selection, 6);
    ASSERT_TRUE(run->walk.next());
    EXPECT_EQ(run->wizard.data().cryptSize, 640u);

    // Back to mode 0 (administrator): the extra entry is gone again.
    run->walk.back();
    run->walk.back();
    run->walk.back();
    run->walk.back();
    run->choose(KeyTypeIds::NewUserServerKey);
    run->walk.next();
    run->type(KeyFilesIds::BaseEdit, path("s.key_base"));
    ASSERT_TRUE(run->walk.next());
    run->type(KeyNamesIds::ServerName, "a");
    run->type(KeyNamesIds::UserName, "b");
    ASSERT_TRUE(run->walk.next());
    EXPECT_EQ(run->at(CryptSize).entries.size(), 6u);
    EXPECT_TRUE(run->at(UseSign).enabled);  // greyed by the import mode before
    EXPECT_TRUE(run->at(SignSize).enabled);
}

// --- Summary and Finish ------------------------------------------------------

TEST_F(KeyWizardControllerTest, SummaryOfAUserRunWithAndWithoutJava) {
    writeServerPart(path("openserv.okp"), false, true);
    auto run = userRunToNames();
    run->walk.next();
    run->walk.next();
    EXPECT_EQ(run->view.buttons, unsigned(WizardBack | WizardFinish));
    const std::string namesAndSizes =
        "\r\nИмя сервера:    \tЦентр\r\n"
        "Имя клиента:    \tuser\r\n"
        "\r\nКодирование:    \t0 bit\r\n"
        "Подпись:   \t\t512 bit\r\n";
    EXPECT_EQ(run->at(KeySummaryIds::Summary).text,
              filesSummary(path("userkey.bin"), "", path("openserv.okp"), path("openuser.okp")) +
                  namesAndSizes + fingerprintSummary(path("openserv.okp")));
    run->walk.back();
    run->toggle(KeyParamsIds::JavaClient);
    run->walk.next();
    EXPECT_EQ(run->at(KeySummaryIds::Summary).text,
              filesSummary(path("userkey.bin"), path("javaclient.bin"), path("openserv.okp"),
                           path("openuser.okp")) +
                  namesAndSizes + fingerprintSummary(path("openserv.okp")));

    ASSERT_TRUE(run->walk.finish());
    ASSERT_EQ(run->view.messages.size(), 1u);
    EXPECT_EQ(run->view.messages[0].icon, MessageIcon::Information);
    EXPECT_EQ(run->view.messages[0].text,
              "Файлы \"" + path("userkey.bin") +
                  "\" и \"javaclient.bin\" успешно созданы.\nФайл \"" + path("openuser.okp") +
                  "\" с открытой частью пользовательского ключа успешно создан,\nего необходимо "
                  "отправить в центр.");
    EXPECT_EQ(run->view.messages[0].busyDepth, 1);
    EXPECT_EQ(run->view.busyDepth, 0);
    EXPECT_TRUE(TestSupport::exists(path("javaclient.bin")));
    // The key files were read and the keys made away from the window, under
    // the wait cursor; only the generation can be cancelled.
    ASSERT_GE(run->view.backgroundRuns.size(), 2u);
    for (const auto& background : run->view.backgroundRuns) {
        EXPECT_EQ(background.waitDepth, 1);
    }
    EXPECT_FALSE(run->view.backgroundRuns.front().cancellable);
    EXPECT_TRUE(run->view.backgroundRuns.back().cancellable);
}

TEST_F(KeyWizardControllerTest, WholeKeyExchangeThroughThreeRuns) {
    settings.numbers["crypt"] = 1;
    settings.numbers["sing"] = 1;
    settings.numbers["cryptSize"] = 512;
    settings.numbers["signSize"] = 512;
    // 1. The administrator makes the server key for a new user.
    {
        auto run = adminRunToNames(KeyTypeIds::NewUserServerKey, "server.key_base");
        run->type(KeyNamesIds::ServerName, kCentre);
        run->type(KeyNamesIds::UserName, kIvanov);
        ASSERT_TRUE(run->walk.next());
        ASSERT_TRUE(run->walk.next());
        EXPECT_EQ(
            run->at(KeySummaryIds::Summary).text,
            filesSummary(path("server.key_base"), "", path("openuser.okp"), path("openserv.okp")) +
                "\r\nИмя сервера:    \tЦентр\r\n"
                "Имя клиента:    \tИванов\r\n"
                "\r\nКодирование:    \t512 bit\r\n"
                "Подпись:   \t\t512 bit\r\n");
        ASSERT_TRUE(run->walk.finish()) << run->lastError();
        EXPECT_EQ(run->view.messages.back().text,
                  "Серверный приватный ключ создан.\nФайл \"" + path("openserv.okp") +
                      "\" с открытой частью серверного ключа успешно создан.\nЕго необходимо "
                      "отправить пользователю.");
    }
    // 2. The user makes his full key from the server's part.
    {
        auto run = open();
        run->walk.next();
        ASSERT_TRUE(run->walk.next()) << run->lastError();
        EXPECT_EQ(run->at(KeyNamesIds::ServerName).text, kCentre);
        EXPECT_EQ(run->at(KeyNamesIds::UserName).text, kIvanov);
        ASSERT_TRUE(run->walk.next());
        ASSERT_TRUE(run->walk.next());
        ASSERT_TRUE(run->walk.finish()) << run->lastError();
        EXPECT_EQ(run->view.messages.back().text,
                  "Файл \"" + path("userkey.bin") + "\" успешно создан.\nФайл \"" +
                      path("openuser.okp") +
                      "\" с открытой частью пользовательского ключа успешно создан,\nего "
                      "необходимо отправить в центр.");
        EXPECT_FALSE(TestSupport::exists(path("javaclient.bin")));
    }
    // 3. The administrator completes the server's channel with the user's part.
    {
        auto run = adminRunToNames(KeyTypeIds::ImportUserPart, "server.key_base");
        ASSERT_TRUE(run->walk.next());
        ASSERT_TRUE(run->walk.next());
        const std::string summary = run->at(KeySummaryIds::Summary).text;
        EXPECT_EQ(summary.substr(summary.find("\r\nОтпечатки")),
                  fingerprintSummary(path("openuser.okp")));
        EXPECT_NE(summary.find("Кодирование:\r\n  SHA256:"), std::string::npos);
        ASSERT_TRUE(run->walk.finish()) << run->lastError();
        EXPECT_EQ(run->view.messages.back().text,
                  "Открытая часть пользовательского ключа успешно\nимпортирована в серверную "
                  "базу ключей.\nЕе необходимо обновить на криптосервере с помощью\nкнопки "
                  "\"Соединиться\" раздела \"Криптосервер\".");
    }
    const std::string ivanovCp1251 = "\xC8\xE2\xE0\xED\xEE\xE2";
    KeyBase server;
    ASSERT_TRUE(server.loadBase(path("server.key_base")));
    SecureChannel* serverSide = server.findChannel(kCentreCp1251, ivanovCp1251);
    ASSERT_NE(serverSide, nullptr);
    EXPECT_TRUE(serverSide->hasCryptPublic && serverSide->hasSignPublic);
    KeyBase user;
    ASSERT_TRUE(user.loadBase(path("userkey.bin")));
    SecureChannel* userSide = user.findChannel(ivanovCp1251, kCentreCp1251);
    ASSERT_NE(userSide, nullptr);
    EXPECT_EQ(userSide->cryptSize, 512u);
    // Finish stores nothing; the remembered values are those of the Next presses.
    EXPECT_EQ(settings.texts["keyDefBase"], path("server.key_base"));
    EXPECT_EQ(settings.texts["keyDefServerName"], kCentre);
}

TEST_F(KeyWizardControllerTest, FailedFinishStaysAndCanBeRepeated) {
    settings.numbers["sing"] = 1;
    TestSupport::writeText(path("notes.txt"), "not a key base");
    auto run = adminRunToNames(KeyTypeIds::NewUserServerKey, "notes.txt");
    run->type(KeyNamesIds::ServerName, "srv");
    run->type(KeyNamesIds::UserName, "usr");
    // The base exists, so the names are checked against it; a foreign file
    // cannot show its names as free.
    EXPECT_FALSE(run->walk.next());
    EXPECT_EQ(run->lastError(), "Ключи с такими названиями уже существуют!");

    // With a base that does not exist yet the run gets to Finish; the base
    // then turns into a foreign file before the user presses Finish.
    run->walk.back();
    run->type(KeyFilesIds::BaseEdit, path("server.key_base"));
    ASSERT_TRUE(run->walk.next());
    ASSERT_TRUE(run->walk.next());
    ASSERT_TRUE(run->walk.next());
    TestSupport::writeText(path("server.key_base"), "not a key base");
    const int busyBefore = run->view.busyBegun;
    for (int attempt = 0; attempt < 2; ++attempt) {
        const size_t before = run->view.messages.size();
        EXPECT_FALSE(run->walk.finish());
        ASSERT_EQ(run->view.messages.size(), before + 1);
        EXPECT_EQ(run->view.messages.back().text, "Ошибка выполненния операции!");
        EXPECT_EQ(run->view.messages.back().icon, MessageIcon::Error);
        EXPECT_EQ(run->view.messages.back().busyDepth, 1);
        EXPECT_EQ(run->view.busyDepth, 0);
    }
    EXPECT_EQ(run->view.busyBegun - busyBefore, 2);
    EXPECT_FALSE(TestSupport::exists(path("openserv.okp")));
    EXPECT_EQ(TestSupport::readText(path("server.key_base")), "not a key base");
}

// A path is taken whole, however long the platform allows it to be: the
// key goes to the file named, not to one under a cut name.
TEST_F(KeyWizardControllerTest, LongPathsAreTakenWholeOrRefused) {
    settings.numbers["sing"] = 1;
    std::string folder;
    for (int i = 0; i < 3; ++i) folder += std::string(200, char('a' + i)) + "/";
    ASSERT_EQ(system(("mkdir -p '" + path(folder) + "'").c_str()), 0);
    const std::string base = folder + "server.key_base";
    ASSERT_GT(path(base).size(), 600u);
    {
        auto run = adminRunToNames(KeyTypeIds::NewUserServerKey, base);
        run->type(KeyNamesIds::ServerName, "srv");
        run->type(KeyNamesIds::UserName, "usr");
        ASSERT_TRUE(run->walk.next());
        ASSERT_TRUE(run->walk.next());
        ASSERT_TRUE(run->walk.finish()) << run->lastError();
    }
    KeyBase made;
    EXPECT_TRUE(made.loadBase(path(base)));

    auto run = openAdmin(KeyTypeIds::NewUserServerKey);
    run->walk.next();
    run->type(KeyFilesIds::BaseEdit, "/" + std::string(4095, 'x'));
    EXPECT_FALSE(run->walk.next());
    EXPECT_EQ(run->lastError(), KeyMessages::PathTooLong);
}

// The Java client's file goes to the default folder; when that is where the
// user's base is, Finish refuses instead of replacing the base.
TEST_F(KeyWizardControllerTest, JavaFileNeverReplacesTheBase) {
    writeServerPart(path("openserv.okp"), false, true);
    auto run = open();
    run->walk.next();
    run->type(KeyFilesIds::BaseEdit, path("javaclient.bin"));
    ASSERT_TRUE(run->walk.next()) << run->lastError();
    ASSERT_TRUE(run->walk.next());
    run->toggle(KeyParamsIds::JavaClient);
    ASSERT_TRUE(run->walk.next());
    EXPECT_FALSE(run->walk.finish());
    EXPECT_EQ(run->lastError(), KeyMessages::PublicEqualsPrivate);
    EXPECT_FALSE(TestSupport::exists(path("javaclient.bin")));
    EXPECT_FALSE(TestSupport::exists(path("openuser.okp")));
}

}  // namespace
