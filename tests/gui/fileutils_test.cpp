#include <gtest/gtest.h>

#include <filesystem>

#include <unistd.h>

#include "gui/fileutils.h"
#include "keystore/cp1251.h"
#include "settingsenv.h"
#include "support/memorysettingsstore.h"
#include "support/tempdir.h"

using namespace Talvek;
using AppTests::SettingsTest;

namespace {

// Answers file dialogs from a script and records what it was asked.
class ScriptedDialog : public FileDialogRunner {
public:
    bool run(const FileDialogRequest& r, std::string& chosen) override {
        requests.push_back(r);
        if (answer.empty()) return false;
        chosen = answer;
        return true;
    }
    std::string answer;  // empty: the user cancels
    std::vector<FileDialogRequest> requests;
};

std::string currentDir() {
    return std::filesystem::current_path().string();
}

// Changes the working directory for one test.
class InDir {
public:
    explicit InDir(const std::string& dir) : old_(currentDir()) {
        std::filesystem::current_path(dir);
    }
    ~InDir() { std::filesystem::current_path(old_); }

private:
    std::string old_;
};

const std::vector<FileFilter> kHtml = {{"Html file (*.html)", "*.html"},
                                       {"All Files (*.*)", "*.*"}};

}  // namespace

TEST_F(SettingsTest, DefaultDirFallsBackToTheCurrentDirectoryWithoutStoringIt) {
    QtSettingsStore store;
    TestSupport::TempDir work;
    {
        InDir in(work.path());
        EXPECT_EQ(defaultDir(store), work.path() + "/");
        EXPECT_EQ(pathInDefaultDir(store, "userkey.bin"), work.path() + "/userkey.bin");
    }
    {
        // The separator is appended without looking at how the directory ends.
        InDir in("/");
        EXPECT_EQ(defaultDir(store), "//");
    }
    EXPECT_TRUE(TestSupport::listDir(configDir.path()).empty());
}

TEST_F(SettingsTest, RememberedDirectoryOutlivesTheStoreAndIsNotChecked) {
    {
        QtSettingsStore first;
        ASSERT_TRUE(rememberDir(first, "/no/such/place/openserv.okp"));
    }
    QtSettingsStore second;
    EXPECT_EQ(defaultDir(second), "/no/such/place/");
    ASSERT_TRUE(second.writeText("defaultDir", "D:\\keys\\"));
    EXPECT_EQ(pathInDefaultDir(second, "userkey.bin"), "D:\\keys\\userkey.bin");
    ASSERT_TRUE(second.writeText("defaultDir", "relative"));
    EXPECT_EQ(pathInDefaultDir(second, "x"), "relativex");
}

TEST(RememberDir, KeepsDriveAndDirectoryOnly) {
    const struct {
        const char* path;
        const char* dir;
    } cases[] = {{"D:\\keys\\a.bin", "D:\\keys\\"},
                 {"/a/b/c.okp", "/a/b/"},
                 {"name", ""},
                 {"C:name.bin", "C:"},
                 {"C:\\", "C:\\"},
                 {"/", "/"},
                 {"mixed\\dir/sub\\f", "mixed\\dir/sub\\"},
                 {"/dir.with.dots/file", "/dir.with.dots/"},
                 {"/трасса/ключи/userkey.bin", "/трасса/ключи/"},
                 {"", ""}};
    for (const auto& c : cases) {
        TestSupport::MemorySettingsStore store;
        store.texts["defaultDir"] = "before";
        EXPECT_TRUE(rememberDir(store, c.path));
        EXPECT_EQ(store.texts["defaultDir"], c.dir) << c.path;
    }
}

