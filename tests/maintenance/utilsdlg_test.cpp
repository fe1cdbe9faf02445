// The key maintenance logic against a scripted view, on real key files.

#include "maintenance/utilsdlg.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "gui/settingsstore.h"
#include "keystore/cp1251.h"
#include "fileio/filelock.h"
#include "keystore/fingerprint.h"
#include "keystore/keybase.h"
#include "keystore/keyops.h"
#include "keystore/secureexception.h"
#include "support/memorysettingsstore.h"
#include "support/scriptedutilsview.h"
#include "support/lockwait.h"
#include "support/tempdir.h"
#include "support/testkeys.h"

namespace {

using namespace Talvek;
using TestSupport::completeChannel;
using TestSupport::ownKeysChannel;
using TestSupport::ScriptedFileDialogs;
using TestSupport::ScriptedUtilsView;

const char* const kOpenFailed = "Ошибка открытия базы ключей!";
const char* const kJavaRefusesCrypt =
    "Секретный канал содержит ключи кодирования.\nДля \"Java\" канала должна "
    "присутствовать\nтолько подпись!";

std::string cp1251(const std::string& utf8) {
    std::string out;
    if (!utf8ToCp1251(utf8, out)) throw std::logic_error("not encodable: " + utf8);
    return out;
}

// Runs each test in its own folder, which also holds the report template the
// export looks for in the current directory.
class UtilsDlgTest : public ::testing::Test {
protected:
    void SetUp() override {
        char cwd[4096];
        ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
        oldCwd_ = cwd;
        ASSERT_EQ(chdir(dir.path().c_str()), 0);
        TestSupport::writeText(dir.file("template.htmt"),
                               "<html><body>#LOCAL# -> #REMOTE# #CRYPT#/#SIGN#</body></html>");
        basePath = dir.file("server.key_base");
    }
    void TearDown() override { ASSERT_EQ(chdir(oldCwd_.c_str()), 0); }

    template <typename... Channels>
    void saveBase(const std::string& path, Channels... channels) {
        std::unique_ptr<SecureChannel> list[] = {std::move(channels)...};
        KeyBase base;
        for (auto& c : list) ASSERT_TRUE(base.addChannel(std::move(c)));
        ASSERT_TRUE(base.saveBase(path));
    }

    std::unique_ptr<UtilsDlg> openDialog(const std::string& path) {
        auto dlg = std::make_unique<UtilsDlg>(path, view, settings);
        dlg->open();
        return dlg;
    }

    // Saves the channels as the base at basePath and opens the dialog on it.
    template <typename... Channels>
    std::unique_ptr<UtilsDlg> openBase(Channels... channels) {
        saveBase(basePath, std::move(channels)...);
        return openDialog(basePath);
    }

    // Expands every channel item as the user would, which builds its rows.
    void expandChannels(UtilsDlg& dlg) {
        for (TreeItem child : view.item(dlg.rootItem()).children) dlg.onItemExpanding(child);
    }

    // Selects the channel item with this shown text under the root.
    void selectChannel(UtilsDlg& dlg, const std::string& shownText) {
        for (TreeItem child : view.item(dlg.rootItem()).children) {
            if (view.item(child).text == shownText) {
                dlg.onSelectionChanged(child);
                return;
            }
        }
        FAIL() << "no channel item " << shownText;
    }

    std::vector<std::string> messageTexts() const {
        std::vector<std::string> out;
        for (const auto& m : view.messages) out.push_back(m.text);
        return out;
    }

