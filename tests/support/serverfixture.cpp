#include "support/serverfixture.h"

#include <filesystem>
#include <stdexcept>

#include "keystore/cp1251.h"
#include "keystore/keybase.h"
#include "support/testkeys.h"

namespace TestSupport {

using Talvek::KeyBase;
using Talvek::RsaKeyRecord;
using Talvek::SecureChannel;

void CryptoServerFixture::SetUp() {
    adminBase = dir.file("admin.key_base");
    serverBase = dir.file("server.key_base");
    folder = dir.file("interfaces");
    std::filesystem::create_directory(folder);
    adminName = cp("Администратор");
    serverName = cp("Криптосервер");
    writeChannelPair(adminBase, serverBase, adminName, serverName, true, true);
    writeInterfaceBase(interfaceFile("main"), "main", 2);
    writeInterfaceBase(interfaceFile("Касса"), cp("Касса"), 1);

    config.serverBase = serverBase;
    config.serverName = serverName;
    config.folder = folder;
    service = std::make_unique<Talvek::CryptoServer>(config);
    ASSERT_TRUE(service->start());
    server = std::make_unique<ScriptedServer>(service->port());
    ASSERT_NE(server->port(), 0);
}

void CryptoServerFixture::TearDown() {
    server.reset();
    if (service) service->stop();
}

Talvek::CryptoServerParams CryptoServerFixture::paramsFor(const std::string& localFile) const {
    Talvek::CryptoServerParams p;
    p.address = "127.0.0.1";
    p.port = server->port();
    p.serverKeyName = serverName;
    p.adminKeyName = adminName;
    p.adminKeyBase = adminBase;
    p.interfaceName = "main";
    p.localFile = localFile;
    // Misbehaving servers should not cost the test minutes.
    p.idleLimitMs = 3000;
    return p;
}

std::string CryptoServerFixture::interfaceFile(const std::string& utf8Name) const {
    return folder + "/" + utf8Name + ".key_base";
}

}  // namespace TestSupport
