#include "keystore/fingerprint.h"

#include <cstdint>
#include <memory>
#include <vector>

#include <openssl/evp.h>

#include "keystore/base64.h"
#include "keystore/rsakeyrecord.h"

namespace Talvek {

namespace {

// The DER is written here rather than through an EVP_PKEY: building the key
// object and running OpenSSL's encoder costs about a hundred times more, and
// the maintenance dialog shows a fingerprint for every key of a base.
void appendLength(std::vector<uint8_t>& out, size_t length) {
    if (length < 0x80) {
        out.push_back(static_cast<uint8_t>(length));
        return;
    }
    uint8_t bytes[sizeof(size_t)];
    int count = 0;
    for (size_t l = length; l > 0; l >>= 8) bytes[count++] = static_cast<uint8_t>(l & 0xFF);
    out.push_back(static_cast<uint8_t>(0x80 | count));
    while (count > 0) out.push_back(bytes[--count]);
}

void appendTagged(std::vector<uint8_t>& out, uint8_t tag, const std::vector<uint8_t>& content) {
    out.push_back(tag);
    appendLength(out, content.size());
    out.insert(out.end(), content.begin(), content.end());
}

// A non-negative INTEGER: the magnitude, with a zero byte in front when its
// top bit is set so that it does not read as negative.
void appendInteger(std::vector<uint8_t>& out, const BIGNUM* value) {
    std::vector<uint8_t> magnitude(static_cast<size_t>(BN_num_bytes(value)));
    BN_bn2bin(value, magnitude.data());
    if (magnitude.empty() || (magnitude[0] & 0x80)) magnitude.insert(magnitude.begin(), 0);
    appendTagged(out, 0x02, magnitude);
}

// SubjectPublicKeyInfo { AlgorithmIdentifier { rsaEncryption, NULL },
//                        BIT STRING { RSAPublicKey { n, e } } }
std::vector<uint8_t> rsaSubjectPublicKeyInfo(const BIGNUM* n, const BIGNUM* e) {
    static const std::vector<uint8_t> kRsaAlgorithm = {
        0x30, 0x0D, 0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x01, 0x05, 0x00};
    std::vector<uint8_t> numbers;
    appendInteger(numbers, n);
    appendInteger(numbers, e);
    std::vector<uint8_t> bits{0};  // no unused bits
    appendTagged(bits, 0x30, numbers);
    std::vector<uint8_t> info = kRsaAlgorithm;
    appendTagged(info, 0x03, bits);
    std::vector<uint8_t> der;
    appendTagged(der, 0x30, info);
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
    std::string text = base64Encode(digest, length);
    while (!text.empty() && text.back() == '=') text.pop_back();
    return "SHA256:" + text;
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
