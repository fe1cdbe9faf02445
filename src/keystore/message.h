#pragma once
// Protection of a message with a channel's keys: an RSA signature over the MD5
// digest of the data, the data and the digest encrypted with RC4 under a fresh
// message key that travels RSA-encrypted for the peer, all as base64 text.
//
// Sealed message before base64, parts in this order, each only when used:
//   signature of MD5(data) with signPrivateKey       (signing key size)
//   RC4(message key, MD5(data))                      (16 bytes, encryption)
//   message key encrypted with cryptPublicKey        (encryption key size)
//   RC4(message key, data), or the data as they are  (data length)

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "keystore/securechannel.h"

namespace Talvek {

// What a channel does to a message in one direction.
struct MessageProtection {
    bool sign = false;
    bool encrypt = false;
    // A key the direction needs for a use the channel has is present (or
    // announced by its flag) but not whole: sealing or opening then fails
    // rather than leave that use out.
    bool damaged = false;
    bool any() const { return sign || encrypt; }
};

// Sealing signs with useSign and both signing keys set, and encrypts with
// useCrypt and both encryption keys set.
MessageProtection sealProtection(const SecureChannel& channel);
// Opening verifies with useSign and a set signPublicKey, and decrypts with
// useCrypt and a set cryptPrivateKey.
MessageProtection openProtection(const SecureChannel& channel);
// True when sealing with the channel signs or encrypts and opening checks a
// signature or decrypts. Without it a "sealed" message is plain base64 of the
// data and opening one proves nothing, so a caller that relies on protection
// must ask first.
bool channelProtects(const SecureChannel& channel);

// False for no data (length 0), a damaged key (see MessageProtection) or when
// a key operation fails; sealed and signatureHex are then empty. signatureHex
// (optional) gets the signature as two upper-case hexadecimal digits per byte
// when the channel signs.
bool sealMessage(const SecureChannel& channel, const uint8_t* data, size_t length,
                 std::string& sealed, std::string* signatureHex = nullptr);

// False for a damaged key, for a text that is not exactly the base64 form of
// a sealed message (bad characters, a cut or altered tail), too short for its parts, whose
// message key or digest does not decrypt and match, or whose signature does
// not verify; data and signatureHex are then empty.
bool openMessage(const SecureChannel& channel, const char* text, size_t length,
                 std::vector<uint8_t>& data, std::string* signatureHex = nullptr);

// Checks the leading signature of a sealed text against the given plain data;
// needs useSign and a set signPublicKey.
bool verifyMessageSignature(const SecureChannel& channel, const char* text, size_t textLength,
                            const uint8_t* data, size_t dataLength,
                            std::string* signatureHex = nullptr);

}  // namespace Talvek