TEST(RememberDir, TooLongDirectoryIsCutToAnAncestorThatReadsBack) {
    const std::string a(100, 'a'), b(100, 'b'), c(100, 'c');
    TestSupport::MemorySettingsStore store;
    ASSERT_TRUE(rememberDir(store, "/" + a + "/" + b + "/" + c + "/file.bin"));
    EXPECT_EQ(defaultDir(store), "/" + a + "/" + b + "/");

    // Cyrillic counts one byte per letter in the stored form.
    std::string cyr;
    for (int i = 0; i < 250; ++i) cyr += "ё";
    ASSERT_TRUE(rememberDir(store, "/" + cyr + "/f"));
    EXPECT_EQ(defaultDir(store), "/" + cyr + "/");

    ASSERT_TRUE(rememberDir(store, std::string(300, 'x') + "/f"));
    std::string stored;
    EXPECT_TRUE(store.readText("defaultDir", stored));
    EXPECT_EQ(stored, "");
}

TEST_F(SettingsTest, ConfirmedSelectionIsCopiedAndRemembered) {
    QtSettingsStore store;
    ASSERT_TRUE(store.writeText("defaultDir", "/start/"));
    ScriptedDialog dialog;
    dialog.answer = "/chosen/dir/Export.html";
    std::string out = "old";
    ASSERT_TRUE(selectFile(dialog, store, out, false, kHtml, "Export.html", ".html"));
    EXPECT_EQ(out, "/chosen/dir/Export.html");
    EXPECT_EQ(defaultDir(store), "/chosen/dir/");

    ASSERT_EQ(dialog.requests.size(), 1u);
    const FileDialogRequest& r = dialog.requests[0];
    EXPECT_FALSE(r.forOpening);
    EXPECT_EQ(r.title, "Выберите файл для записи");
    EXPECT_EQ(r.initialDir, "/start/");
    ASSERT_EQ(r.filters.size(), 2u);
    EXPECT_EQ(r.filters[0].description, "Html file (*.html)");
    EXPECT_EQ(r.filters[1].pattern, "*.*");
    EXPECT_EQ(r.initialName, "Export.html");
    EXPECT_EQ(r.defaultExt, ".html");

    // The next dialog opens where the last one ended.
    dialog.answer = "/chosen/dir/other/openserv.okp";
    ASSERT_TRUE(selectFile(dialog, store, out, true, kHtml));
    EXPECT_EQ(dialog.requests[1].title, "Выберите файл");
    EXPECT_TRUE(dialog.requests[1].forOpening);
    EXPECT_EQ(dialog.requests[1].initialDir, "/chosen/dir/");
    EXPECT_EQ(dialog.requests[1].initialName, "");
    EXPECT_EQ(defaultDir(store), "/chosen/dir/other/");
}

TEST_F(SettingsTest, CancelledSelectionChangesNothing) {
    QtSettingsStore store;
    ScriptedDialog dialog;
    std::string out = "keep";
    EXPECT_FALSE(selectFile(dialog, store, out, true, kHtml));
    EXPECT_EQ(out, "keep");
    // Still no stored directory: the fallback was used and not written.
    EXPECT_TRUE(TestSupport::listDir(configDir.path()).empty());

    ASSERT_TRUE(rememberDir(store, "/kept/a.bin"));
    EXPECT_FALSE(selectFile(dialog, store, out, false, kHtml));
    EXPECT_EQ(out, "keep");
    EXPECT_EQ(defaultDir(store), "/kept/");
    EXPECT_EQ(dialog.requests.back().initialDir, "/kept/");
}

TEST(SelectFile, InitialNameIsCutTo259CharactersNotBytes) {
    TestSupport::MemorySettingsStore store;
    ScriptedDialog dialog;
    std::string out;
    selectFile(dialog, store, out, false, kHtml, std::string(400, 'n'));
    ASSERT_EQ(dialog.requests.size(), 1u);
    EXPECT_EQ(dialog.requests[0].initialName, std::string(259, 'n'));

    std::string cyrillic;
    for (int i = 0; i < 300; ++i) cyrillic += "ф";
    selectFile(dialog, store, out, false, kHtml, cyrillic);
    EXPECT_EQ(dialog.requests[1].initialName, cyrillic.substr(0, 2 * 259));
}