    TestSupport::TempDir dir;
    std::string basePath;
    ScriptedUtilsView view;
    ScriptedFileDialogs& files = view.files;
    TestSupport::MemorySettingsStore settings;

private:
    std::string oldCwd_;
};

TEST_F(UtilsDlgTest, KeyBaseShowsEveryChannelWithItsGroupsInBaseOrder) {
    auto dlg = openBase(completeChannel("server", "zed", true, true, 512, 0),
                        ownKeysChannel("server", "anna", true, false, 512, 1),
                        completeChannel("alpha", "server", false, true, 512, 2));
    EXPECT_TRUE(view.endCodes.empty());
    EXPECT_EQ(view.imageListBuilt, 1);
    EXPECT_EQ(dlg->fileKind(), UtilsDlg::FileKind::KeyBase);
    EXPECT_EQ(view.kindText, "База полных и приватных ключей.\n3 секретных каналов.");
    EXPECT_FALSE(view.anyActionEnabled());

    ASSERT_EQ(view.top.size(), 1u);
    const TreeItem root = view.top[0];
    EXPECT_EQ(view.item(root).text, basePath);
    EXPECT_EQ(view.item(root).image, ImageKeyBase);
    EXPECT_TRUE(view.item(root).expanded);
    // By local name, then remote name.
    EXPECT_EQ(view.childTexts(root),
              (std::vector<std::string>{"alpha : server", "server : anna", "server : zed"}));

    // The tree is built with redrawing suspended.
    EXPECT_EQ(view.insertsWhileDrawing, 0);
    // Only the channel items are built; each one's rows come when it is
    // first expanded, and only once.
    for (TreeItem channel : view.item(root).children) {
        EXPECT_TRUE(view.item(channel).onDemand);
        EXPECT_TRUE(view.item(channel).children.empty());
    }
    expandChannels(*dlg);
    expandChannels(*dlg);
    dlg->onItemExpanding(root);
    EXPECT_EQ(view.childTexts(root).size(), 3u);

    // Complete, both uses.
    const TreeItem zed = view.at({0, 2});
    EXPECT_EQ(view.item(zed).image, ImageChannel);
    EXPECT_FALSE(view.item(zed).expanded);
    EXPECT_EQ(view.childTexts(zed),
              (std::vector<std::string>{"Имя локального ключа: server", "Имя удаленного ключа: zed",
                                        "Кодирование", "Подпись"}));
    EXPECT_EQ(view.item(view.at({0, 2, 0})).image, ImageLocalName);
    EXPECT_EQ(view.item(view.at({0, 2, 1})).image, ImageRemoteName);
    EXPECT_EQ(view.item(view.at({0, 2, 2})).image, ImageCryptComplete);
    EXPECT_EQ(view.item(view.at({0, 2, 3})).image, ImageSignComplete);
    EXPECT_EQ(view.childTexts(view.at({0, 2, 2})),
              (std::vector<std::string>{"Размер ключа: 512", "Приватная часть ключа",
                                        "Открытая часть ключа"}));
    for (size_t i = 0; i < 3; ++i) EXPECT_EQ(view.item(view.at({0, 2, 3, i})).image, ImageNone);
    // Key part items name their key's fingerprint; the others have no tip.
    KeyBase base;
    ASSERT_TRUE(base.loadBase(basePath));
    const SecureChannel* source = base.findChannel("server", "zed");
    EXPECT_EQ(view.item(view.at({0, 2, 2, 1})).toolTip,
              "Отпечаток: " + publicKeyFingerprint(*source->cryptPrivateKey));
    EXPECT_EQ(view.item(view.at({0, 2, 3, 2})).toolTip,
              "Отпечаток: " + publicKeyFingerprint(*source->signPublicKey));
    EXPECT_NE(view.item(view.at({0, 2, 3, 1})).toolTip, view.item(view.at({0, 2, 3, 2})).toolTip);
    EXPECT_EQ(view.item(view.at({0, 2, 2, 0})).toolTip, "");
    EXPECT_EQ(view.item(zed).toolTip, "");
    // What "Копировать отпечаток" copies: the fingerprint the tip names,
    // without its label; nothing for an item without one.
    for (const auto& [handle, item] : view.items) {
        const std::string fingerprint = dlg->fingerprintOf(handle);
        EXPECT_EQ(item.toolTip, fingerprint.empty() ? "" : "Отпечаток: " + fingerprint);
    }
    EXPECT_EQ(dlg->fingerprintOf(view.at({0, 2, 3, 2})),
              publicKeyFingerprint(*source->signPublicKey));
    EXPECT_EQ(dlg->fingerprintOf(NoTreeItem), "");

    // Own keys only, encryption only: incomplete group, no public item.
    const TreeItem anna = view.at({0, 1});
    EXPECT_EQ(view.childTexts(anna).size(), 3u);
    EXPECT_EQ(view.item(view.at({0, 1, 2})).image, ImageCryptIncomplete);
    EXPECT_EQ(view.childTexts(view.at({0, 1, 2})),
              (std::vector<std::string>{"Размер ключа: 512", "Приватная часть ключа"}));

    // Signature only.
    EXPECT_EQ(view.item(view.at({0, 0, 2})).text, "Подпись");
    EXPECT_EQ(view.item(view.at({0, 0, 2})).image, ImageSignComplete);

    // The wait cursor is shown while loading and taken away afterwards.
    EXPECT_EQ(view.redrawCalls, (std::vector<bool>{false, true}));
    EXPECT_EQ(view.busyCalls, (std::vector<bool>{true, false}));
}

TEST_F(UtilsDlgTest, PublicPartFileIsShownRefusedForDeleteAndJavaButExports) {
    const std::string okp = dir.file("openserv.okp");
    ASSERT_TRUE(writePublicPart(*ownKeysChannel("server", "user", true, true), okp));

    auto dlg = openDialog(okp);
    EXPECT_EQ(dlg->fileKind(), UtilsDlg::FileKind::PublicPart);
    EXPECT_EQ(view.kindText, "База импорта/экспорта открытых ключей.");
    const TreeItem root = view.top.at(0);
    EXPECT_EQ(view.item(root).image, ImagePublicPartFile);
    EXPECT_EQ(view.childTexts(root), (std::vector<std::string>{"server : user"}));
    expandChannels(*dlg);
    EXPECT_EQ(view.item(view.at({0, 0, 2})).image, ImageCryptIncomplete);
    EXPECT_EQ(view.item(view.at({0, 0, 3})).image, ImageSignIncomplete);
    EXPECT_EQ(view.childTexts(view.at({0, 0, 2})),
              (std::vector<std::string>{"Размер ключа: 512", "Открытая часть ключа"}));
    EXPECT_EQ(view.childTexts(view.at({0, 0, 3})),
              (std::vector<std::string>{"Размер ключа: 512", "Открытая часть ключа"}));

    const auto before = TestSupport::readBytes(okp);
    selectChannel(*dlg, "server : user");
    EXPECT_TRUE(view.enabled(UtilsCommand::Delete) && view.enabled(UtilsCommand::Export) &&
                view.enabled(UtilsCommand::Java));

    dlg->onCommand(UtilsCommand::Delete);
    ASSERT_EQ(view.messages.size(), 1u);
    EXPECT_EQ(view.messages[0].text, "Нельзя удалять каналы из баз импорта/экспорта");
    EXPECT_EQ(view.messages[0].title, "Информация");
    EXPECT_EQ(view.messages[0].icon, MessageIcon::Information);

    dlg->onCommand(UtilsCommand::Java);
    ASSERT_EQ(view.messages.size(), 2u);
    EXPECT_EQ(view.messages[1].text, kJavaRefusesCrypt);
    EXPECT_TRUE(files.requests.empty());

    const std::string report = dir.file("report.html");
    files.answers.push_back(report);
    view.answers.push_back(false);
    dlg->onCommand(UtilsCommand::Export);
    ASSERT_EQ(view.messages.size(), 3u);
    EXPECT_EQ(view.messages[2].title, "Информация");
    EXPECT_TRUE(view.messages[2].yesNo);
    EXPECT_EQ(TestSupport::readText(report),
              "<html><body>server -> user " + cp1251("Да") + "/" + cp1251("Да") + "</body></html>");
    EXPECT_TRUE(view.opened.empty());
    EXPECT_EQ(TestSupport::readBytes(okp), before);
    EXPECT_EQ(dlg->selectedLocalName(), "server");
}

TEST_F(UtilsDlgTest, SignOnlyPublicPartIsRefusedAsIncompleteForJava) {
    const std::string okp = dir.file("openuser.okp");
    ASSERT_TRUE(writePublicPart(*ownKeysChannel("user", "server", false, true), okp));
    auto dlg = openDialog(okp);
    selectChannel(*dlg, "user : server");
    dlg->onCommand(UtilsCommand::Java);
    ASSERT_EQ(view.messages.size(), 1u);
    EXPECT_EQ(view.messages[0].text,
              "Секретный канал содержит только приватные ключи\nили только открытые "
              "ключи.\nДля \"Java\" канала допускаются только полные ключи!");
    EXPECT_TRUE(files.requests.empty());
}

TEST_F(UtilsDlgTest, IncompleteChannelAsksTheLongQuestionAndNoChangesNothing) {
    auto dlg = openBase(ownKeysChannel("server", "user", true, true));
    selectChannel(*dlg, "server : user");
    const auto before = TestSupport::readBytes(basePath);

    view.answers.push_back(false);
    dlg->onCommand(UtilsCommand::Delete);
    ASSERT_EQ(view.messages.size(), 1u);
    EXPECT_EQ(view.messages[0].text,
              "Этот кананл содержит только приватные ключи.\nВы уверены, что хотите удалить "
              "секретный\nканал \"server : user\"?");
    EXPECT_EQ(view.messages[0].title, "Вопрос");
    EXPECT_EQ(view.messages[0].icon, MessageIcon::Question);
    EXPECT_TRUE(view.messages[0].yesNo);
    EXPECT_EQ(TestSupport::readBytes(basePath), before);
    EXPECT_EQ(dlg->selectedLocalName(), "server");
    EXPECT_EQ(dlg->selectedRemoteName(), "user");
    EXPECT_TRUE(view.enabled(UtilsCommand::Delete));

    // Uses encryption: refused at the first Java check.
    dlg->onCommand(UtilsCommand::Java);
    ASSERT_EQ(view.messages.size(), 2u);
    EXPECT_EQ(view.messages[1].text, kJavaRefusesCrypt);
}

TEST_F(UtilsDlgTest, CompleteEncryptionChannelIsDeletedAfterThePlainQuestion) {
    auto dlg = openBase(completeChannel("server", "anna", true, false, 512, 0),
                        completeChannel("server", "boris", true, true, 512, 1));
    selectChannel(*dlg, "server : anna");

    view.answers.push_back(true);
    dlg->onCommand(UtilsCommand::Delete);
    EXPECT_EQ(messageTexts(),
              (std::vector<std::string>{
                  "Вы уверены, что хотите удалить секретный канал \"server : anna\"?",
                  "Канал успешно удален!"}));
    // Enter alone never deletes.
    EXPECT_EQ(view.messages[0].defaultAnswer, DefaultAnswer::No);
    EXPECT_EQ(view.messages[1].title, "Информация");
    EXPECT_TRUE(view.messages[1].informative.empty());

    KeyBase onDisk;
    ASSERT_TRUE(onDisk.loadBase(basePath));
    EXPECT_EQ(onDisk.findChannel("server", "anna"), nullptr);
    EXPECT_NE(onDisk.findChannel("server", "boris"), nullptr);

    // Reloaded: one channel left, nothing selected.
    EXPECT_EQ(view.kindText, "База полных и приватных ключей.\n1 секретных каналов.");
    EXPECT_EQ(view.childTexts(dlg->rootItem()), (std::vector<std::string>{"server : boris"}));
    EXPECT_FALSE(view.anyActionEnabled());
    EXPECT_TRUE(dlg->selectedLocalName().empty());
    EXPECT_EQ(dlg->findSelectedChannel(), nullptr);
}

TEST_F(UtilsDlgTest, DeletingTheLastChannelShowsAnEmptyBase) {
    auto dlg = openBase(completeChannel("server", "user", false, true));
    selectChannel(*dlg, "server : user");

    view.answers.push_back(true);
    dlg->onCommand(UtilsCommand::Delete);
    EXPECT_EQ(messageTexts().back(), "Канал успешно удален!");
    EXPECT_TRUE(view.top.empty());
    EXPECT_EQ(dlg->rootItem(), NoTreeItem);
    EXPECT_EQ(view.kindText, "База полных и приватных ключей.\n0 секретных каналов.");
    EXPECT_FALSE(view.anyActionEnabled());
    EXPECT_TRUE(view.endCodes.empty());

    // The same empty base opened afresh is still refused.
    ScriptedUtilsView fresh;
    UtilsDlg again(basePath, fresh, settings);
    EXPECT_FALSE(again.open());
    EXPECT_EQ(fresh.messages.at(0).text, kOpenFailed);
    EXPECT_EQ(fresh.endCodes, (std::vector<int>{0}));
}

TEST_F(UtilsDlgTest, FilesThatDoNotLoadAreReportedAndEndTheDialog) {
    const std::string garbage = dir.file("notes.txt");
    TestSupport::writeText(garbage, "just some text that is no key file");
    const std::string locked = dir.file("locked.key_base");
    saveBase(locked, completeChannel("a", "b", true, false));
    const int fd = ::open(locked.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0);
    const TestSupport::ScopedLockWait wait(std::chrono::milliseconds(50));

    const std::string empty = dir.file("empty.key_base");
    {
        saveBase(empty, completeChannel("a", "b", true, false));
        ASSERT_TRUE(removeChannel(empty, "a", "b"));
    }
    // The described text stays the message; the file and the cause go under it.
    const std::pair<std::string, std::string> cases[] = {
        {garbage, "не файл ключей"},
        {dir.file("missing.bin"), "нет такого файла или каталога"},
        {dir.path(), "это каталог"},
        {locked, "файл занят другой программой"},
        {empty, "база ключей без каналов"},
    };
    for (const auto& [path, cause] : cases) {
        SCOPED_TRACE(path);
        ScriptedUtilsView v;
        UtilsDlg dlg(path, v, settings);
        EXPECT_FALSE(dlg.open());
        ASSERT_EQ(v.messages.size(), 1u);
        EXPECT_EQ(v.messages[0].text, kOpenFailed);
        EXPECT_EQ(v.messages[0].informative.rfind("Файл: " + path + "\nПричина: " + cause, 0), 0u)
            << v.messages[0].informative;
        EXPECT_EQ(v.messages[0].title, "Ошибка");
        EXPECT_EQ(v.messages[0].icon, MessageIcon::Error);
        EXPECT_EQ(v.endCodes, (std::vector<int>{0}));
        EXPECT_TRUE(v.top.empty());
        EXPECT_EQ(v.busyDepth, 0);
    }
    ::close(fd);
}

TEST_F(UtilsDlgTest, NonChannelItemsDisableTheButtonsAndActionsDoNothing) {
    auto dlg = openBase(completeChannel("server", "user", true, true));
    const auto before = TestSupport::readBytes(basePath);
    expandChannels(*dlg);

    const std::vector<TreeItem> others = {view.at({0}),          view.at({0, 0, 0}),
                                          view.at({0, 0, 1}),    view.at({0, 0, 2}),
                                          view.at({0, 0, 3, 1}), NoTreeItem};
    for (TreeItem item : others) {
        selectChannel(*dlg, "server : user");
        ASSERT_TRUE(view.anyActionEnabled());
        dlg->onSelectionChanged(item);
        EXPECT_FALSE(view.anyActionEnabled());
        EXPECT_TRUE(dlg->selectedLocalName().empty());
        EXPECT_TRUE(dlg->selectedRemoteName().empty());
        for (UtilsCommand id : {UtilsCommand::Delete, UtilsCommand::Export, UtilsCommand::Java}) dlg->onCommand(id);
    }
    EXPECT_TRUE(view.messages.empty());
    EXPECT_TRUE(files.requests.empty());
    EXPECT_EQ(TestSupport::readBytes(basePath), before);
}

TEST_F(UtilsDlgTest, SignOnlyCompleteChannelIsWrittenAsJavaKey) {
    saveBase(dir.file("userkey.bin"), completeChannel("user", "server", false, true));
    auto dlg = openDialog(dir.file("userkey.bin"));
    selectChannel(*dlg, "user : server");

    // Cancelled: no message, no file.
    files.answers.push_back(std::nullopt);
    dlg->onCommand(UtilsCommand::Java);
    EXPECT_TRUE(view.messages.empty());
    ASSERT_EQ(files.requests.size(), 1u);
    const auto& request = files.requests[0];
    EXPECT_FALSE(request.forOpening);
    ASSERT_EQ(request.filters.size(), 2u);
    EXPECT_EQ(request.filters[0].description, "База ключей \"Java\" (javaclient.bin)");
    EXPECT_EQ(request.filters[0].pattern, "javaclient.bin");
    EXPECT_EQ(request.filters[1].description, "All Files (*.*)");
    EXPECT_EQ(request.initialName, "javaclient.bin");
    EXPECT_EQ(request.defaultExt, "");
    EXPECT_EQ(TestSupport::listDir(dir.path()).size(), 2u);

    const std::string java = dir.file("javaclient.bin");
    files.answers.push_back(java);
    dlg->onCommand(UtilsCommand::Java);
    EXPECT_EQ(messageTexts(), (std::vector<std::string>{"\"Java\" канал успешно экспортирован!"}));
    const std::string text = TestSupport::readText(java);
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 4);
    EXPECT_EQ(TestSupport::fileMode(java), 0600u);
    // The remembered directory follows the chosen file.
    std::string remembered;
    EXPECT_TRUE(settings.readText("defaultDir", remembered));
    EXPECT_EQ(remembered, dir.path() + "/");

