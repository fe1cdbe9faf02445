#pragma once
// Key material for tests and benchmarks. RSA generation is slow under the
// sanitizers, so each (bits, slot) pair is generated once per process and
// handed out as copies.

#include <memory>
#include <string>

#include "keystore/keybase.h"
#include "keystore/rsakeyrecord.h"

namespace TestSupport {

// A private key of the given size; the same numbers for the same slot.
std::unique_ptr<Talvek::RsaKeyRecord> cachedPrivateKey(int bits, int slot = 0);

// A channel as newLocalChannel makes it (own key pairs only), from cached keys.
std::unique_ptr<Talvek::SecureChannel> ownKeysChannel(const std::string& local,
                                                      const std::string& remote, bool crypt,
                                                      bool sign, int bits = 512, int slot = 0);

// A complete channel: own key pairs and the peer's public keys for each use.
std::unique_ptr<Talvek::SecureChannel> completeChannel(const std::string& local,
                                                       const std::string& remote, bool crypt,
                                                       bool sign, int bits = 512, int slot = 0);

}  // namespace TestSupport
