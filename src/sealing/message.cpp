#include "sealing/message.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>

#include "keystore/base64.h"
#include "keystore/rsakeyrecord.h"
#include "sealing/boundedrelay.h"

namespace Talvek {

namespace {

constexpr size_t kDigestSize = 16;
constexpr size_t kMessageKeySize = 16;

// The message key that stands in for one that does not decrypt: the first
// 16 bytes of HMAC-SHA-256 of the encrypted key under a secret of this
// process, so the same block always opens the same (wrong) way.
bool rejectionKey(const uint8_t* encryptedKey, size_t length, uint8_t* key) {
    static uint8_t secret[32];
    static const bool seeded = RAND_bytes(secret, sizeof secret) == 1;
    uint8_t mac[EVP_MAX_MD_SIZE];
    unsigned macLength = 0;
    const bool ok = seeded && HMAC(EVP_sha256(), secret, sizeof secret, encryptedKey, length, mac,
                                   &macLength) != nullptr &&
                    macLength >= kMessageKeySize;
    if (ok) std::memcpy(key, mac, kMessageKeySize);
    OPENSSL_cleanse(mac, sizeof mac);
    return ok;
}
// Text is made and taken in slices of this size, small enough for the cache.
constexpr size_t kSlice = 64u << 10;
// Messages this large are sealed and opened on two threads, with this many
// slices between them at most.
constexpr size_t kTwoThreads = 1u << 20;
constexpr size_t kRelaySlots = 8;

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
// writes (line breaks and blanks aside): a changed text must never open.
bool decodeSealed(const char* text, size_t length, std::vector<uint8_t>& decoded) {
    if (!text) return false;
    decoded.assign(Base64ExactReader::capacityFor(length), 0);
    Base64ExactReader reader;
    size_t written = 0;
    const bool exact = reader.feed(text, length, decoded.data(), &written) && reader.complete();
    decoded.resize(written);
    return exact;
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

bool MessageSealer::start(const SecureChannel& channel,
                          const std::vector<std::span<const uint8_t>>& parts,
                          std::string* signatureHex) {
    writable_.clear();
    return begin(channel, parts, false, signatureHex);
}

bool MessageSealer::startInPlace(const SecureChannel& channel,
                                 const std::vector<std::span<uint8_t>>& parts,
                                 std::string* signatureHex) {
    writable_.clear();
    for (const auto& part : parts) {
        if (!part.empty()) writable_.push_back(part);
    }
    return begin(channel, {parts.begin(), parts.end()}, true, signatureHex);
}

bool MessageSealer::digestParts(uint8_t* out, Rc4Stream* inPlace) {
    Md5Stream md5;
    if (!md5.start()) return false;
    // For a large message the cipher follows the digest a slice behind, on a
    // thread of its own: a slice is handed on only once it is digested.
    struct Slice {
        uint8_t* data = nullptr;
        size_t length = 0;
    };
    BoundedRelay<Slice> cipher(kRelaySlots);
    const bool twoThreads = inPlace && dataLength_ >= kTwoThreads &&
                            cipher.start([inPlace](Slice& slice) {
                                return inPlace->apply(slice.data, slice.length, slice.data);
                            });
    if (!twoThreads) {
        for (const auto& part : parts_) {
            if (!md5.update(part.data(), part.size())) return false;
        }
        if (!md5.finish(out)) return false;
        if (!inPlace) return true;
        for (const auto& part : writable_) {
            if (!inPlace->apply(part.data(), part.size(), part.data())) return false;
        }
        return true;
    }
    for (const auto& part : writable_) {
        for (size_t at = 0; at < part.size(); at += kSlice) {
            Slice slice{part.data() + at, std::min(kSlice, part.size() - at)};
            if (!md5.update(slice.data, slice.length) || !cipher.push(slice)) {
                cipher.finish(true);
                return false;
            }
        }
    }
    return cipher.finish() && md5.finish(out);
}

bool MessageSealer::begin(const SecureChannel& channel,
                          const std::vector<std::span<const uint8_t>>& parts, bool inPlace,
                          std::string* signatureHex) {
    lead_.clear();
    parts_.clear();
    part_ = partAt_ = dataLength_ = done_ = 0;
    encrypt_ = encrypted_ = false;
    failed_ = true;
    if (signatureHex) signatureHex->clear();
    for (const auto& part : parts) {
        if (!part.data() && !part.empty()) return false;
        if (part.empty()) continue;
        parts_.push_back(part);
        dataLength_ += part.size();
    }
    if (dataLength_ < 1) return false;

    const MessageProtection p = sealProtection(channel);
    if (p.damaged) return false;
    const size_t signSize = p.sign ? static_cast<size_t>(channel.signPrivateKey->sizeBytes()) : 0;
    const size_t cryptSize =
        p.encrypt ? static_cast<size_t>(channel.cryptPublicKey->sizeBytes()) : 0;
    if ((p.sign && signSize == 0) || (p.encrypt && cryptSize == 0)) return false;
    lead_.assign(signSize + (p.encrypt ? kDigestSize + cryptSize : 0), 0);

    // The message key comes first, so that the parts can be encrypted as
    // they are digested.
    MessageKey key;
    if (p.encrypt && (!makeSessionKey(key.bytes) || !rc4_.start(key.bytes))) return false;
    encrypted_ = inPlace && p.encrypt;
    uint8_t digest[kDigestSize] = {};
    if (p.any() && !digestParts(digest, encrypted_ ? &rc4_ : nullptr)) return false;

    size_t at = 0;
    std::string signature;
    if (p.sign) {
        unsigned written = 0;
        if (!signDigest(*channel.signPrivateKey, digest, lead_.data(), &written) ||
            written != signSize) {
            return false;
        }
        if (signatureHex) signature = hexText(lead_.data(), signSize);
        at = signSize;
    }
    if (p.encrypt) {
        if (!rc4Transform(key.bytes, kDigestSize, digest, lead_.data() + at)) return false;
        at += kDigestSize;
        int written = 0;
        if (!publicEncrypt(*channel.cryptPublicKey, key.bytes, kMessageKeySize, lead_.data() + at,
                           &written) ||
            static_cast<size_t>(written) != cryptSize) {
            return false;
        }
    }
    encrypt_ = p.encrypt;
    failed_ = false;
    if (signatureHex) *signatureHex = std::move(signature);
    return true;
}

bool MessageSealer::body(uint8_t* out, size_t length) {
    while (length > 0) {
        const auto& part = parts_[part_];
        const size_t n = std::min(length, part.size() - partAt_);
        if (encrypt_ && !encrypted_) {
            if (!rc4_.apply(part.data() + partAt_, n, out)) return false;
        } else {
            std::memcpy(out, part.data() + partAt_, n);
        }
        out += n;
        length -= n;
        partAt_ += n;
        if (partAt_ == part.size()) {
            ++part_;
            partAt_ = 0;
        }
    }
    return true;
}

size_t MessageSealer::next(char* out, size_t capacity) {
    if (failed_ || !out || capacity < 4) return 0;
    // Whole groups of three bytes but at the very end, so that the slices'
    // texts add up to the text of the whole.
    const size_t raw = std::min(capacity / 4 * 3, lead_.size() + dataLength_ - done_);
    if (raw == 0) return 0;
    if (scratch_.size() < raw) scratch_.resize(raw);
    size_t at = 0;
    if (done_ < lead_.size()) {
        at = std::min(raw, lead_.size() - done_);
        std::memcpy(scratch_.data(), lead_.data() + done_, at);
    }
    if (!body(scratch_.data() + at, raw - at)) {
        failed_ = true;
        return 0;
    }
    base64EncodeTo(scratch_.data(), raw, out);
    done_ += raw;
    return base64Length(raw);
}

bool MessageSealer::writeText(char* out) {
    const size_t length = textLength();
    size_t at = 0;
    // In slices, so that each slice's raw bytes stay in the cache.
    while (const size_t n = next(out + at, std::min(length - at, kSlice))) at += n;
    return !failed_ && at == length && length > 0;
}

// An opened slice on its way to the digest and the sink, in the buffer it
// was decoded into: the buffers go round between the two threads.
struct MessageOpener::Slice {
    SecretBytes bytes;
    size_t from = 0, length = 0;
};

MessageOpener::MessageOpener() = default;

MessageOpener::~MessageOpener() {
    stopRelay(true);
    OPENSSL_cleanse(key_, sizeof key_);
}

bool MessageOpener::stopRelay(bool drop) {
    if (!relay_) return true;
    const bool ok = relay_->finish(drop);
    relay_.reset();
    return ok;
}

bool MessageOpener::relay(size_t from, size_t length) {
    // The decoded slice goes round as it is; the slot's old buffer takes
    // the next one.
    Slice slice{std::move(raw_), from, length};
    const bool handed = relay_->push(slice);
    raw_ = std::move(slice.bytes);
    return handed;
}

bool MessageOpener::fail() {
    stopRelay(true);
    failed_ = true;
    data_.clear();
    OPENSSL_cleanse(key_, sizeof key_);
    rc4_ = Rc4Stream();
    return false;
}

bool MessageOpener::start(const SecureChannel& channel, size_t expectedText, Sink sink) {
    fail();
    channel_ = &channel;
    sink_ = std::move(sink);
    opened_ = 0;
    lead_.clear();
    text_ = Base64ExactReader();
    protection_ = openProtection(channel);
    if (protection_.damaged) return false;
    signSize_ = protection_.sign ? static_cast<size_t>(channel.signPublicKey->sizeBytes()) : 0;
    cryptSize_ =
        protection_.encrypt ? static_cast<size_t>(channel.cryptPrivateKey->sizeBytes()) : 0;
    if ((protection_.sign && signSize_ == 0) || (protection_.encrypt && cryptSize_ == 0))
        return false;
    leadSize_ = signSize_ + (protection_.encrypt ? kDigestSize + cryptSize_ : 0);
    lead_.reserve(leadSize_);
    if (!sink_ && expectedText / 4 * 3 > leadSize_) data_.reserve(expectedText / 4 * 3 - leadSize_);
    if (!md5_.start()) return false;
    if (sink_ && expectedText >= kTwoThreads) {
        relay_ = std::make_unique<BoundedRelay<Slice>>(kRelaySlots);
        const bool started = relay_->start([this](Slice& slice) {
            const uint8_t* data = slice.bytes.data() + slice.from;
            return md5_.update(data, slice.length) && sink_(data, slice.length);
        });
        // No thread to be had: everything is done here.
        if (!started) relay_.reset();
    }
    failed_ = false;
    return true;
}

bool MessageOpener::take(uint8_t* raw, size_t length) {
    if (lead_.size() < leadSize_) {
        const size_t n = std::min(length, leadSize_ - lead_.size());
        lead_.insert(lead_.end(), raw, raw + n);
        raw += n;
        length -= n;
        if (lead_.size() == leadSize_ && protection_.encrypt) {
            // Room for whatever the decryption gives; a message key is 16 bytes.
            SecretBytes keyOut(cryptSize_);
            int keyLength = 0;
            const uint8_t* encryptedKey = lead_.data() + signSize_ + kDigestSize;
            const bool decrypted =
                privateDecrypt(*channel_->cryptPrivateKey, encryptedKey,
                               static_cast<int>(cryptSize_), keyOut.data(), &keyLength) &&
                keyLength == static_cast<int>(kMessageKeySize);
            // Implicit rejection: a key that does not decrypt is replaced by
            // one derived from it, and opening goes on as usual, so that a
            // bad padding costs what a bad digest does and ends the same way
            // (no padding oracle).
            uint8_t derived[kMessageKeySize];
            if (!rejectionKey(encryptedKey, cryptSize_, derived)) return false;
            const uint8_t keep = static_cast<uint8_t>(0u - static_cast<unsigned>(decrypted));
            for (size_t i = 0; i < kMessageKeySize; ++i)
                key_[i] = static_cast<uint8_t>((keyOut[i] & keep) | (derived[i] & ~keep));
            OPENSSL_cleanse(derived, sizeof derived);
            if (!rc4_.start(key_)) return false;
        }
    }
    if (length == 0) return true;
    opened_ += length;
    if (sink_) {
        // Opened where it was decoded, and passed on.
        if (protection_.encrypt && !rc4_.apply(raw, length, raw)) return false;
        if (relay_) return relay(static_cast<size_t>(raw - raw_.data()), length);
        return md5_.update(raw, length) && sink_(raw, length);
    }
    const size_t at = data_.size();
    data_.resize(at + length);
    if (protection_.encrypt) {
        if (!rc4_.apply(raw, length, data_.data() + at)) return false;
    } else {
        std::memcpy(data_.data() + at, raw, length);
    }
    return md5_.update(data_.data() + at, length);
}

bool MessageOpener::feed(const char* text, size_t length) {
    if (failed_) return false;
    // In slices, so that a decoded slice is still in the cache while it is
    // decrypted and digested.
    for (size_t at = 0; at < length; at += kSlice) {
        const size_t n = std::min(kSlice, length - at);
        if (raw_.size() < Base64ExactReader::capacityFor(n))
            raw_.resize(Base64ExactReader::capacityFor(n));
        size_t written = 0;
        if (!text_.feed(text + at, n, raw_.data(), &written) || !take(raw_.data(), written))
            return fail();
    }
    return true;
}

bool MessageOpener::finish(SecretBytes& data, std::string* signatureHex) {
    data.clear();
    if (signatureHex) signatureHex->clear();
    // Whole groups, every part there and a body of at least one byte.
    if (failed_ || !stopRelay(false) || !text_.complete() || lead_.size() < leadSize_ ||
        opened_ == 0)
        return fail();
    uint8_t digest[kDigestSize] = {};
    if (!md5_.finish(digest)) return fail();
    if (protection_.encrypt) {
        // The digest is encrypted from the start of the key stream.
        uint8_t storedDigest[kDigestSize] = {};
        if (!rc4Transform(key_, kDigestSize, lead_.data() + signSize_, storedDigest) ||
            CRYPTO_memcmp(digest, storedDigest, kDigestSize) != 0)
            return fail();
    }
    if (protection_.sign) {
        if (!verifyDigest(*channel_->signPublicKey, digest, lead_.data(),
                          static_cast<unsigned>(signSize_)))
            return fail();
        if (signatureHex) *signatureHex = hexText(lead_.data(), signSize_);
    }
    data = std::move(data_);
    data_.clear();
    fail();
    return true;
}

bool sealMessage(const SecureChannel& channel, const uint8_t* data, size_t length,
                 std::string& sealed, std::string* signatureHex) {
    sealed.clear();
    if (signatureHex) signatureHex->clear();
    if (!data) return false;
    MessageSealer sealer;
    std::string signature;
    if (!sealer.start(channel, {std::span<const uint8_t>(data, length)},
                      signatureHex ? &signature : nullptr))
        return false;
    std::string text(sealer.textLength(), '\0');
    if (!sealer.writeText(text.data())) return false;
    sealed = std::move(text);
    if (signatureHex) *signatureHex = std::move(signature);
    return true;
}

bool openMessage(const SecureChannel& channel, const char* text, size_t length,
                 std::vector<uint8_t>& data, std::string* signatureHex) {
    data.clear();
    if (signatureHex) signatureHex->clear();
    if (!text) return false;
    MessageOpener opener;
    SecretBytes opened;
    if (!opener.start(channel, length) || !opener.feed(text, length) ||
        !opener.finish(opened, signatureHex))
        return false;
    data.assign(opened.begin(), opened.end());
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
