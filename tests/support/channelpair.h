#pragma once
// The administrator's channel and the crypto server's mirror of it, and the
// interface bases a server serves, built from cached keys.

#include <string>

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

}  // namespace TestSupport