    // A folder that does not exist cannot take the file.
    files.answers.push_back(dir.file("no/such/dir/javaclient.bin"));
    dlg->onCommand(UtilsCommand::Java);
    EXPECT_EQ(view.messages.back().text, "Ошибка экспорта \"Java\" канала!");
    EXPECT_EQ(view.messages.back().title, "Ошибка");
}

TEST_F(UtilsDlgTest, ChannelWithoutSignatureIsRefusedAtTheSecondJavaCheck) {
    auto dlg = openBase(completeChannel("user", "server", false, false));
    selectChannel(*dlg, "user : server");
    dlg->onCommand(UtilsCommand::Java);
    EXPECT_EQ(messageTexts(),
              (std::vector<std::string>{"Секретный канал не содержит ключей подписи.Для \"Java\" "
                                        "канала должна присутствовать\nтолько подпись!"}));
    // A channel using nothing is never complete.
    EXPECT_FALSE(isChannelComplete(dlg->channels().at(0)));
}

TEST_F(UtilsDlgTest, ExportWritesTheReportAndOffersToOpenIt) {
    auto dlg = openBase(completeChannel("server", "user", true, false));
    selectChannel(*dlg, "server : user");

    files.answers.push_back(std::nullopt);
    dlg->onCommand(UtilsCommand::Export);
    EXPECT_TRUE(view.messages.empty());
    const auto& request = files.requests.at(0);
    EXPECT_FALSE(request.forOpening);
    EXPECT_EQ(request.filters.at(0).description, "Html file (*.html)");
    EXPECT_EQ(request.filters.at(0).pattern, "*.html");
    EXPECT_EQ(request.filters.at(1).pattern, "*.*");
    EXPECT_EQ(request.initialName, "Export.html");
    EXPECT_EQ(request.defaultExt, ".html");
    EXPECT_FALSE(TestSupport::exists(dir.file("Export.html")));

    const std::string report = dir.file("Export.html");
    files.answers.push_back(report);
    view.answers.push_back(true);
    dlg->onCommand(UtilsCommand::Export);
    EXPECT_EQ(messageTexts(),
              (std::vector<std::string>{"Информация о канале успешно экспортирована!\nОткрыть "
                                        "файл для просмотра или печати?"}));
    EXPECT_EQ(view.opened, (std::vector<std::string>{report}));
    EXPECT_NE(TestSupport::readText(report).find("server -> user"), std::string::npos);
    // The selection and the buttons stay as they were.
    EXPECT_TRUE(view.enabled(UtilsCommand::Export));

    // No program for HTML: the user learns where the report is.
    view.desktopOpens = false;
    files.answers.push_back(report);
    view.answers.push_back(true);
    dlg->onCommand(UtilsCommand::Export);
    EXPECT_EQ(view.messages.back().text,
              "Не найдена программа для просмотра HTML-файлов.\nОтчет сохранен в файле \"" +
                  report + "\".");
    EXPECT_EQ(view.messages.back().title, "Информация");
    view.opened.pop_back();

    files.answers.push_back(dir.file("missing/Export.html"));
    dlg->onCommand(UtilsCommand::Export);
    EXPECT_EQ(view.messages.back().text, "Ошибка экспорта канала!");
    EXPECT_EQ(view.messages.back().title, "Ошибка");
    EXPECT_EQ(view.opened.size(), 1u);
}

