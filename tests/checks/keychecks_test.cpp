#include "checks/keychecks.h"

#include <gtest/gtest.h>

#include "keystore/keybase.h"
#include "keystore/ossl.h"
#include "support/recordbytes.h"
#include "support/tempdir.h"
#include "support/testkeys.h"

using namespace Talvek;
using Status = CheckResult::Status;

TEST(KeyChecksSequence, FilesPageOrderPerMode) {
    KeyWizardData d;
    d.mode = ImportUserPart;
    EXPECT_EQ(checkFilesPage(d).message, KeyMessages::NoBaseFile);
    d.baseFile = "base";
    // Mode 1 writes no export file, so only the import is asked for.
    EXPECT_EQ(checkFilesPage(d).message, KeyMessages::NoImportFile);
    d.mode = NewUserServerKey;
    EXPECT_EQ(checkFilesPage(d).message, KeyMessages::NoExportFile);
    d.mode = CreateUserKey;
    d.exportFile = "part";
    EXPECT_EQ(checkFilesPage(d).message, KeyMessages::NoImportFile);
    d.importFile = "base";
    EXPECT_EQ(checkFilesPage(d).message, KeyMessages::PublicEqualsPrivate);
    d.importFile = "part";
    EXPECT_EQ(checkFilesPage(d).message, KeyMessages::ImportEqualsExport);
    // The hidden import field of mode 0 still takes part in the comparison.
    d.mode = NewUserServerKey;
    d.importFile = "base";
    EXPECT_EQ(checkFilesPage(d).status, Status::Fail);
    d.importFile = "Base";  // compared as typed
    EXPECT_EQ(checkFilesPage(d).status, Status::Pass);
}

// Two spellings of one file are one file, whether it exists yet or not.
TEST(KeyChecksSequence, FilesPageComparesFilesNotSpellings) {
    TestSupport::TempDir dir;
    const std::string d = dir.path();
    ASSERT_TRUE(createServerKey([&] {
        KeyWizardData k;
        k.baseFile = dir.file("server.key_base");
        k.exportFile = dir.file("openserv.okp");
        k.serverKeyName = "srv";
        k.userKeyName = "usr";
        k.useSign = true;
        k.signSize = 512;
        return k;
    }()));
    const struct {
        KeyCreationMode mode;
        std::string base, exportFile, importFile;
        const char* message;
    } cases[] = {
        {NewUserServerKey, d + "/n.key_base", d + "/./n.key_base", d + "/x.okp",
         KeyMessages::PublicEqualsPrivate},
        {NewUserServerKey, d + "/server.key_base", d + "/sub/../server.key_base", d + "/x.okp",
         KeyMessages::PublicEqualsPrivate},
        {CreateUserKey, d + "/userkey.bin", d + "/./userkey.bin", d + "/openserv.okp",
         KeyMessages::PublicEqualsPrivate},
        {CreateUserKey, d + "/userkey.bin", d + "/u.okp", d + "/./userkey.bin",
         KeyMessages::PublicEqualsPrivate},
        {CreateUserKey, d + "/userkey.bin", d + "/./openserv.okp", d + "/openserv.okp",
         KeyMessages::ImportEqualsExport},
        {ImportUserPart, d + "/server.key_base", d + "/e.okp", d + "//server.key_base",
         KeyMessages::PublicEqualsPrivate},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.base + " " + c.exportFile + " " + c.importFile);
        KeyWizardData data;
        data.mode = c.mode;
        data.baseFile = c.base;
        data.exportFile = c.exportFile;
        data.importFile = c.importFile;
        const CheckResult r = checkFilesPage(data);
        EXPECT_EQ(r.status, Status::Fail);
        EXPECT_EQ(r.message, c.message);
    }
}

// The Java client's file goes where the caller says (the default folder in
// the wizard); on a file of the same action it is refused before anything
// is made.
TEST(KeyChecksSequence, FinishRefusesTheJavaFileOnAnotherFileOfTheAction) {
    TestSupport::TempDir dir;
    KeyWizardData server;
    server.baseFile = dir.file("server.key_base");
    server.exportFile = dir.file("openserv.okp");
    server.serverKeyName = "srv";
    server.userKeyName = "usr";
    server.useSign = true;
    server.signSize = 512;
    ASSERT_TRUE(createServerKey(server));
    KeyWizardData user;
    user.mode = CreateUserKey;
    user.baseFile = dir.file("javaclient.bin");
    user.importFile = dir.file("openserv.okp");
    user.exportFile = dir.file("openuser.okp");
    ASSERT_TRUE(checkFilesPage(user).advances());
    user.javaClient = true;
    for (const std::string& other : {user.baseFile, user.importFile, user.exportFile}) {
        const std::string java = dir.path() + "/./" + other.substr(dir.path().size() + 1);
        const CheckResult r = runFinish(user, java);
        EXPECT_EQ(r.message, KeyMessages::PublicEqualsPrivate);
    }
    EXPECT_FALSE(TestSupport::exists(user.baseFile));
    EXPECT_FALSE(TestSupport::exists(user.exportFile));
    EXPECT_TRUE(runFinish(user, dir.file("elsewhere.bin")).advances());
}

