// One file never plays two roles of an action, however its name is spelt.

#include <gtest/gtest.h>

#include <map>

#include <sys/stat.h>
#include <unistd.h>

#include "fileio/fileexists.h"
#include "keystore/keybase.h"
#include "keystore/keyops.h"
#include "support/tempdir.h"
#include "support/testkeys.h"

using namespace Talvek;
using TestSupport::TempDir;

namespace {

// Only regular files: the folder also holds links and subfolders.
std::map<std::string, std::vector<uint8_t>> regularFiles(const TempDir& dir) {
    std::map<std::string, std::vector<uint8_t>> all;
    for (const auto& name : TestSupport::listDir(dir.path())) {
        struct stat st {};
        if (lstat(dir.file(name).c_str(), &st) == 0 && S_ISREG(st.st_mode))
            all[name] = TestSupport::readBytes(dir.file(name));
    }
    return all;
}

}  // namespace

TEST(FileIdentity, SpellingsOfOneFileAreOneFile) {
    TempDir dir;
    const std::string d = dir.path();
    TestSupport::writeText(dir.file("a"), "a");
    TestSupport::writeText(dir.file("b"), "b");
    ASSERT_EQ(mkdir(dir.file("sub").c_str(), 0700), 0);
    ASSERT_EQ(symlink("a", dir.file("link-a").c_str()), 0);
    ASSERT_EQ(symlink(d.c_str(), dir.file("sub/up").c_str()), 0);
    ASSERT_EQ(link(dir.file("a").c_str(), dir.file("hard-a").c_str()), 0);
    // Links to files not made yet: relative, absolute, and a link to a link.
    ASSERT_EQ(symlink("new", dir.file("to-new").c_str()), 0);
    ASSERT_EQ(symlink(dir.file("new").c_str(), dir.file("abs-to-new").c_str()), 0);
    ASSERT_EQ(symlink("to-new", dir.file("to-to-new").c_str()), 0);
    ASSERT_EQ(symlink("../new", dir.file("sub/up-new").c_str()), 0);

    const struct {
        std::string first, second;
        bool same;
    } cases[] = {
        {d + "/a", d + "/a", true},
        {d + "/a", d + "/./a", true},
        {d + "/a", d + "/sub/../a", true},
        {d + "/a", d + "/link-a", true},
        {d + "/a", d + "/hard-a", true},
        {d + "/a", d + "/sub/up/a", true},
        {d + "/a", d + "/b", false},
        {d + "/a", d + "/A", false},
        // Neither exists yet: where they would be made decides.
        {d + "/new", d + "/./new", true},
        {d + "/new", d + "/sub/../new", true},
        {d + "/new", d + "/sub/up/new", true},
        {d + "/new", d + "/sub/new", false},
        {d + "/new", d + "/new2", false},
        {d + "/gone/x", d + "/gone/./x", true},
        {d + "/new", d + "/to-new", true},
        {d + "/new", d + "/abs-to-new", true},
        {d + "/new", d + "/to-to-new", true},
        {d + "/to-new", d + "/sub/up-new", true},
        {d + "/new2", d + "/to-new", false},
        {"", "", true},
        {"", d + "/a", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.first + " | " + c.second);
        EXPECT_EQ(sameFile(c.first, c.second), c.same);
        EXPECT_EQ(sameFile(c.second, c.first), c.same);
    }

    // Relative to the working folder as well.
    char* cwd = getcwd(nullptr, 0);
    ASSERT_EQ(chdir(d.c_str()), 0);
    EXPECT_TRUE(sameFile("new", "./new"));
    EXPECT_TRUE(sameFile("new", d + "/new"));
    EXPECT_TRUE(sameFile("a", "sub/up/a"));
    EXPECT_EQ(chdir(cwd), 0);
    free(cwd);
}

// The operations refuse two roles on one file themselves, so no caller can
// bypass the page checks; nothing is written then.
TEST(FileIdentity, KeyOperationsRefuseOneFileInTwoRoles) {
    TempDir dir;
    const std::string base = dir.file("base.bin");
    const std::string servPart = dir.file("openserv.okp");
    auto server = TestSupport::ownKeysChannel("srv", "usr", false, true);
    ASSERT_TRUE(writePublicPart(*server, servPart));

    KeyWizardData mode0;
    mode0.mode = NewUserServerKey;
    mode0.serverKeyName = "srv";
    mode0.userKeyName = "usr";
    mode0.useSign = true;
    mode0.signSize = 512;
    KeyWizardData mode2;
    mode2.mode = CreateUserKey;
    mode2.importFile = servPart;
    ASSERT_TRUE(readImportedChannel(mode2));

    const std::string spelt = dir.path() + "/./base.bin";
    struct Case {
        const char* what;
        KeyWizardData data;
        std::string java;
    };
    std::vector<Case> cases;
    KeyWizardData d0 = mode0;
    d0.baseFile = base;
    d0.exportFile = spelt;
    cases.push_back({"server key exported onto its base", d0, ""});
    // The base named through a link to the export file, which is not there
    // yet: the base's save would land on the export and lose the keys.
    ASSERT_EQ(symlink("new.okp", dir.file("link.key_base").c_str()), 0);
    d0.baseFile = dir.file("link.key_base");
    d0.exportFile = dir.file("new.okp");
    cases.push_back({"server key base linked to its export", d0, ""});
    KeyWizardData d2 = mode2;
    d2.baseFile = base;
    d2.exportFile = spelt;
    cases.push_back({"user key exported onto its base", d2, ""});
    d2.exportFile = dir.file("openuser.okp");
    d2.javaClient = true;
    cases.push_back({"java file onto the base", d2, spelt});
    cases.push_back({"java file onto the import", d2, dir.path() + "/./openserv.okp"});
    cases.push_back({"java file onto the export", d2, dir.path() + "/./openuser.okp"});
    KeyWizardData d1;
    d1.mode = ImportUserPart;
    d1.baseFile = base;
    d1.importFile = spelt;
    d1.serverKeyName = "usr";
    d1.userKeyName = "srv";
    cases.push_back({"import from the base", d1, ""});

    // First with no base yet, then with one in place.
    for (bool baseExists : {false, true}) {
        if (baseExists) {
            KeyBase b;
            b.addChannel(TestSupport::completeChannel("usr", "other", false, true));
            ASSERT_TRUE(b.saveBase(base));
        }
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.what) + (baseExists ? ", base exists" : ", no base"));
            const auto before = regularFiles(dir);
            bool ok = false;
            switch (c.data.mode) {
                case NewUserServerKey:
                    ok = createServerKey(c.data).ok();
                    break;
                case ImportUserPart:
                    ok = importUserPublicPart(c.data).ok();
                    break;
                case CreateUserKey:
                    ok = createUserKey(c.data, c.java).ok();
                    break;
            }
            EXPECT_FALSE(ok);
            EXPECT_EQ(regularFiles(dir), before);
        }
    }
}
