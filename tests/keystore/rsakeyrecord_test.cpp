#include <gtest/gtest.h>

#include <cstring>

#include <openssl/rsa.h>

#include "keystore/encoding.h"
#include "keystore/rsakeyrecord.h"
#include "support/recordbytes.h"
#include "support/testkeys.h"

using namespace Talvek;
using TestSupport::bytesWrittenBy;
using TestSupport::cachedPrivateKey;
using TestSupport::readFromBytes;
using TestSupport::RecordBytes;

namespace {

std::unique_ptr<RsaKeyRecord> readRecord(const std::vector<uint8_t>& bytes, bool* ok = nullptr,
                                         uint64_t* left = nullptr) {
    auto key = std::make_unique<RsaKeyRecord>();
    const bool result = readFromBytes(
        bytes, [&](FileReader& f) { return key->readKey(f); }, left);
    if (ok) *ok = result;
    return key;
}

std::unique_ptr<RsaKeyRecord> named(int bits, const std::string& name, int slot = 0) {
    auto key = cachedPrivateKey(bits, slot);
    key->setName(name);
    return key;
}

BignumPtr word(unsigned long value) {
    BignumPtr b(BN_new());
    BN_set_word(b.get(), value);
    return b;
}

const uint8_t kDigest[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};

}  // namespace

TEST(RsaKeyRecordLayout, PublicRecordOf1024BitKeyIs155Bytes) {
    auto key = named(1024, "abc");
    bool ok = false;
    const auto bytes = bytesWrittenBy([&](FileWriter& f) { return key->writePublic(f); }, &ok);
    EXPECT_TRUE(ok);
    ASSERT_EQ(bytes.size(), 155u);
    EXPECT_EQ(bytes, RecordBytes().publicKey(*key).bytes());
    EXPECT_EQ(std::memcmp(bytes.data(),
                          "KRSK0\x01\x00\x00\x00\x03\x00\x00\x00"
                          "abc\x80\x00\x00\x00",
                          16),
              0);
    // The exponent 65537 is the three bytes 01 00 01 after the length 3.
    const std::vector<uint8_t> tail(bytes.end() - 7, bytes.end());
    EXPECT_EQ(tail, (std::vector<uint8_t>{3, 0, 0, 0, 1, 0, 1}));
}

TEST(RsaKeyRecordLayout, PrivateRecordHoldsTheEightNumbersInOrder) {
    auto key = named(512, "owner");
    const auto bytes = bytesWrittenBy([&](FileWriter& f) { return key->writePrivate(f); });
    EXPECT_EQ(bytes, RecordBytes().privateKey(*key).bytes());
    EXPECT_EQ(bytes[5], 2);
    // Written through writePublic a private key gives exactly its public record.
    const auto pub = bytesWrittenBy([&](FileWriter& f) { return key->writePublic(f); });
    EXPECT_EQ(pub, RecordBytes().publicKey(*key).bytes());
}

TEST(RsaKeyRecordLayout, RecordsThatCannotBeWrittenWriteNothing) {
    std::unique_ptr<RsaKeyRecord> pub;
    ASSERT_TRUE(named(512, "x")->extractPublic(pub));
    bool ok = true;
    EXPECT_TRUE(bytesWrittenBy([&](FileWriter& f) { return pub->writePrivate(f); }, &ok).empty());
    EXPECT_FALSE(ok);
    RsaKeyRecord empty;
    EXPECT_TRUE(bytesWrittenBy([&](FileWriter& f) { return empty.writePublic(f); }, &ok).empty());
    EXPECT_FALSE(ok);
    // A number stored as zero bytes would vanish on writing: not written.
    auto zero = std::vector<uint8_t>{0, 0};
    auto odd = RecordBytes().magic("KRSK0").u32(1).text("z").u32(2).raw(zero).u32(1).u8(3);
    auto key = readRecord(odd.bytes());
    EXPECT_TRUE(bytesWrittenBy([&](FileWriter& f) { return key->writePublic(f); }, &ok).empty());
    EXPECT_FALSE(ok);
}

