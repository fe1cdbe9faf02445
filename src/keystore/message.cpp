#include "keystore/message.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string_view>

#include <openssl/crypto.h>

#include "keystore/base64.h"
#include "keystore/rsakeyrecord.h"

namespace Talvek {

namespace {

constexpr size_t kDigestSize = 16;
constexpr size_t kMessageKeySize = 16;

bool isSetKey(const std::unique_ptr<RsaKeyRecord>& key) {
    return key && key->isSet();
}

std::string hexText(const uint8_t* bytes, size_t length) {
    std::string out;
    out.reserve(2 * length);
    char pair[3];
    for (size_t i = 0; i < length; ++i) {
        std::snprintf(pair, sizeof pair, "%2.2X", static_cast<unsigned>(bytes[i]));
        out += pair;
    }
    return out;
}

// The message key is wiped whichever way the function is left.
struct MessageKey {
    uint8_t bytes[kMessageKeySize] = {};
    ~MessageKey() { OPENSSL_cleanse(bytes, sizeof bytes); }
};

// Base64 of a sealed message, taken only in the exact form the sealing side
// writes (line breaks and blanks aside). The decoder alone would accept a
// changed text that decodes to the same bytes (a flipped unused low bit of
// the last character, a dropped tail, bytes after the padding), and a changed
// text must never open.
bool decodeSealed(const char* text, size_t length, std::vector<uint8_t>& decoded) {
    if (!text) return false;
    if (!base64Decode(std::string_view(text, length), decoded)) return false;
    // Text as the sealing side writes it (no blanks) is checked without
    // encoding it all again: whole groups of four alphabet characters map one
    // to one onto three bytes, so only the count and the padded last group
    // can differ from the exact form.
    if (length % 4 == 0 && std::memchr(text, '\n', length) == nullptr &&
        std::memchr(text, '\r', length) == nullptr && std::memchr(text, ' ', length) == nullptr &&
        std::memchr(text, '\t', length) == nullptr) {
        const size_t pads = length == 0 ? 0 : (text[length - 1] == '=') + (text[length - 2] == '=');
        if (decoded.size() != length / 4 * 3 - pads) return false;
        if (length == 0) return true;
        const size_t tail = 3 - pads;
        const std::string last = base64Encode(decoded.data() + decoded.size() - tail, tail);
        return std::memcmp(last.data(), text + length - 4, 4) == 0;
    }
    // Compared as it is re-encoded, skipping what the decoder skips silently.
    const std::string canonical = base64Encode(decoded.data(), decoded.size());
    size_t at = 0;
    for (size_t i = 0; i < length; ++i) {
        const char c = text[i];
        if (c == '\r' || c == '\n' || c == ' ' || c == '\t') continue;
        if (at >= canonical.size() || canonical[at] != c) return false;
        ++at;
    }
    return at == canonical.size();
}

// A key the channel holds, or says it holds, for a use it has. Such a key
// that is not whole (its record cut short in the file, numbers missing or not
// belonging together) must not quietly switch the use off: the data would go
// out unsigned or in clear.
enum class Slot { Private, Public };

bool damagedKey(bool use, uint8_t has, const std::unique_ptr<RsaKeyRecord>& key, Slot slot) {
    if (!use || (!has && !key)) return false;
    if (!key || !key->isSet()) return true;
    return slot == Slot::Private ? !key->hasCompletePrivate() : !key->hasPlausiblePublic();
}

}  // namespace

MessageProtection sealProtection(const SecureChannel& channel) {
    MessageProtection p;
    p.sign = channel.useSign && isSetKey(channel.signPrivateKey) && isSetKey(channel.signPublicKey);
    p.encrypt =
        channel.useCrypt && isSetKey(channel.cryptPublicKey) && isSetKey(channel.cryptPrivateKey);
    p.damaged =
        damagedKey(channel.useSign, channel.hasSignPrivate, channel.signPrivateKey,
                   Slot::Private) ||
        damagedKey(channel.useSign, channel.hasSignPublic, channel.signPublicKey, Slot::Public) ||
        damagedKey(channel.useCrypt, channel.hasCryptPublic, channel.cryptPublicKey,
                   Slot::Public) ||
        damagedKey(channel.useCrypt, channel.hasCryptPrivate, channel.cryptPrivateKey,
                   Slot::Private);
    return p;
}

MessageProtection openProtection(const SecureChannel& channel) {
    MessageProtection p;
    p.sign = channel.useSign && isSetKey(channel.signPublicKey);
    p.encrypt = channel.useCrypt && isSetKey(channel.cryptPrivateKey);
    p.damaged =
        damagedKey(channel.useSign, channel.hasSignPublic, channel.signPublicKey, Slot::Public) ||
        damagedKey(channel.useCrypt, channel.hasCryptPrivate, channel.cryptPrivateKey,
                   Slot::Private);
    return p;
}

bool channelProtects(const SecureChannel& channel) {
    return sealProtection(channel).any() && openProtection(channel).any();
}

bool sealMessage(const SecureChannel& channel, const uint8_t* data, size_t length,
                 std::string& sealed, std::string* signatureHex) {
    sealed.clear();
    if (signatureHex) signatureHex->clear();
    if (!data || length < 1) return false;

    const MessageProtection p = sealProtection(channel);
    if (p.damaged) return false;
    const size_t signSize = p.sign ? static_cast<size_t>(channel.signPrivateKey->sizeBytes()) : 0;
    const size_t cryptSize =
        p.encrypt ? static_cast<size_t>(channel.cryptPublicKey->sizeBytes()) : 0;
    if ((p.sign && signSize == 0) || (p.encrypt && cryptSize == 0)) return false;
    const size_t lead = signSize + (p.encrypt ? kDigestSize + cryptSize : 0);
    std::vector<uint8_t> buffer(lead + length, 0);

    uint8_t digest[kDigestSize] = {};
    if (p.any() && !md5Digest(data, length, digest)) return false;

    size_t at = 0;
    std::string signature;
    if (p.sign) {
        unsigned written = 0;
        if (!signDigest(*channel.signPrivateKey, digest, buffer.data(), &written) ||
            written != signSize) {
            return false;
        }
        if (signatureHex) signature = hexText(buffer.data(), signSize);
        at = signSize;
    }
    if (p.encrypt) {
        MessageKey key;
        if (!makeSessionKey(key.bytes) ||
            !rc4Transform(key.bytes, kDigestSize, digest, buffer.data() + at)) {
            return false;
        }
        at += kDigestSize;
        int written = 0;
        if (!publicEncrypt(*channel.cryptPublicKey, key.bytes, kMessageKeySize, buffer.data() + at,
                           &written) ||
            static_cast<size_t>(written) != cryptSize) {
            return false;
        }
        at += cryptSize;
        if (!rc4Transform(key.bytes, length, data, buffer.data() + at)) return false;
    } else {
        std::memcpy(buffer.data() + at, data, length);
    }

    sealed = base64Encode(buffer.data(), buffer.size());
    if (sealed.empty()) return false;
    if (signatureHex) *signatureHex = std::move(signature);
    return true;
}

bool openMessage(const SecureChannel& channel, const char* text, size_t length,
                 std::vector<uint8_t>& data, std::string* signatureHex) {
    data.clear();
    if (signatureHex) signatureHex->clear();
    std::vector<uint8_t> decoded;
    if (!decodeSealed(text, length, decoded)) return false;

    const MessageProtection p = openProtection(channel);
    if (p.damaged) return false;
    const size_t signSize = p.sign ? static_cast<size_t>(channel.signPublicKey->sizeBytes()) : 0;
    const size_t cryptSize =
        p.encrypt ? static_cast<size_t>(channel.cryptPrivateKey->sizeBytes()) : 0;
    if ((p.sign && signSize == 0) || (p.encrypt && cryptSize == 0)) return false;
    if (p.sign && decoded.size() <= signSize) return false;
    const size_t lead = signSize + (p.encrypt ? kDigestSize + cryptSize : 0);
    if (decoded.size() <= lead) return false;

    const uint8_t* body = decoded.data() + lead;
    const size_t bodyLength = decoded.size() - lead;
    std::vector<uint8_t> plain(bodyLength);
    uint8_t digest[kDigestSize] = {};
    if (p.encrypt) {
        // Room for whatever the decryption gives; a message key is 16 bytes.
        std::vector<uint8_t> keyOut(cryptSize);
        int keyLength = 0;
        const uint8_t* encryptedKey = decoded.data() + signSize + kDigestSize;
        const bool decrypted =
            privateDecrypt(*channel.cryptPrivateKey, encryptedKey, static_cast<int>(cryptSize),
                           keyOut.data(), &keyLength);
        if (!decrypted || keyLength != static_cast<int>(kMessageKeySize)) {
            OPENSSL_cleanse(keyOut.data(), keyOut.size());
            return false;
        }
        MessageKey key;
        std::memcpy(key.bytes, keyOut.data(), kMessageKeySize);
        OPENSSL_cleanse(keyOut.data(), keyOut.size());
        uint8_t storedDigest[kDigestSize] = {};
        if (!rc4Transform(key.bytes, bodyLength, body, plain.data()) ||
            !md5Digest(plain.data(), plain.size(), digest) ||
            !rc4Transform(key.bytes, kDigestSize, decoded.data() + signSize, storedDigest) ||
            CRYPTO_memcmp(digest, storedDigest, kDigestSize) != 0) {
            return false;
        }
    } else {
        std::memcpy(plain.data(), body, bodyLength);
        if (p.sign && !md5Digest(plain.data(), plain.size(), digest)) return false;
    }
    if (p.sign) {
        if (!verifyDigest(*channel.signPublicKey, digest, decoded.data(),
                          static_cast<unsigned>(signSize))) {
            return false;
        }
        if (signatureHex) *signatureHex = hexText(decoded.data(), signSize);
    }
    data = std::move(plain);
    return true;
}

bool verifyMessageSignature(const SecureChannel& channel, const char* text, size_t textLength,
                            const uint8_t* data, size_t dataLength, std::string* signatureHex) {
    if (signatureHex) signatureHex->clear();
    if (!channel.useSign || !isSetKey(channel.signPublicKey)) return false;
    if (!data && dataLength > 0) return false;
    std::vector<uint8_t> decoded;
    if (!decodeSealed(text, textLength, decoded)) return false;
    const size_t signSize = static_cast<size_t>(channel.signPublicKey->sizeBytes());
    if (signSize == 0 || decoded.size() <= signSize) return false;
    uint8_t digest[kDigestSize] = {};
    if (!md5Digest(data, dataLength, digest) ||
        !verifyDigest(*channel.signPublicKey, digest, decoded.data(),
                      static_cast<unsigned>(signSize))) {
        return false;
    }
    if (signatureHex) *signatureHex = hexText(decoded.data(), signSize);
    return true;
}

}  // namespace Talvek
