#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>

#include <openssl/pem.h>

#include "keystore/fingerprint.h"
#include "keystore/rsakeyrecord.h"
#include "support/tempdir.h"
#include "support/testkeys.h"

using namespace Talvek;
using TestSupport::cachedPrivateKey;
using TestSupport::TempDir;

namespace {

struct BioFree {
    void operator()(BIO* b) const { BIO_free(b); }
};

BignumPtr fromHex(const char* hex) {
    BIGNUM* b = nullptr;
    BN_hex2bn(&b, hex);
    return BignumPtr(b);
}

// What people run to check a fingerprint by hand: the openssl tool over the
// key's PEM, which OpenSSL's own encoder writes.
std::string opensslFingerprint(EVP_PKEY* key, const TempDir& dir) {
    const std::string pem = dir.file("key.pem");
    {
        std::unique_ptr<BIO, BioFree> out(BIO_new_file(pem.c_str(), "w"));
        if (!out || PEM_write_bio_PUBKEY(out.get(), key) != 1) return "no PEM";
    }
    const std::string command = "openssl pkey -pubin -in '" + pem +
                                "' -outform DER | openssl dgst -sha256 -binary | base64";
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return "no openssl";
    std::string text;
    char buffer[256];
    while (fgets(buffer, sizeof buffer, pipe)) text += buffer;
    if (pclose(pipe) != 0) return "openssl failed";
    while (!text.empty() && (text.back() == '\n' || text.back() == '=')) text.pop_back();
    return "SHA256:" + text;
}

}  // namespace

// Sizes whose DER lengths take the short form, one and two length bytes.
TEST(Fingerprint, MatchesTheOpensslToolForEverySizeOfLength) {
    TempDir dir;
    for (int bits : {512, 1024, 2048}) {
        SCOPED_TRACE(bits);
        const auto key = cachedPrivateKey(bits);
        const std::string fingerprint = publicKeyFingerprint(*key);
        EXPECT_EQ(fingerprint, opensslFingerprint(key->publicKey(), dir));
        // 32 digest bytes are 43 base64 characters once the padding is gone.
        EXPECT_EQ(fingerprint.size(), 7u + 43u);
        std::unique_ptr<RsaKeyRecord> half;
        ASSERT_TRUE(key->extractPublic(half));
        EXPECT_EQ(publicKeyFingerprint(*half), fingerprint);
    }
}

TEST(Fingerprint, FixedVectorComputedWithTheOpensslTool) {
    // A 768-bit key with exponent 3 made by openssl genpkey; the value is the
    // output of openssl pkey | openssl dgst -sha256 -binary | base64.
    const auto n = fromHex(
        "CBDF2CFF2B331FFF9E7F5CFE918E7E2F46B105EC28D41C7FD3EC46BCBCA14CC54CAAD0F6A9B07962DAA60B"
        "FD9E9E92F48586D03FD273C81A937DD6F568881A641F9B1D209EDF416BA90B6AE7F688A9DAF008DC2FAE82"
        "7B6FC2E7CEDFD95212A1");
    const auto e = fromHex("3");
    EXPECT_EQ(publicKeyFingerprint(n.get(), e.get()),
              "SHA256:OoLnm/jGZp+t564oCkUwxJrSb0BnDHrG+3xTX9KyJ5k");
}

TEST(Fingerprint, KeyWithoutNumbersHasNone) {
    const auto e = fromHex("10001");
    EXPECT_EQ(publicKeyFingerprint(nullptr, e.get()), "");
    EXPECT_EQ(publicKeyFingerprint(e.get(), nullptr), "");
    EXPECT_EQ(publicKeyFingerprint(RsaKeyRecord()), "");
}