TEST(RsaKeyRecordRead, ReadsBothKindsBackWithEveryNumber) {
    auto key = named(512, "\xC8\xE2\xE0\xED");  // a Windows-1251 name
    bool ok = false;
    auto back = readRecord(RecordBytes().privateKey(*key).bytes(), &ok);
    ASSERT_TRUE(ok);
    EXPECT_EQ(back->kind(), KeyKind::Private);
    EXPECT_EQ(back->name(), key->name());
    EXPECT_EQ(BN_cmp(back->iqmp(), key->iqmp()), 0);
    EXPECT_EQ(BN_cmp(back->d(), key->d()), 0);
    EXPECT_TRUE(back->hasCompletePrivate());
    EXPECT_EQ(back->sizeBytes(), 64);
    EXPECT_EQ(RsaKeyRecord().sizeBytes(), 0);
}

TEST(RsaKeyRecordRead, PublicKindReadsOnlyModulusAndExponentLeavingTheRest) {
    auto key = named(512, "p");
    RecordBytes bytes;
    bytes.publicKey(*key).number(key->d());
    uint64_t left = 0;
    bool ok = false;
    auto back = readRecord(bytes.bytes(), &ok, &left);
    ASSERT_TRUE(ok);
    EXPECT_EQ(back->kind(), KeyKind::Public);
    EXPECT_EQ(back->d(), nullptr);
    EXPECT_EQ(left, 4u + static_cast<uint64_t>(BN_num_bytes(key->d())));
}

TEST(RsaKeyRecordRead, RefusesOtherVersionsAndNonEmptyRecords) {
    auto key = named(512, "p");
    auto bytes = RecordBytes().publicKey(*key).bytes();
    bytes[4] = '1';
    bool ok = true;
    readRecord(bytes, &ok);
    EXPECT_FALSE(ok);

    bytes[4] = '0';
    RsaKeyRecord record;
    uint64_t left = 0;
    EXPECT_TRUE(readFromBytes(
        bytes, [&](FileReader& f) { return record.readKey(f) && !record.readKey(f); }, &left));
    EXPECT_EQ(left, 0u);
    // The second read touched nothing: the first record is intact.
    EXPECT_EQ(BN_cmp(record.n(), key->n()), 0);
}

TEST(RsaKeyRecordRead, ZeroLengthNumberStaysAbsent) {
    auto bytes = RecordBytes().magic("KRSK0").u32(1).text("n").u32(0).u32(1).u8(3).bytes();
    bool ok = false;
    auto key = readRecord(bytes, &ok);
    EXPECT_TRUE(ok);
    // The zero length is the whole of n; the next field is read as e.
    EXPECT_EQ(key->n(), nullptr);
    ASSERT_NE(key->e(), nullptr);
    EXPECT_TRUE(BN_is_word(key->e(), 3));
    EXPECT_EQ(key->sizeBytes(), 0);
}

TEST(RsaKeyRecordHex, PublicLinesEndInOneLineFeed) {
    auto key = named(512, "h");
    const auto bytes = bytesWrittenBy([&](FileWriter& f) { return key->writeHexPublic(f) == 1; });
    const std::string text(bytes.begin(), bytes.end());
    EXPECT_EQ(text, bigNumHex(key->n()) + "\n010001\n");
    const auto priv = bytesWrittenBy([&](FileWriter& f) { return key->writeHexPrivate(f) == 1; });
    EXPECT_EQ(std::string(priv.begin(), priv.end()),
              bigNumHex(key->n()) + "\n" + bigNumHex(key->d()) + "\n");
    EXPECT_EQ(bigNumHex(word(0).get()), "0");
    EXPECT_EQ(bigNumHex(word(0xABC).get()), "0ABC");
}

