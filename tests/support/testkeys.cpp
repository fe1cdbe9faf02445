#include "support/testkeys.h"

#include <map>
#include <stdexcept>
#include <utility>

namespace TestSupport {

using Talvek::RsaKeyRecord;
using Talvek::SecureChannel;

std::unique_ptr<RsaKeyRecord> cachedPrivateKey(int bits, int slot) {
    static std::map<std::pair<int, int>, std::unique_ptr<RsaKeyRecord>> cache;
    auto& key = cache[{bits, slot}];
    if (!key) {
        key = std::make_unique<RsaKeyRecord>();
        if (!key->generate("cached", bits)) throw std::runtime_error("key generation failed");
    }
    return key->clone();
}

namespace {

// The cached key under the owner's name, as a generated key would carry it.
std::unique_ptr<RsaKeyRecord> ownedKey(const std::string& owner, int bits, int slot) {
    auto key = cachedPrivateKey(bits, slot);
    key->setName(owner);
    return key;
}

}  // namespace

std::unique_ptr<SecureChannel> ownKeysChannel(const std::string& local, const std::string& remote,
                                              bool crypt, bool sign, int bits, int slot) {
    auto channel = std::make_unique<SecureChannel>();
    channel->localName = local;
    channel->remoteName = remote;
    if (crypt) {
        channel->useCrypt = 1;
        channel->cryptPrivateKey = ownedKey(local, bits, 2 * slot);
        channel->hasCryptPrivate = 1;
        channel->cryptSize = static_cast<uint32_t>(bits);
    }
    if (sign) {
        channel->useSign = 1;
        channel->signPrivateKey = ownedKey(local, bits, 2 * slot + 1);
        channel->hasSignPrivate = 1;
        channel->signSize = static_cast<uint32_t>(bits);
    }
    return channel;
}

std::unique_ptr<SecureChannel> completeChannel(const std::string& local, const std::string& remote,
                                               bool crypt, bool sign, int bits, int slot) {
    auto channel = ownKeysChannel(local, remote, crypt, sign, bits, slot);
    // The peer's keys come from other slots, so the two sides differ.
    if (crypt) {
        std::unique_ptr<RsaKeyRecord> peer;
        ownedKey(remote, bits, 2 * slot + 100)->extractPublic(peer);
        channel->cryptPublicKey = std::move(peer);
        channel->hasCryptPublic = 1;
    }
    if (sign) {
        std::unique_ptr<RsaKeyRecord> peer;
        ownedKey(remote, bits, 2 * slot + 101)->extractPublic(peer);
        channel->signPublicKey = std::move(peer);
        channel->hasSignPublic = 1;
    }
    return channel;
}

}  // namespace TestSupport
