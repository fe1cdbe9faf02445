// The local refusals before a transfer, without a server: what counts as the
// administrator's base, how long an interface name may be, and what an upload
// may send.

#include <cerrno>
#include <filesystem>
#include <tuple>

#include <sys/stat.h>

#include <gtest/gtest.h>

#include "checks/connectchecks.h"
#include "support/serverfixture.h"
#include "keystore/cp1251.h"
#include "keystore/keybase.h"
#include "support/lockwait.h"
#include "support/refusal.h"
#include "support/tempdir.h"
#include "support/testkeys.h"

using namespace Talvek;
using namespace TestSupport;

namespace {

class ConnectChecks : public ::testing::Test {
protected:
    void SetUp() override {
        std::filesystem::create_directory(dir.file("keys"));
        params.adminKeyBase = dir.file("keys/admin.key_base");
        writeBytes(params.adminKeyBase, {'k', 'e', 'y'});
        params.interfaceName = "main";
        params.localFile = dir.file("fetched.key_base");
        params.operation = ServerCode::FetchKeyBase;
    }

    // A complete channel from the administrator to the server in the
    // administrator's base, and the params naming it.
    bool writeAdminChannel() {
        params.adminKeyName = cp("Администратор");
        params.serverKeyName = cp("Криптосервер");
        KeyBase base;
        base.addChannel(completeChannel(params.adminKeyName, params.serverKeyName, true, true));
        return base.saveBase(params.adminKeyBase).ok();
    }

    TempDir dir;
    CryptoServerParams params;
};

}  // namespace

TEST_F(ConnectChecks, AFetchNeverLandsOnTheAdministratorsBaseHoweverItIsSpelt) {
    EXPECT_EQ(refusalOf(checkTransfer(params)), std::nullopt);

    for (const std::string& spelling :
         {params.adminKeyBase, dir.file("keys/../keys/./admin.key_base")}) {
        params.localFile = spelling;
        EXPECT_EQ(refusalOf(checkTransfer(params)), ConnectMessages::FetchOverAdminBase) << spelling;
    }
    std::filesystem::create_symlink(params.adminKeyBase, dir.file("link.key_base"));
    params.localFile = dir.file("link.key_base");
    EXPECT_EQ(refusalOf(checkTransfer(params)), ConnectMessages::FetchOverAdminBase);

    // Another existing file may be replaced (the wizard asks first).
    params.localFile = dir.file("old.key_base");
    writeBytes(params.localFile, {'o', 'l', 'd'});
    EXPECT_EQ(refusalOf(checkTransfer(params)), std::nullopt);

    params.localFile.clear();
    EXPECT_EQ(refusalOf(checkTransfer(params)), ConnectMessages::NoLocalFile);
}

TEST_F(ConnectChecks, InterfaceNamesAreCountedInTheBytesThatTravel) {
    // 63 Cyrillic letters are 126 bytes of UTF-8 but fit the wire's 63.
    std::string utf8;
    for (int i = 0; i < 63; ++i) utf8 += "я";
    ASSERT_TRUE(utf8ToCp1251(utf8, params.interfaceName));
    EXPECT_EQ(refusalOf(checkTransfer(params)), std::nullopt);

    // One more would be cut and could name another interface.
    utf8 += "я";
    ASSERT_TRUE(utf8ToCp1251(utf8, params.interfaceName));
    EXPECT_EQ(refusalOf(checkTransfer(params)), "Имя интерфейса \"" + utf8 +
                                         "\" длиннее 63 символов:\nкриптосервер не примет "
                                         "такой запрос!");
}

// A path is taken as long as the platform allows and refused beyond, never
// cut into the name of another file.
TEST_F(ConnectChecks, PathsLongerThanThePlatformAllowsAreRefused) {
    const std::string tooLong = "/" + std::string(kMaxPathBytes, 'p');
    const std::string longest = tooLong.substr(0, kMaxPathBytes);
    const std::string admin = params.adminKeyBase;
    params.adminKeyBase = tooLong;
    EXPECT_EQ(refusalOf(checkAdminChannel(params)), "Имя файла длиннее 4095 байт!");
    params.adminKeyBase = longest;
    EXPECT_EQ(refusalOf(checkAdminChannel(params)), ConnectMessages::NoPrivateBase);
    params.adminKeyBase = admin;
    for (const int32_t operation : {ServerCode::FetchKeyBase, ServerCode::UploadKeyBase}) {
        params.operation = operation;
        params.localFile = tooLong;
        EXPECT_EQ(refusalOf(checkTransfer(params)), "Имя файла длиннее 4095 байт!");
        params.localFile = longest;
        EXPECT_NE(refusalOf(checkTransfer(params)), "Имя файла длиннее 4095 байт!");
    }
}

