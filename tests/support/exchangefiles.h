#pragma once
// The files of one key exchange in a fresh folder, under the names the
// program offers: the server's base, the user's key base, the two public
// parts and the Java client's key file.

#include <string>

#include "support/tempdir.h"

namespace TestSupport {

struct ExchangeFiles {
    TempDir dir;
    std::string serverBase = dir.file("server.key_base");
    std::string userBase = dir.file("userkey.bin");
    std::string servPart = dir.file("openserv.okp");
    std::string userPart = dir.file("openuser.okp");
    std::string java = dir.file("javaclient.bin");
};

}  // namespace TestSupport