TEST(RsaKeyRecordGenerate, MakesAPrivateKeyWithExponent65537) {
    RsaKeyRecord key;
    ASSERT_TRUE(key.generate("gen", 512));
    EXPECT_EQ(key.kind(), KeyKind::Private);
    EXPECT_EQ(key.name(), "gen");
    EXPECT_EQ(key.sizeBytes(), 64);
    EXPECT_TRUE(BN_is_word(key.e(), 65537));
    EXPECT_TRUE(key.hasCompletePrivate());

    std::unique_ptr<RsaKeyRecord> pub;
    ASSERT_TRUE(key.extractPublic(pub));
    EXPECT_EQ(pub->kind(), KeyKind::Public);
    EXPECT_EQ(pub->name(), "gen");
    EXPECT_EQ(pub->d(), nullptr);
    EXPECT_FALSE(pub->extractPublic(pub));  // only private records give a public part

    RsaKeyRecord copy;
    EXPECT_FALSE(copy.copyPublicFrom(nullptr));
    ASSERT_TRUE(copy.copyPublicFrom(&key));
    EXPECT_EQ(copy.kind(), KeyKind::Public);
    EXPECT_EQ(BN_cmp(copy.n(), key.n()), 0);
}

TEST(KeyPrimitives, SignatureIsPkcs1Md5DigestInfo) {
    auto key = named(1024, "s");
    std::vector<uint8_t> signature(static_cast<size_t>(key->sizeBytes()));
    unsigned length = 0;
    ASSERT_TRUE(signDigest(*key, kDigest, signature.data(), &length));
    ASSERT_EQ(length, 128u);
    std::unique_ptr<RsaKeyRecord> pub;
    ASSERT_TRUE(key->extractPublic(pub));
    EXPECT_TRUE(verifyDigest(*pub, kDigest, signature.data(), length));

    // Opened with the public exponent the signature is the PKCS #1 block of
    // the DigestInfo with the MD5 identifier, as the old RSA_sign made it.
    BignumPtr s(BN_bin2bn(signature.data(), static_cast<int>(length), nullptr));
    BignumPtr m(BN_new());
    BN_CTX* ctx = BN_CTX_new();
    ASSERT_EQ(BN_mod_exp(m.get(), s.get(), key->e(), key->n(), ctx), 1);
    BN_CTX_free(ctx);
    std::vector<uint8_t> block(128);
    BN_bn2binpad(m.get(), block.data(), 128);
    const uint8_t digestInfo[] = {0x30, 0x20, 0x30, 0x0c, 0x06, 0x08, 0x2a, 0x86, 0x48,
                                  0x86, 0xf7, 0x0d, 0x02, 0x05, 0x05, 0x00, 0x04, 0x10};
    EXPECT_EQ(block[0], 0);
    EXPECT_EQ(block[1], 1);
    EXPECT_EQ(std::memcmp(block.data() + 128 - 34, digestInfo, 18), 0);
    EXPECT_EQ(std::memcmp(block.data() + 128 - 16, kDigest, 16), 0);

    uint8_t other[16];
    std::memcpy(other, kDigest, 16);
    other[0] ^= 1;
    EXPECT_FALSE(verifyDigest(*pub, other, signature.data(), length));
    EXPECT_FALSE(verifyDigest(*named(1024, "o", 1), kDigest, signature.data(), length));
}

TEST(KeyPrimitives, EncryptionRoundTrip) {
    auto key = named(512, "c");
    std::unique_ptr<RsaKeyRecord> pub;
    ASSERT_TRUE(key->extractPublic(pub));
    const uint8_t message[] = "sixteen byte key";
    uint8_t sealed[64];
    int sealedLength = 0;
    ASSERT_TRUE(publicEncrypt(*pub, message, 16, sealed, &sealedLength));
    EXPECT_EQ(sealedLength, 64);
    uint8_t opened[64] = {};
    int openedLength = 0;
    ASSERT_TRUE(privateDecrypt(*key, sealed, sealedLength, opened, &openedLength));
    ASSERT_EQ(openedLength, 16);
    EXPECT_EQ(std::memcmp(opened, message, 16), 0);
    // A public record cannot decrypt; another key pair cannot either.
    EXPECT_FALSE(privateDecrypt(*pub, sealed, sealedLength, opened, &openedLength));
    EXPECT_EQ(openedLength, 0);
    EXPECT_FALSE(privateDecrypt(*named(512, "o", 1), sealed, sealedLength, opened, &openedLength));
    // Too long for PKCS #1 padding in 64 bytes.
    uint8_t big[60] = {};
    EXPECT_FALSE(publicEncrypt(*pub, big, sizeof big, sealed, &sealedLength));
}