TEST(KeyChecksSequence, OutputMustNotBeTheInput) {
    TestSupport::TempDir dir;
    TestSupport::writeText(dir.file("in"), "x");
    EXPECT_EQ(checkOutputDiffers(dir.file("in"), dir.path() + "/./in").message,
              KeyMessages::PublicEqualsPrivate);
    EXPECT_EQ(checkOutputDiffers(dir.file("new"), dir.path() + "/./new").status, Status::Fail);
    EXPECT_EQ(checkOutputDiffers(dir.file("in"), dir.file("out")).status, Status::Pass);
}

TEST(KeyChecksSequence, ModeZeroOnlyWarnsAboutAForeignBase) {
    TestSupport::TempDir dir;
    TestSupport::writeText(dir.file("foreign"), "text");
    KeyWizardData d;
    d.baseFile = dir.file("foreign");
    d.exportFile = dir.file("part");
    const CheckResult r = checkFilesPage(d);
    EXPECT_EQ(r.status, Status::Warn);
    EXPECT_TRUE(r.advances());
    EXPECT_EQ(r.message, KeyMessages::NotPrivateBaseWarning);
    d.baseFile = dir.file("new.key_base");
    EXPECT_EQ(checkFilesPage(d).status, Status::Pass);
}

TEST(KeyChecksSequence, NamesPage) {
    TestSupport::TempDir dir;
    KeyWizardData d;
    d.baseFile = dir.file("s.key_base");
    EXPECT_EQ(checkServerNamePresent(d).message, KeyMessages::NoServerName);
    d.serverKeyName = "Srv";
    EXPECT_TRUE(checkServerNamePresent(d).advances());
    EXPECT_EQ(checkNamesPage(d).message, KeyMessages::NoUserName);
    d.userKeyName = "Srv";
    EXPECT_EQ(checkNamesPage(d).message, KeyMessages::NamesEqual);
    d.userKeyName = "srv";  // differs in letter case only: accepted
    EXPECT_EQ(checkNamesPage(d).status, Status::Pass) << "no base yet: nothing to look up";

    KeyBase base;
    base.addChannel(TestSupport::ownKeysChannel("srv", "Srv", false, true));
    ASSERT_TRUE(base.saveBase(d.baseFile));
    EXPECT_EQ(checkNamesPage(d).message, KeyMessages::NamesTaken);
    d.mode = CreateUserKey;  // only mode 0 looks into the base
    EXPECT_EQ(checkNamesPage(d).status, Status::Pass);

    // Once its last channel is deleted the base takes any names again, the
    // deleted pair included; a file that is no key base still refuses them.
    d.mode = NewUserServerKey;
    ASSERT_TRUE(base.deleteChannel("srv", "Srv"));
    ASSERT_TRUE(base.saveBase(d.baseFile));
    EXPECT_EQ(checkNamesPage(d).status, Status::Pass);
    TestSupport::writeText(d.baseFile, "not a key base");
    EXPECT_EQ(checkNamesPage(d).message, KeyMessages::NamesTaken);
}

TEST(KeyChecksSequence, ParamsAndFinish) {
    TestSupport::TempDir dir;
    KeyWizardData d;
    EXPECT_EQ(checkParamsPage(d).message, KeyMessages::NoParameters);
    d.useSign = true;
    EXPECT_TRUE(checkParamsPage(d).advances());

    // A finish that cannot load the import reports the operation's failure.
    d.mode = CreateUserKey;
    d.baseFile = dir.file("userkey.bin");
    d.importFile = dir.file("missing.okp");
    d.exportFile = dir.file("openuser.okp");
    const CheckResult r = runFinish(d, dir.file("javaclient.bin"));
    EXPECT_EQ(r.status, Status::Fail);
    EXPECT_EQ(r.message, KeyMessages::OperationFailed);
    EXPECT_TRUE(TestSupport::listDir(dir.path()).empty());

    d.javaClient = true;
    EXPECT_EQ(successText(d), "Файлы \"" + d.baseFile +
                                  "\" и \"javaclient.bin\" успешно созданы.\nФайл \"" +
                                  d.exportFile +
                                  "\" с открытой частью пользовательского ключа успешно "
                                  "создан,\nего необходимо отправить в центр.");
}

