#pragma once
// A crypto server on a thread of its own, with the administrator's channel
// and its mirror built from cached keys, and a folder of interface bases.

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "cryptoserver/cryptoserverclient.h"
#include "cryptoserver/server/cryptoserver.h"
#include "support/tempdir.h"

namespace TestSupport {

// Windows-1251 bytes of a UTF-8 literal.
std::string cp(const std::string& utf8);

// Writes two bases: the administrator's (admin -> server) and the server's
// mirror (server -> admin), each with its own key pairs and the other's
// public keys for the uses asked for.
void writeChannelPair(const std::string& adminBase, const std::string& serverBase,
                      const std::string& adminName, const std::string& serverName, bool crypt,
                      bool sign);

// A key base with `channels` channels under the local name, as an interface
// of the server keeps it.
void writeInterfaceBase(const std::string& path, const std::string& localName, int channels);

class CryptoServerFixture : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // params aimed at the running server, for the given local file.
    Talvek::CryptoServerParams paramsFor(const std::string& localFile = {}) const;
    std::string interfaceFile(const std::string& utf8Name) const;

    TempDir dir;
    std::string adminBase, serverBase, folder;
    std::string adminName, serverName;
    // What the running server was started with, for tests that start
    // another one with different limits.
    Talvek::CryptoServerConfig config;
    std::unique_ptr<Talvek::CryptoServer> server;
};

}  // namespace TestSupport