TEST_F(UtilsDlgTest, LongAndBlankNamesWorkThroughEveryAction) {
    // Two remote names alike in their first 31 bytes, with blanks, in Cyrillic.
    const std::string local = cp1251("Центральный сервер Орвейн");
    const std::string first = cp1251("Пользователь филиала номер 1");
    const std::string second = cp1251("Пользователь филиала номер 12345");
    ASSERT_GT(second.size(), 31u);
    const std::string sameCut = cp1251("Пользователь филиала номер 1234");
    const std::string third = sameCut + cp1251("9 дополнительный");
    auto dlg = openBase(completeChannel(local, first, false, true, 512, 0),
                        completeChannel(local, second, false, true, 512, 1),
                        completeChannel(local, third, false, true, 512, 2));

    // Shown cut to 31 bytes and decoded.
    const std::string shownCut = "Центральный сервер Орвейн : Пользователь филиала номер 1234";
    EXPECT_EQ(view.childTexts(dlg->rootItem()),
              (std::vector<std::string>{"Центральный сервер Орвейн : Пользователь филиала номер 1",
                                        shownCut, shownCut}));

    // The third item is the third channel, whatever its shown text.
    dlg->onSelectionChanged(view.at({0, 2}));
    EXPECT_EQ(dlg->selectedRemoteName(), third);
    const std::string report = dir.file("third.html");
    files.answers.push_back(report);
    view.answers.push_back(false);
    dlg->onCommand(UtilsCommand::Export);
    EXPECT_NE(TestSupport::readText(report).find(third), std::string::npos);

    files.answers.push_back(dir.file("javaclient.bin"));
    dlg->onCommand(UtilsCommand::Java);
    EXPECT_EQ(view.messages.back().text, "\"Java\" канал успешно экспортирован!");

    dlg->onSelectionChanged(view.at({0, 1}));
    view.answers.push_back(true);
    dlg->onCommand(UtilsCommand::Delete);
    EXPECT_EQ(view.messages.at(view.messages.size() - 2).text,
              "Вы уверены, что хотите удалить секретный канал \"Центральный сервер Орвейн : "
              "Пользователь филиала номер 12345\"?");
    EXPECT_EQ(view.messages.back().text, "Канал успешно удален!");
    KeyBase onDisk;
    ASSERT_TRUE(onDisk.loadBase(basePath));
    EXPECT_NE(onDisk.findChannel(local, first), nullptr);
    EXPECT_EQ(onDisk.findChannel(local, second), nullptr);
    EXPECT_NE(onDisk.findChannel(local, third), nullptr);
    EXPECT_EQ(view.kindText, "База полных и приватных ключей.\n2 секретных каналов.");
}

