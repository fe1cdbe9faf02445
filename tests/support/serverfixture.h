#pragma once
// A crypto server on a thread of its own, with the administrator's channel
// and its mirror built from cached keys, and a folder of interface bases;
// clients talk to it through a scripted server that can be told to
// misbehave.

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "cryptoclient/cryptoserverclient.h"
#include "cryptoserver/cryptoserver.h"
#include "support/channelpair.h"
#include "support/exchangewords.h"
#include "support/scriptedserver.h"
#include "support/tempdir.h"

namespace TestSupport {

class CryptoServerFixture : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // params aimed at the scripted server, for the given local file.
    Talvek::CryptoServerParams paramsFor(const std::string& localFile = {}) const;
    std::string interfaceFile(const std::string& utf8Name) const;

    TempDir dir;
    std::string adminBase, serverBase, folder;
    std::string adminName, serverName;
    // What the running server was started with, for tests that start
    // another one with different limits.
    Talvek::CryptoServerConfig config;
    std::unique_ptr<Talvek::CryptoServer> service;
    // In front of service: what paramsFor aims at.
    std::unique_ptr<ScriptedServer> server;
};

}  // namespace TestSupport