TEST(KeyChecksSequence, KeyNamesCrossIntoWindows1251) {
    std::string out;
    EXPECT_TRUE(encodeKeyName("Ёлка №1", out).advances());
    EXPECT_EQ(out, "\xA8\xEB\xEA\xE0 \xB9\x31");
    const CheckResult r = encodeKeyName("日本", out);
    EXPECT_EQ(r.status, Status::Fail);
    EXPECT_TRUE(out.empty());
    EXPECT_NE(r.message.find("日本"), std::string::npos);
}

// Where nothing cuts a typed name, names the wizard could not hold are
// refused with a message, never shortened.
TEST(KeyChecksSequence, TypedKeyNamesWithinTheWizardsLimits) {
    const std::string cyrillic259 = [] {
        std::string s;
        for (int i = 0; i < 259; ++i) s += "Ж";
        return s;
    }();
    const struct {
        std::string name;
        const char* message;  // null: passes
    } cases[] = {
        {"Сервер Орвейн", nullptr},
        {std::string(259, 'n'), nullptr},
        {cyrillic259, nullptr},
        {"", nullptr},  // the names page reports which one is missing
        {std::string(260, 'n'), KeyMessages::NameTooLong},
        {cyrillic259 + "Ж", KeyMessages::NameTooLong},
        {std::string(65536, 'x'), KeyMessages::NameTooLong},
        {"   ", KeyMessages::NameBlank},
        {"\xC2\xA0 ", KeyMessages::NameBlank},
        {"a\nb", KeyMessages::NameHasControl},
        {"a\tb", KeyMessages::NameHasControl},
        {std::string("a\0b", 3), KeyMessages::NameHasControl},
        {"a\x7F", KeyMessages::NameHasControl},
        {"a\xC2\x85", KeyMessages::NameHasControl},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name.substr(0, 20));
        const CheckResult r = checkTypedKeyName(c.name);
        if (c.message) {
            EXPECT_EQ(r.status, Status::Fail);
            EXPECT_EQ(r.message, c.message);
        } else {
            EXPECT_EQ(r.status, Status::Pass);
        }
    }
}

TEST(KeyChecksSequence, FilesPageRefusesPathsLongerThanThePlatformTakes) {
    TestSupport::TempDir dir;
    KeyWizardData d;
    d.mode = NewUserServerKey;
    d.exportFile = dir.file("openserv.okp");
    d.importFile = dir.file("openuser.okp");
    // 4095 bytes pass the length check (and then fail as missing folders
    // would: the base is only warned about in mode 0).
    d.baseFile = "/" + std::string(4094, 'a');
    EXPECT_TRUE(checkFilesPage(d).advances());
    d.baseFile += "a";
    EXPECT_EQ(checkFilesPage(d).message, KeyMessages::PathTooLong);
    d.baseFile = dir.file("server.key_base");
    d.exportFile = "/" + std::string(5000, 'e');
    EXPECT_EQ(checkFilesPage(d).message, KeyMessages::PathTooLong);
}

// The sizes of the keys made at Finish come from the imported part: a size
// that cannot be made (511) or would take minutes (16392) is refused on the
// files page, with the import check's message, before any page is passed.
TEST(KeyChecksSequence, ImportedKeySizeOutsideTheMadeRangeFailsTheFilesPage) {
    TestSupport::TempDir dir;
    const struct {
        uint32_t bits;
        bool passes;
    } rows[] = {{511, false}, {512, true}, {4096, true}, {4097, false}, {16392, false}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.bits);
        // A plausible public key of exactly the declared size: odd modulus
        // with its top bit set, exponent 65537.
        Talvek::BignumPtr n(BN_new()), e(BN_new());
        ASSERT_TRUE(BN_set_bit(n.get(), static_cast<int>(row.bits) - 1) && BN_set_bit(n.get(), 0) &&
                    BN_set_word(e.get(), 65537));
        TestSupport::RecordBytes part;
        part.magic("KCHA1").u8(0).u8(1).text("server").text("user");
        part.u8(0).u8(0).u8(0).u8(1).u32(0).u32(row.bits);
        part.magic("KRSK0").u32(1).text("server").number(n.get()).number(e.get());
        TestSupport::writeBytes(dir.file("openserv.okp"), part.bytes());

        KeyWizardData d;
        d.mode = CreateUserKey;
        d.baseFile = dir.file("userkey.bin");
        d.exportFile = dir.file("openuser.okp");
        d.importFile = dir.file("openserv.okp");
        const CheckResult r = checkFilesPage(d);
        EXPECT_EQ(r.status, row.passes ? Status::Pass : Status::Fail);
        EXPECT_EQ(r.message, row.passes ? "" : KeyMessages::ImportMismatchUser);
    }
}
