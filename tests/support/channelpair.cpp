#include "support/channelpair.h"

#include <memory>
#include <stdexcept>

#include "keystore/cp1251.h"
#include "keystore/keybase.h"
#include "support/testkeys.h"

namespace TestSupport {

using Talvek::KeyBase;
using Talvek::RsaKeyRecord;
using Talvek::SecureChannel;

std::string cp(const std::string& utf8) {
    std::string out;
    if (!Talvek::utf8ToCp1251(utf8, out)) throw std::runtime_error("not Windows-1251: " + utf8);
    return out;
}

namespace {

std::unique_ptr<RsaKeyRecord> ownKey(const std::string& owner, int slot) {
    auto key = cachedPrivateKey(512, slot);
    key->setName(owner);
    return key;
}

std::unique_ptr<RsaKeyRecord> publicOf(const std::string& owner, int slot) {
    std::unique_ptr<RsaKeyRecord> out;
    if (!ownKey(owner, slot)->extractPublic(out)) throw std::runtime_error("no public part");
    return out;
}

// One side: own keys from ownSlot, the peer's public keys from peerSlot.
std::unique_ptr<SecureChannel> side(const std::string& local, const std::string& remote,
                                    int ownSlot, int peerSlot, bool crypt, bool sign) {
    auto c = std::make_unique<SecureChannel>();
    c->localName = local;
    c->remoteName = remote;
    if (crypt) {
        c->useCrypt = c->hasCryptPrivate = c->hasCryptPublic = 1;
        c->cryptSize = 512;
        c->cryptPrivateKey = ownKey(local, ownSlot);
        c->cryptPublicKey = publicOf(remote, peerSlot);
    }
    if (sign) {
        c->useSign = c->hasSignPrivate = c->hasSignPublic = 1;
        c->signSize = 512;
        c->signPrivateKey = ownKey(local, ownSlot + 1);
        c->signPublicKey = publicOf(remote, peerSlot + 1);
    }
    return c;
}

void saveOne(const std::string& path, std::unique_ptr<SecureChannel> channel) {
    KeyBase base;
    base.name = "base";
    if (!base.addChannel(std::move(channel)) || !base.saveBase(path))
        throw std::runtime_error("cannot write " + path);
}

}  // namespace

void writeChannelPair(const std::string& adminBase, const std::string& serverBase,
                      const std::string& adminName, const std::string& serverName, bool crypt,
                      bool sign) {
    saveOne(adminBase, side(adminName, serverName, 40, 42, crypt, sign));
    saveOne(serverBase, side(serverName, adminName, 42, 40, crypt, sign));
}

void writeInterfaceBase(const std::string& path, const std::string& localName, int channels) {
    KeyBase base;
    base.name = "interface";
    for (int i = 0; i < channels; ++i) {
        if (!base.addChannel(completeChannel(localName, "user" + std::to_string(i), true, true)))
            throw std::runtime_error("cannot add a channel");
    }
    if (!base.saveBase(path)) throw std::runtime_error("cannot write " + path);
}

}  // namespace TestSupport