TEST_F(UtilsDlgTest, ChannelGoneFromTheFileMeanwhileFailsTheDeletion) {
    auto dlg = openBase(completeChannel("server", "anna", true, false, 512, 0),
                        completeChannel("server", "boris", true, false, 512, 1));
    selectChannel(*dlg, "server : anna");

    // Another program removes the channel while the dialog shows it.
    KeyBase other;
    ASSERT_TRUE(other.loadBase(basePath));
    ASSERT_TRUE(other.deleteChannel("server", "anna"));
    ASSERT_TRUE(other.saveBase(basePath));

    files.answers.push_back(dir.file("anna.html"));
    dlg->onCommand(UtilsCommand::Export);
    EXPECT_EQ(view.messages.back().text, "Ошибка экспорта канала!");

    view.answers.push_back(true);
    dlg->onCommand(UtilsCommand::Delete);
    EXPECT_EQ(view.messages.back().text, "Ошибка удаления канала!");
    // Reloaded as the file is now.
    EXPECT_EQ(view.childTexts(dlg->rootItem()), (std::vector<std::string>{"server : boris"}));
}

TEST_F(UtilsDlgTest, FailedReloadKeepsTheTreeButNoActionReachesAChannel) {
    auto dlg = openBase(completeChannel("server", "anna", true, false, 512, 0),
                        completeChannel("server", "boris", true, false, 512, 1));
    selectChannel(*dlg, "server : anna");
    TestSupport::writeText(basePath, "overwritten by something else");

    view.answers.push_back(true);
    dlg->onCommand(UtilsCommand::Delete);
    EXPECT_EQ(messageTexts().back(), kOpenFailed);
    EXPECT_EQ(messageTexts().at(messageTexts().size() - 2), "Ошибка удаления канала!");
    // Each failure names the file and its own cause.
    const std::string damaged = "Файл: " + basePath + "\nПричина: не файл ключей.";
    EXPECT_EQ(view.messages.at(view.messages.size() - 2).informative, damaged);
    EXPECT_EQ(view.messages.back().informative, damaged);
    EXPECT_TRUE(view.endCodes.empty());
    EXPECT_EQ(view.childTexts(dlg->rootItem()).size(), 2u);
    EXPECT_TRUE(dlg->channels().empty());
    EXPECT_FALSE(view.anyActionEnabled());

    const size_t shown = view.messages.size();
    dlg->onSelectionChanged(view.at({0, 1}));
    EXPECT_FALSE(view.anyActionEnabled());
    dlg->onCommand(UtilsCommand::Delete);
    EXPECT_EQ(view.messages.size(), shown);
}