TEST_F(ConnectChecks, AnUploadSendsOnlyAKeyBase) {
    params.operation = ServerCode::UploadKeyBase;
    writeText(dir.file("header.key_base"), "KNET0 but nothing else");
    for (const std::string& file : {dir.file("missing.key_base"), params.adminKeyBase,
                                    dir.file("keys"), dir.file("header.key_base")}) {
        params.localFile = file;
        const CheckResult refused = checkTransfer(params);
        EXPECT_EQ(refusalOf(refused), ConnectMessages::NotKeyBase) << file;
        EXPECT_EQ(refused.cause.path, file);
    }
    params.localFile = dir.file("header.key_base");
    EXPECT_EQ(checkTransfer(params).cause.fault, FileFault::NotAKeyFile);
}

TEST_F(ConnectChecks, TheAdministratorsBaseMustBeAKeyBase) {
    EXPECT_EQ(refusalOf(checkAdminChannel(params)), ConnectMessages::NoPrivateBase);
    params.adminKeyBase = dir.file("missing.key_base");
    const CheckResult missing = checkAdminChannel(params);
    EXPECT_EQ(refusalOf(missing), ConnectMessages::NoPrivateBase);
    // The refusal names the file and why, for the line or detail below it.
    EXPECT_EQ(missing.cause.path, params.adminKeyBase);
    EXPECT_EQ(missing.cause.error, ENOENT);
}

TEST_F(ConnectChecks, TheChannelMustRunFromTheAdministratorToTheServer) {
    ASSERT_TRUE(writeAdminChannel());
    EXPECT_EQ(refusalOf(checkAdminChannel(params)), std::nullopt);

    // The names are shown as typed, the base's path first.
    std::swap(params.adminKeyName, params.serverKeyName);
    EXPECT_EQ(refusalOf(checkAdminChannel(params)),
              "В базе " + params.adminKeyBase +
                  " нет секретного канала \"Криптосервер : Администратор\"!");
}

// The base is only read, once: a program reading it at the same time, or a
// base without write permission, does not stop the check.
TEST_F(ConnectChecks, TheAdministratorsBaseIsOnlyRead) {
    ASSERT_TRUE(writeAdminChannel());
    const ScopedLockWait wait(std::chrono::milliseconds(200));
    {
        const HeldElsewhere reader(params.adminKeyBase, LOCK_SH);
        ASSERT_TRUE(reader.held());
        EXPECT_EQ(refusalOf(checkAdminChannel(params)), std::nullopt);
    }
    ASSERT_EQ(chmod(params.adminKeyBase.c_str(), 0400), 0);
    EXPECT_EQ(refusalOf(checkAdminChannel(params)), std::nullopt);
    // Held for writing, it is waited for and then refused.
    const HeldElsewhere writer(params.adminKeyBase, LOCK_EX);
    EXPECT_EQ(refusalOf(checkAdminChannel(params)), ConnectMessages::NoPrivateBase);
}

TEST_F(ConnectChecks, AChannelThatDoesNotBothSignAndEncryptIsRefusedByName) {
    params.adminKeyName = cp("Администратор");
    params.serverKeyName = cp("Криптосервер");
    const std::string refusal =
        "Секретный канал \"Администратор : Криптосервер\" должен и подписывать, и шифровать!";
    for (const auto& [crypt, sign, complete] :
         {std::tuple{true, false, true}, {false, true, true}, {true, true, false}}) {
        KeyBase base;
        base.addChannel(
            complete ? completeChannel(params.adminKeyName, params.serverKeyName, crypt, sign)
                     : ownKeysChannel(params.adminKeyName, params.serverKeyName, crypt, sign));
        ASSERT_TRUE(base.saveBase(params.adminKeyBase));
        EXPECT_EQ(refusalOf(checkAdminChannel(params)), refusal) << crypt << sign << complete;
    }
}
