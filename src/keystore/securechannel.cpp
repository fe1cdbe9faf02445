#include "keystore/securechannel.h"

#include <algorithm>
#include <cstring>

#include "keystore/encoding.h"
#include "keystore/fingerprint.h"

namespace Talvek {

namespace {

bool readKeySlot(FileReader& file, std::unique_ptr<RsaKeyRecord>& slot, KeyParts parts) {
    slot = std::make_unique<RsaKeyRecord>();
    return slot->readKey(file, parts);
}

uint32_t bitsOf(const std::unique_ptr<RsaKeyRecord>& key) {
    return key ? 8u * static_cast<uint32_t>(key->sizeBytes()) : 0u;
}

}  // namespace

bool isChannelComplete(const ChannelSummary& channel) {
    if (!channel.useCrypt && !channel.useSign) return false;
    if (channel.useCrypt && !(channel.hasCryptPrivate && channel.hasCryptPublic)) return false;
    if (channel.useSign && !(channel.hasSignPrivate && channel.hasSignPublic)) return false;
    return true;
}

void copyCut31(char (&target)[32], const std::string& source) {
    const size_t n = std::min<size_t>(source.size(), 31);
    std::memcpy(target, source.data(), n);
    std::memset(target + n, 0, sizeof target - n);
}

void SecureChannel::resetChannel() {
    useCrypt = useSign = 0;
    hasCryptPrivate = hasCryptPublic = hasSignPrivate = hasSignPublic = 0;
    cryptSize = signSize = 0;
    localName.clear();
    remoteName.clear();
    cryptPublicKey.reset();
    cryptPrivateKey.reset();
    signPrivateKey.reset();
    signPublicKey.reset();
}

bool SecureChannel::readChannel(FileReader& file, KeyParts parts) {
    resetChannel();
    int8_t version = 0;
    if (!readMagic(file, kChannelMagic, &version)) return false;
    useCrypt = readU8OrZero(file);
    useSign = readU8OrZero(file);
    readString(file, localName);
    readString(file, remoteName);
    if (version == 1) {
        hasCryptPrivate = readU8OrZero(file);
        hasCryptPublic = readU8OrZero(file);
        hasSignPrivate = readU8OrZero(file);
        hasSignPublic = readU8OrZero(file);
        cryptSize = readU32OrZero(file);
        signSize = readU32OrZero(file);
    } else {
        // The old layout carries both keys of every use it has.
        hasCryptPrivate = hasCryptPublic = useCrypt ? 1 : 0;
        hasSignPrivate = hasSignPublic = useSign ? 1 : 0;
    }
    bool ok = true;
    if (ok && useCrypt && hasCryptPublic) ok = readKeySlot(file, cryptPublicKey, parts);
    if (ok && useCrypt && hasCryptPrivate) ok = readKeySlot(file, cryptPrivateKey, parts);
    if (ok && useSign && hasSignPrivate) ok = readKeySlot(file, signPrivateKey, parts);
    if (ok && useSign && hasSignPublic) ok = readKeySlot(file, signPublicKey, parts);
    if (version != 1 && ok) {
        cryptSize = bitsOf(cryptPublicKey);
        signSize = bitsOf(signPrivateKey);
    }
    return ok;
}

bool SecureChannel::writeChannel(FileWriter& file) const {
    writeMagic(file, kChannelMagic);
    writeU8(file, useCrypt);
    writeU8(file, useSign);
    writeString(file, localName);
    writeString(file, remoteName);
    writeU8(file, hasCryptPrivate);
    writeU8(file, hasCryptPublic);
    writeU8(file, hasSignPrivate);
    writeU8(file, hasSignPublic);
    writeU32(file, cryptSize);
    writeU32(file, signSize);
    bool ok = true;
    if (useCrypt) {
        if (hasCryptPublic) ok = ok && cryptPublicKey && cryptPublicKey->writePublic(file);
        if (hasCryptPrivate) ok = ok && cryptPrivateKey && cryptPrivateKey->writePrivate(file);
    }
    if (useSign) {
        if (hasSignPrivate) ok = ok && signPrivateKey && signPrivateKey->writePrivate(file);
        if (hasSignPublic) ok = ok && signPublicKey && signPublicKey->writePublic(file);
    }
    return ok && !file.writeFailed();
}

bool SecureChannel::toSummary(ChannelSummary* out) const {
    if (!out) return false;
    copyCut31(out->localName, localName);
    copyCut31(out->remoteName, remoteName);
    out->useCrypt = useCrypt;
    out->useSign = useSign;
    out->cryptSize = cryptSize;
    out->signSize = signSize;
    out->hasCryptPrivate = hasCryptPrivate;
    out->hasCryptPublic = hasCryptPublic;
    out->hasSignPrivate = hasSignPrivate;
    out->hasSignPublic = hasSignPublic;
    out->fullLocalName = localName;
    out->fullRemoteName = remoteName;
    auto fingerprint = [](uint8_t present, const std::unique_ptr<RsaKeyRecord>& key) {
        return present && key ? publicKeyFingerprint(*key) : std::string();
    };
    out->cryptPrivateFingerprint = fingerprint(hasCryptPrivate, cryptPrivateKey);
    out->cryptPublicFingerprint = fingerprint(hasCryptPublic, cryptPublicKey);
    out->signPrivateFingerprint = fingerprint(hasSignPrivate, signPrivateKey);
    out->signPublicFingerprint = fingerprint(hasSignPublic, signPublicKey);
    return true;
}

}  // namespace Talvek