// A key store failure to create an RSA object is reported and the dialog
// carries on.
class ThrowingFileDialogs : public Talvek::FileDialogRunner {
public:
    bool run(const FileDialogRequest&, std::string&) override {
        throw SecureException("Не удалось создать объект RSA");
    }
};

TEST_F(UtilsDlgTest, SecureExceptionIsShownAndNotFatal) {
    saveBase(basePath, completeChannel("user", "server", false, true));
    struct ThrowingView : ScriptedUtilsView {
        FileDialogRunner& fileDialogs() override { return throwing; }
        ThrowingFileDialogs throwing;
    } throwingView;
    UtilsDlg dlg(basePath, throwingView, settings);
    ASSERT_TRUE(dlg.open());
    dlg.onSelectionChanged(throwingView.at({0, 0}));
    dlg.onCommand(UtilsCommand::Export);
    dlg.onCommand(UtilsCommand::Java);
    ASSERT_EQ(throwingView.messages.size(), 2u);
    for (const auto& m : throwingView.messages) {
        EXPECT_EQ(m.text, "Не удалось создать объект RSA");
        EXPECT_EQ(m.title, "Ошибка");
    }
    EXPECT_TRUE(throwingView.enabled(UtilsCommand::Java));
}

TEST_F(UtilsDlgTest, CloseEndsWithTwo) {
    auto dlg = openBase(completeChannel("server", "user", true, true));
    dlg->onCommand(UtilsCommand::Close);
    dlg->onCommand(UtilsCommand::Close);
    EXPECT_EQ(view.endCodes, (std::vector<int>{2, 2}));
}

}  // namespace

// The file dialog does not ask before an existing file is chosen: the open
// key file, however spelt, is refused as the output of Export and "Java" ключ.
TEST_F(UtilsDlgTest, TheOpenFileIsNeverTheOutput) {
    const std::string base = dir.file("userkey.bin");
    saveBase(base, completeChannel("user", "server", false, true));
    const auto before = TestSupport::readBytes(base);
    auto dlg = openDialog(base);
    selectChannel(*dlg, "user : server");
    for (UtilsCommand command : {UtilsCommand::Export, UtilsCommand::Java}) {
        for (const std::string& output :
             {base, dir.path() + "/./userkey.bin", std::string("userkey.bin")}) {
            SCOPED_TRACE(output);
            view.messages.clear();
            files.answers.push_back(output);
            dlg->onCommand(command);
            ASSERT_EQ(view.messages.size(), 1u);
            EXPECT_EQ(view.messages[0].text,
                      "Имена файлов с открытыми и\nприватными ключами не должны совпадать!");
            EXPECT_EQ(view.messages[0].title, "Ошибка");
            EXPECT_EQ(TestSupport::readBytes(base), before);
        }
    }
    EXPECT_TRUE(view.opened.empty());
}
