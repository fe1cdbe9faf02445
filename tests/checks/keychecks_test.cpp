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
