#include "cryptoserver/serverkeys.h"

#include <sys/stat.h>

#include "keystore/keybase.h"
#include "keystore/secureexception.h"
#include "sealing/talvekcodec.h"

namespace Talvek {

namespace {

// The file's identity and time stamp: a change means a reload.
std::string fileStamp(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return {};
    return std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino) + ":" +
           std::to_string(st.st_size) + ":" + std::to_string(st.st_mtim.tv_sec) + "." +
           std::to_string(st.st_mtim.tv_nsec);
}

}  // namespace

std::shared_ptr<const KeyBase> ServerKeys::current() {
    const std::string stamp = fileStamp(serverBase_);
    std::lock_guard lock(mutex_);
    if (keys_ && stamp == stamp_) return keys_;
    auto base = std::make_shared<KeyBase>();
    try {
        if (!base->loadBase(serverBase_)) return keys_;
        // The OpenSSL objects are built now, once, so that the requests
        // served at the same time only read them.
        for (const auto& [local, node] : base->nodes) {
            for (const auto& [remote, channel] : node->channels) {
                for (const auto* key :
                     {channel->signPrivateKey.get(), channel->cryptPrivateKey.get()})
                    if (key) key->privateKey();
                for (const auto* key :
                     {channel->signPublicKey.get(), channel->cryptPublicKey.get()})
                    if (key) key->publicKey();
            }
        }
    } catch (const SecureException&) {
        return keys_;
    }
    keys_ = std::move(base);
    stamp_ = stamp;
    return keys_;
}

const SecureChannel* ServerKeys::channelFor(const KeyBase& keys,
                                            const std::string& adminName) const {
    if (adminName.empty()) return nullptr;
    if (!adminName_.empty() && adminName != adminName_) return nullptr;
    const SecureChannel* channel = keys.findChannel(serverName_, adminName);
    return channel && codecAccepts(*channel) ? channel : nullptr;
}

}  // namespace Talvek