TEST(KeyPrimitives, Rc4Md5AndSessionKeys) {
    uint8_t key[16];
    for (int i = 0; i < 16; ++i) key[i] = static_cast<uint8_t>(i + 1);
    uint8_t zeros[32] = {};
    uint8_t stream[32];
    ASSERT_TRUE(rc4Transform(key, sizeof zeros, zeros, stream));
    // Key stream of the 128-bit key 01..10 (RC4 test vectors, offset 0).
    const uint8_t expected[32] = {0x9a, 0xc7, 0xcc, 0x9a, 0x60, 0x9d, 0x1e, 0xf7, 0xb2, 0x93, 0x28,
                                  0x99, 0xcd, 0xe4, 0x1b, 0x97, 0x52, 0x48, 0xc4, 0x95, 0x90, 0x14,
                                  0x12, 0x6a, 0x6e, 0x8a, 0x84, 0xf1, 0x1d, 0x1a, 0x9e, 0x1c};
    EXPECT_EQ(std::memcmp(stream, expected, 32), 0);
    // A fresh schedule each time: the same call gives the same stream.
    uint8_t again[32];
    ASSERT_TRUE(rc4Transform(key, sizeof zeros, zeros, again));
    EXPECT_EQ(std::memcmp(again, expected, 32), 0);

    uint8_t md5[16];
    ASSERT_TRUE(md5Digest("abc", 3, md5));
    const uint8_t abc[16] = {0x90, 0x01, 0x50, 0x98, 0x3c, 0xd2, 0x4f, 0xb0,
                             0xd6, 0x96, 0x3f, 0x7d, 0x28, 0xe1, 0x7f, 0x72};
    EXPECT_EQ(std::memcmp(md5, abc, 16), 0);

    uint8_t a[16], b[16];
    ASSERT_TRUE(makeSessionKey(a));
    ASSERT_TRUE(makeSessionKey(b));
    EXPECT_NE(std::memcmp(a, b, 16), 0);
}

// A private record cut short anywhere after its magic still reads, but is
// never used: no signature, no decryption, no public part, no rewrite.
TEST(InertKeys, PrivateRecordCutShortDoesNothing) {
    auto key = named(512, "cut");
    const auto full = RecordBytes().privateKey(*key).bytes();
    uint8_t sealed[64];
    int sealedLength = 0;
    std::unique_ptr<RsaKeyRecord> pub;
    ASSERT_TRUE(key->extractPublic(pub));
    ASSERT_TRUE(publicEncrypt(*pub, kDigest, 16, sealed, &sealedLength));

    for (size_t cut = 5; cut < full.size(); ++cut) {
        SCOPED_TRACE(cut);
        bool ok = false;
        auto part = readRecord(std::vector<uint8_t>(full.begin(), full.begin() + cut), &ok);
        EXPECT_TRUE(ok);
        EXPECT_FALSE(part->hasCompletePrivate());
        uint8_t signature[64];
        unsigned signatureLength = 7;
        EXPECT_FALSE(signDigest(*part, kDigest, signature, &signatureLength));
        EXPECT_EQ(signatureLength, 0u);
        uint8_t opened[64];
        int openedLength = 0;
        EXPECT_FALSE(privateDecrypt(*part, sealed, sealedLength, opened, &openedLength));
        std::unique_ptr<RsaKeyRecord> extracted;
        EXPECT_FALSE(part->extractPublic(extracted));
        EXPECT_EQ(extracted, nullptr);
        bool written = true;
        EXPECT_TRUE(
            bytesWrittenBy([&](FileWriter& f) { return part->writePrivate(f); }, &written).empty());
        EXPECT_FALSE(written);
    }
}

