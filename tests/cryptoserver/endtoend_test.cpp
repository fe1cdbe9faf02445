// The administrator's whole round: the channel made by the three-step key
// exchange, then list, fetch, change, upload and fetch again.

#include <filesystem>

#include <gtest/gtest.h>

#include "cryptoclient/cryptoserverclient.h"
#include "support/serverfixture.h"
#include "cryptoserver/cryptoserver.h"
#include "sealing/talvekcodec.h"
#include "keystore/keybase.h"
#include "keystore/keyops.h"

using namespace Talvek;
using namespace TestSupport;

TEST(CryptoServerEndToEnd, ExchangedChannelCarriesListFetchChangeUpload) {
    TempDir dir;
    const std::string admin = cp("Администратор");
    const std::string serverName = cp("Криптосервер");
    const std::string serverBase = dir.file("server.key_base");
    const std::string adminBase = dir.file("admin.key_base");

    // 1. The server makes its keys for the administrator.
    KeyWizardData step1;
    step1.mode = NewUserServerKey;
    step1.baseFile = serverBase;
    step1.exportFile = dir.file("openserv.okp");
    step1.serverKeyName = serverName;
    step1.userKeyName = admin;
    step1.useCrypt = step1.useSign = true;
    step1.cryptSize = step1.signSize = 512;
    ASSERT_TRUE(createServerKey(step1));
    // 2. The administrator completes his side with the server's public part.
    KeyWizardData step2;
    step2.mode = CreateUserKey;
    step2.baseFile = adminBase;
    step2.importFile = step1.exportFile;
    step2.exportFile = dir.file("openuser.okp");
    ASSERT_TRUE(readImportedChannel(step2));
    ASSERT_TRUE(createUserKey(step2, dir.file("javaclient.bin")));
    // 3. The server completes its side with the administrator's public part.
    KeyWizardData step3;
    step3.mode = ImportUserPart;
    step3.baseFile = serverBase;
    step3.importFile = step2.exportFile;
    ASSERT_TRUE(readImportedChannel(step3));
    ASSERT_TRUE(importUserPublicPart(step3));

    const std::string folder = dir.file("interfaces");
    std::filesystem::create_directory(folder);
    writeInterfaceBase(folder + "/Касса.key_base", cp("Касса"), 3);
    writeInterfaceBase(folder + "/main.key_base", "main", 1);

    CryptoServerConfig config;
    config.serverBase = serverBase;
    config.serverName = serverName;
    config.adminName = admin;
    config.folder = folder;
    CryptoServer server(config);
    ASSERT_TRUE(server.start());

    CryptoServerParams params;
    params.address = "localhost";
    params.port = server.port();
    params.serverKeyName = serverName;
    params.adminKeyName = admin;
    params.adminKeyBase = adminBase;
    std::string message;
    ASSERT_TRUE(listInterfaces(params, &message)) << message;
    const auto names = splitInterfaceList(params.interfaceList.data(), params.interfaceList.size());
    ASSERT_EQ(names, (std::vector<std::string>{"main", cp("Касса")}));

    params.operation = ServerCode::FetchKeyBase;
    params.interfaceName = names[1];  // byte order: Windows-1251 letters sort last
    params.localFile = dir.file("kassa.key_base");
    ASSERT_TRUE(fetchKeyBase(params, &message)) << message;

    KeyBase base;
    ASSERT_TRUE(base.loadBase(params.localFile));
    ASSERT_EQ(base.channelCount(), 3);
    ASSERT_TRUE(base.deleteChannel(cp("Касса"), "user1"));
    ASSERT_TRUE(base.saveBase(params.localFile));
    const auto changed = readBytes(params.localFile);

    params.operation = ServerCode::UploadKeyBase;
    ASSERT_TRUE(uploadKeyBase(params, &message)) << message;
    EXPECT_EQ(message, "Новая база ключей установлена на сервере как\n\"Касса.key_base\"");

    params.operation = ServerCode::FetchKeyBase;
    params.localFile = dir.file("again.key_base");
    ASSERT_TRUE(fetchKeyBase(params, &message)) << message;
    EXPECT_EQ(readBytes(params.localFile), changed);
    KeyBase again;
    ASSERT_TRUE(again.loadBase(params.localFile));
    EXPECT_EQ(again.channelCount(), 2);
    EXPECT_FALSE(again.findChannel(cp("Касса"), "user1"));

    // Another administrator of the same server has no rights here.
    params.adminKeyName = cp("Гость");
    params.adminKeyBase = dir.file("guest.key_base");
    writeChannelPair(params.adminKeyBase, dir.file("guest-server.key_base"), params.adminKeyName,
                     serverName, true, true);
    EXPECT_FALSE(listInterfaces(params, &message));
    EXPECT_EQ(message, "Сервер сообщил об ошибке:\n" + serverErrorText(100) + "!");
}
