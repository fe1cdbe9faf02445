#include "support/messageexercise.h"

#include <cstdlib>
#include <filesystem>
#include <system_error>
#include <string>
#include <vector>

#include "sealing/message.h"
#include "support/tempdir.h"
#include "support/testkeys.h"

namespace TestSupport {

using Talvek::KeyBase;
using Talvek::RsaKeyRecord;
using Talvek::SecureChannel;

namespace {

const char* kindName(MessageKind kind) {
    switch (kind) {
        case MessageKind::Crypt:
            return "crypt";
        case MessageKind::Sign:
            return "sign";
        case MessageKind::Both:
            return "both";
        case MessageKind::Plain:
            break;
    }
    return "plain";
}

std::unique_ptr<RsaKeyRecord> publicOf(const std::unique_ptr<RsaKeyRecord>& key) {
    std::unique_ptr<RsaKeyRecord> out;
    if (!key || !key->extractPublic(out)) return nullptr;
    return out;
}

// Key files are opened for writing and locked while they are read: each
// process works on its own copy, so parallel tests and fuzzing jobs never
// find the base held by another.
struct PrivateCopy {
    PrivateCopy() {
        const std::string source = std::string(TALVEK_FUZZ_DIR) + "/message-keys.key_base";
        path = dir.file("message-keys.key_base");
        std::error_code error;
        if (!std::filesystem::copy_file(source, path, error)) std::abort();
    }
    TempDir dir;
    std::string path;
};

}  // namespace

std::string senderName(MessageKind kind) {
    return std::string(kindName(kind)) + "-A";
}

std::string receiverName(MessageKind kind) {
    return std::string(kindName(kind)) + "-B";
}

bool makeMessageKeyBase(const std::string& path) {
    KeyBase base;
    base.name = "fuzz";
    for (int k = 0; k < kMessageKinds; ++k) {
        const auto kind = static_cast<MessageKind>(k);
        const bool crypt = kind == MessageKind::Crypt || kind == MessageKind::Both;
        const bool sign = kind == MessageKind::Sign || kind == MessageKind::Both;
        auto a = ownKeysChannel(senderName(kind), receiverName(kind), crypt, sign, 512, 2 * k);
        auto b = ownKeysChannel(receiverName(kind), senderName(kind), crypt, sign, 512, 2 * k + 1);
        if (crypt) {
            a->cryptPublicKey = publicOf(b->cryptPrivateKey);
            b->cryptPublicKey = publicOf(a->cryptPrivateKey);
            a->hasCryptPublic = b->hasCryptPublic = 1;
        }
        if (sign) {
            a->signPublicKey = publicOf(b->signPrivateKey);
            b->signPublicKey = publicOf(a->signPrivateKey);
            a->hasSignPublic = b->hasSignPublic = 1;
        }
        base.addChannel(std::move(a));
        base.addChannel(std::move(b));
    }
    return base.saveBase(path).ok();
}

std::string messageKeyBasePath() {
    static const PrivateCopy copy;
    return copy.path;
}

const KeyBase& messageKeyBase() {
    static const KeyBase* base = [] {
        auto* loaded = new KeyBase;
        if (!loaded->loadBase(messageKeyBasePath())) std::abort();
        return loaded;
    }();
    return *base;
}

bool exerciseSealedMessage(const uint8_t* data, size_t size) {
    if (size < 1) return false;
    const auto kind = static_cast<MessageKind>(data[0] % kMessageKinds);
    const SecureChannel* channel =
        messageKeyBase().findChannel(receiverName(kind), senderName(kind));
    if (!channel) std::abort();
    const char* text = reinterpret_cast<const char*>(data + 1);
    std::vector<uint8_t> plain;
    std::string signature;
    const bool opened = Talvek::openMessage(*channel, text, size - 1, plain, &signature);
    if (!opened) {
        if (!plain.empty() || !signature.empty()) std::abort();
        return false;
    }
    // A message that opened on a signing channel carries a signature over
    // exactly the data it gave, and nothing opens to no data.
    if (plain.empty()) std::abort();
    if (channel->useSign) {
        std::string again;
        if (!Talvek::verifyMessageSignature(*channel, text, size - 1, plain.data(), plain.size(),
                                            &again) ||
            again != signature) {
            std::abort();
        }
    }
    return true;
}

}  // namespace TestSupport