TEST(InertKeys, ImplausibleNumbersAreRefused) {
    auto key = named(512, "bad");
    auto withExponent = [&](const BIGNUM* e) {
        return readRecord(
            RecordBytes().magic("KRSK0").u32(1).text("bad").number(key->n()).number(e).bytes());
    };
    const uint8_t message[16] = {'p', 'l', 'a', 'i', 'n'};
    uint8_t out[64];
    int outLength = 0;
    // An exponent of 1 would "encrypt" to the plain text; an even one is no RSA.
    for (unsigned long e : {1ul, 2ul, 65536ul}) {
        SCOPED_TRACE(e);
        auto pub = withExponent(word(e).get());
        EXPECT_FALSE(pub->hasPlausiblePublic());
        EXPECT_FALSE(publicEncrypt(*pub, message, 16, out, &outLength));
        EXPECT_FALSE(verifyDigest(*pub, kDigest, out, 64));
    }
    EXPECT_TRUE(withExponent(word(3).get())->hasPlausiblePublic());

    // Primes that do not make up the modulus: the pair is not used.
    auto other = named(512, "bad", 1);
    RecordBytes mixed;
    mixed.magic("KRSK0").u32(2).text("bad");
    for (const BIGNUM* b : {key->n(), key->e(), key->d(), other->p(), other->q(), key->dmp1(),
                            key->dmq1(), key->iqmp()}) {
        mixed.number(b);
    }
    auto pair = readRecord(mixed.bytes());
    EXPECT_FALSE(pair->hasCompletePrivate());
    unsigned signatureLength = 0;
    EXPECT_FALSE(signDigest(*pair, kDigest, out, &signatureLength));
    // Its public half is still fine for public operations.
    EXPECT_TRUE(publicEncrypt(*pair, message, 16, out, &outLength));

    // The right primes with another key's exponents would sign wrongly
    // without any error from the library: such a pair is not used either.
    RecordBytes wrongExponent;
    wrongExponent.magic("KRSK0").u32(2).text("bad");
    for (const BIGNUM* b : {key->n(), key->e(), other->d(), key->p(), key->q(), other->dmp1(),
                            other->dmq1(), key->iqmp()}) {
        wrongExponent.number(b);
    }
    auto forged = readRecord(wrongExponent.bytes());
    EXPECT_FALSE(signDigest(*forged, kDigest, out, &signatureLength));
    EXPECT_FALSE(signDigest(*forged, kDigest, out, &signatureLength));  // refused for good
    ASSERT_TRUE(publicEncrypt(*forged, message, 16, out, &outLength));
    uint8_t opened[64];
    int openedLength = 0;
    EXPECT_FALSE(privateDecrypt(*forged, out, outLength, opened, &openedLength));
}

// A CRT number not below its prime belongs to no key; a huge one would make
// every signature crawl. Such a record is inert, whichever number is out of
// range, even when it is the right residue plus the prime.
TEST(InertKeys, CrtNumbersOutOfRangeAreRefused) {
    auto key = named(512, "crt");
    BignumPtr bigDmp1(BN_new());
    BignumPtr bigDmq1(BN_new());
    BignumPtr bigIqmp(BN_new());
    ASSERT_TRUE(BN_add(bigDmp1.get(), key->dmp1(), key->p()));
    ASSERT_TRUE(BN_add(bigDmq1.get(), key->dmq1(), key->q()));
    ASSERT_TRUE(BN_add(bigIqmp.get(), key->iqmp(), key->p()));
    const struct {
        const char* what;
        const BIGNUM *dmp1, *dmq1, *iqmp;
    } cases[] = {
        {"dmp1 + p", bigDmp1.get(), key->dmq1(), key->iqmp()},
        {"dmp1 = p", key->p(), key->dmq1(), key->iqmp()},
        {"dmq1 + q", key->dmp1(), bigDmq1.get(), key->iqmp()},
        {"iqmp + p", key->dmp1(), key->dmq1(), bigIqmp.get()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        RecordBytes record;
        record.magic("KRSK0").u32(2).text("crt");
        for (const BIGNUM* b :
             {key->n(), key->e(), key->d(), key->p(), key->q(), c.dmp1, c.dmq1, c.iqmp}) {
            record.number(b);
        }
        auto read = readRecord(record.bytes());
        EXPECT_FALSE(read->hasCompletePrivate());
        uint8_t signature[64];
        unsigned signatureLength = 0;
        EXPECT_FALSE(signDigest(*read, kDigest, signature, &signatureLength));
        std::unique_ptr<RsaKeyRecord> extracted;
        EXPECT_FALSE(read->extractPublic(extracted));
    }
}
