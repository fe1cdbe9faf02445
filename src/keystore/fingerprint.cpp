#include "keystore/fingerprint.h"

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <memory>
#include <vector>

#include <openssl/evp.h>

#include "keystore/base64.h"
#include "keystore/rsakeyrecord.h"

namespace Talvek {

namespace {

// The DER is written here rather than through an EVP_PKEY: building the key
// object and running OpenSSL's encoder costs about a hundred times more, and
// the maintenance dialog shows a fingerprint for every key of a base. It is
// written into one buffer sized beforehand: a listing of a large base takes
// hundreds of thousands of fingerprints.

// The bytes of a DER length field.
size_t lengthSize(size_t length) {
    size_t size = 1;
    if (length >= 0x80) {
        for (size_t l = length; l > 0; l >>= 8) ++size;
    }
    return size;
}

// A tag, its length and room for content of that length.
size_t tlvSize(size_t content) {
    return 1 + lengthSize(content) + content;
}

uint8_t* putHeader(uint8_t* at, uint8_t tag, size_t length) {
    *at++ = tag;
    if (length < 0x80) {
        *at++ = static_cast<uint8_t>(length);
        return at;
    }
    const size_t count = lengthSize(length) - 1;
    *at++ = static_cast<uint8_t>(0x80 | count);
    for (size_t i = count; i > 0; --i) *at++ = static_cast<uint8_t>(length >> (8 * (i - 1)));
    return at;
}

// A non-negative INTEGER: the magnitude, with a zero byte in front when its
// top bit is set so that it does not read as negative (a lone zero byte for
// zero).
struct Integer {
    explicit Integer(const BIGNUM* v) : value(v) {
        const size_t bits = static_cast<size_t>(BN_num_bits(v));
        bytes = (bits + 7) / 8;
        size = bits % 8 == 0 ? bytes + 1 : bytes;
    }
    const BIGNUM* value;
    size_t bytes;  // of the magnitude
    size_t size;   // of the content
};

uint8_t* putInteger(uint8_t* at, const Integer& integer) {
    at = putHeader(at, 0x02, integer.size);
    if (integer.size > integer.bytes) *at++ = 0;
    BN_bn2bin(integer.value, at);
    return at + integer.bytes;
}

// SubjectPublicKeyInfo { AlgorithmIdentifier { rsaEncryption, NULL },
//                        BIT STRING { RSAPublicKey { n, e } } }
std::vector<uint8_t> rsaSubjectPublicKeyInfo(const BIGNUM* n, const BIGNUM* e) {
    static const uint8_t kRsaAlgorithm[] = {0x30, 0x0D, 0x06, 0x09, 0x2A, 0x86, 0x48, 0x86,
                                            0xF7, 0x0D, 0x01, 0x01, 0x01, 0x05, 0x00};
    const Integer modulus(n);
    const Integer exponent(e);
    const size_t numbers = tlvSize(modulus.size) + tlvSize(exponent.size);
    const size_t bits = 1 + tlvSize(numbers);  // the unused-bits byte, then RSAPublicKey
    const size_t info = sizeof kRsaAlgorithm + tlvSize(bits);
    std::vector<uint8_t> der(tlvSize(info));
    uint8_t* at = putHeader(der.data(), 0x30, info);
    at = std::copy(std::begin(kRsaAlgorithm), std::end(kRsaAlgorithm), at);
    at = putHeader(at, 0x03, bits);
    *at++ = 0;  // no unused bits
    at = putHeader(at, 0x30, numbers);
    at = putInteger(at, modulus);
    putInteger(at, exponent);
    return der;
}

struct EvpMdFree {
    void operator()(EVP_MD* md) const { EVP_MD_free(md); }
};

// Fetched once: an implicit fetch on every digest costs more than the
// digest itself, and the maintenance dialog takes thousands.
const EVP_MD* sha256() {
    static const std::unique_ptr<EVP_MD, EvpMdFree> md(EVP_MD_fetch(nullptr, "SHA256", nullptr));
    return md.get();
}

}  // namespace

std::string publicKeyFingerprint(const BIGNUM* n, const BIGNUM* e) {
    if (!n || !e || BN_is_negative(n) || BN_is_negative(e)) return {};
    const std::vector<uint8_t> der = rsaSubjectPublicKeyInfo(n, e);
    uint8_t digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (!sha256() || EVP_Digest(der.data(), der.size(), digest, &length, sha256(), nullptr) != 1) {
        return {};
    }
    std::string text = "SHA256:" + base64Encode(digest, length);
    while (text.back() == '=') text.pop_back();
    return text;
}

std::string publicKeyFingerprint(const RsaKeyRecord& key) {
    return publicKeyFingerprint(key.n(), key.e());
}

std::string publicKeyPem(const RsaKeyRecord& key) {
    const BIGNUM* n = key.n();
    const BIGNUM* e = key.e();
    if (!n || !e || BN_is_negative(n) || BN_is_negative(e)) return {};
    const std::vector<uint8_t> der = rsaSubjectPublicKeyInfo(n, e);
    const std::string text = base64Encode(der.data(), der.size());
    std::string pem = "-----BEGIN PUBLIC KEY-----\n";
    for (size_t at = 0; at < text.size(); at += 64) pem += text.substr(at, 64) + "\n";
    pem += "-----END PUBLIC KEY-----\n";
    return pem;
}

}  // namespace Talvek
