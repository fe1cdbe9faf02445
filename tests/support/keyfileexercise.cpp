#include "support/keyfileexercise.h"

#include <cstdio>
#include <cstdlib>

#include "keystore/encoding.h"
#include "keystore/keybase.h"

namespace TestSupport {

using namespace Talvek;

namespace {

void require(bool condition, const char* what) {
    if (condition) return;
    std::fprintf(stderr, "key file invariant broken: %s\n", what);
    std::abort();
}

// Large moduli make private operations slow without finding anything new.
constexpr int kMaxCryptoBytes = 256;

void useKey(const RsaKeyRecord& key) {
    for (const BIGNUM* b :
         {key.n(), key.e(), key.d(), key.p(), key.q(), key.dmp1(), key.dmq1(), key.iqmp()}) {
        if (b) require(!bigNumHex(b).empty(), "a present number has a hex form");
    }
    const int size = key.sizeBytes();
    if (size > kMaxCryptoBytes) return;
    const uint8_t digest[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    uint8_t signature[kMaxCryptoBytes];
    unsigned signatureLength = 0;
    if (signDigest(key, digest, signature, &signatureLength)) {
        require(key.hasCompletePrivate(), "only complete keys sign");
        require(verifyDigest(key, digest, signature, signatureLength), "own signature verifies");
    }
    uint8_t sealed[kMaxCryptoBytes];
    int sealedLength = 0;
    if (publicEncrypt(key, digest, sizeof digest, sealed, &sealedLength)) {
        require(key.hasPlausiblePublic(), "only plausible keys encrypt");
        uint8_t opened[kMaxCryptoBytes];
        int openedLength = 0;
        if (privateDecrypt(key, sealed, sealedLength, opened, &openedLength)) {
            require(openedLength == 16, "decryption gives the message back");
        }
    }
    std::unique_ptr<RsaKeyRecord> pub;
    if (key.extractPublic(pub)) require(pub && pub->isSet(), "an extracted part is set");
}

void useChannel(const SecureChannel& channel) {
    ChannelSummary summary;
    channel.toSummary(&summary);
    for (const auto* key : {channel.cryptPublicKey.get(), channel.cryptPrivateKey.get(),
                            channel.signPrivateKey.get(), channel.signPublicKey.get()}) {
        if (key) useKey(*key);
    }
}

int listed(const KeyBase& base) {
    KeyBaseSummary header;
    std::vector<ChannelSummary> channels;
    const bool any = base.listChannels(header, channels);
    require(any == (header.channelCount > 0), "listing reports its channels");
    require(channels.size() == static_cast<size_t>(any ? header.channelCount : 0),
            "listing holds every channel");
    return header.channelCount;
}

}  // namespace

KeyFileKind exerciseKeyFile(const std::string& path, const std::string& scratchDir) {
    KeyBase base;
    if (base.loadBase(path)) {
        const int count = listed(base);
        for (const auto& [name, node] : base.nodes) {
            for (const auto& [remote, channel] : node->channels) useChannel(*channel);
        }
        if (!scratchDir.empty() && base.saveBase(scratchDir + "/base")) {
            KeyBase back;
            require(back.loadBase(scratchDir + "/base").ok(), "a saved base loads");
            require(listed(back) == count, "a saved base keeps its channels");
        }
        return KeyFileKind::Base;
    }

    FileReader file;
    if (!file.openExisting(path)) return KeyFileKind::Neither;
    SecureChannel channel;
    if (!channel.readChannel(file)) return KeyFileKind::Neither;
    file.close();
    useChannel(channel);
    if (!scratchDir.empty()) {
        FileWriter out;
        if (out.create(scratchDir + "/channel")) {
            const bool written = channel.writeChannel(out);
            if (out.close() && written) {
                FileReader in;
                SecureChannel back;
                require(in.openExisting(scratchDir + "/channel") && back.readChannel(in),
                        "a written channel reads back");
                require(back.localName == channel.localName &&
                            back.remoteName == channel.remoteName &&
                            back.cryptSize == channel.cryptSize,
                        "a written channel keeps its fields");
            }
        }
    }
    return KeyFileKind::Channel;
}

}  // namespace TestSupport
