#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "keystore/base64.h"
#include "sealing/message.h"
#include "keystore/rsakeyrecord.h"
#include "support/testkeys.h"

using namespace Talvek;

namespace {

struct Pair {
    std::unique_ptr<SecureChannel> a;  // "A" -> "B"
    std::unique_ptr<SecureChannel> b;  // "B" -> "A"
};

std::unique_ptr<RsaKeyRecord> publicOf(const std::unique_ptr<RsaKeyRecord>& key) {
    std::unique_ptr<RsaKeyRecord> out;
    EXPECT_TRUE(key->extractPublic(out));
    return out;
}

// Each side holds its own key pairs and the other side's public keys, as the
// exchange leaves them.
Pair channelPair(bool crypt, bool sign, int bits = 512) {
    Pair p{TestSupport::ownKeysChannel("A", "B", crypt, sign, bits, 0),
           TestSupport::ownKeysChannel("B", "A", crypt, sign, bits, 1)};
    if (crypt) {
        p.a->cryptPublicKey = publicOf(p.b->cryptPrivateKey);
        p.b->cryptPublicKey = publicOf(p.a->cryptPrivateKey);
        p.a->hasCryptPublic = p.b->hasCryptPublic = 1;
    }
    if (sign) {
        p.a->signPublicKey = publicOf(p.b->signPrivateKey);
        p.b->signPublicKey = publicOf(p.a->signPrivateKey);
        p.a->hasSignPublic = p.b->hasSignPublic = 1;
    }
    return p;
}

std::vector<uint8_t> bytes(const std::string& s) {
    return {s.begin(), s.end()};
}

std::string seal(const SecureChannel& c, const std::vector<uint8_t>& data,
                 std::string* sig = nullptr) {
    std::string sealed;
    EXPECT_TRUE(sealMessage(c, data.data(), data.size(), sealed, sig));
    return sealed;
}

bool opens(const SecureChannel& c, const std::string& text, std::vector<uint8_t>* out = nullptr,
           std::string* sig = nullptr) {
    std::vector<uint8_t> data;
    const bool ok = openMessage(c, text.data(), text.size(), data, sig);
    if (out) *out = data;
    if (!ok) {
        EXPECT_TRUE(data.empty());
    }
    return ok;
}

struct Uses {
    bool crypt;
    bool sign;
};

class SealOpen : public ::testing::TestWithParam<Uses> {};

}  // namespace

TEST_P(SealOpen, OpensOnTheOtherSideInBothDirections) {
    const Pair p = channelPair(GetParam().crypt, GetParam().sign);
    EXPECT_TRUE(channelProtects(*p.a));
    for (const auto& [from, to] :
         {std::pair(p.a.get(), p.b.get()), std::pair(p.b.get(), p.a.get())}) {
        const std::vector<uint8_t> data = bytes(std::string("hello\0world", 11));
        std::string sealSig, openSig;
        const std::string sealed = seal(*from, data, &sealSig);
        std::vector<uint8_t> plain;
        ASSERT_TRUE(opens(*to, sealed, &plain, &openSig));
        EXPECT_EQ(plain, data);
        EXPECT_EQ(sealSig, openSig);
        EXPECT_EQ(sealSig.size(), GetParam().sign ? 128u : 0u);
        // The sender cannot open its own message when it is encrypted, and
        // cannot verify its own signature with the peer's key.
        EXPECT_FALSE(opens(*from, sealed));
        std::string verifySig;
        EXPECT_EQ(verifyMessageSignature(*to, sealed.data(), sealed.size(), data.data(),
                                         data.size(), &verifySig),
                  GetParam().sign);
        EXPECT_EQ(verifySig, sealSig);
    }
}

TEST_P(SealOpen, LayoutOfTheSealedMessage) {
    const Pair p = channelPair(GetParam().crypt, GetParam().sign);
    const std::vector<uint8_t> data = bytes("layout check");
    std::vector<uint8_t> raw;
    ASSERT_TRUE(base64Decode(seal(*p.a, data), raw));
    const size_t lead = (GetParam().sign ? 64 : 0) + (GetParam().crypt ? 16 + 64 : 0);
    ASSERT_EQ(raw.size(), lead + data.size());
    uint8_t digest[16];
    ASSERT_TRUE(md5Digest(data.data(), data.size(), digest));
    size_t at = 0;
    if (GetParam().sign) {
        EXPECT_TRUE(verifyDigest(*p.b->signPublicKey, digest, raw.data(), 64));
        at = 64;
    }
    if (!GetParam().crypt) {
        EXPECT_TRUE(std::equal(data.begin(), data.end(), raw.begin() + at));
        return;
    }
    uint8_t key[64];
    int keyLength = 0;
    ASSERT_TRUE(privateDecrypt(*p.b->cryptPrivateKey, raw.data() + at + 16, 64, key, &keyLength));
    ASSERT_EQ(keyLength, 16);
    // Digest and data are each encrypted from the start of the key stream.
    uint8_t storedDigest[16];
    ASSERT_TRUE(rc4Transform(key, 16, raw.data() + at, storedDigest));
    EXPECT_TRUE(std::equal(digest, digest + 16, storedDigest));
    std::vector<uint8_t> plain(data.size());
    ASSERT_TRUE(rc4Transform(key, data.size(), raw.data() + lead, plain.data()));
    EXPECT_EQ(plain, data);
    EXPECT_FALSE(std::equal(data.begin(), data.end(), raw.begin() + lead));
}

TEST_P(SealOpen, AnyFlippedByteFailsToOpen) {
    const Pair p = channelPair(GetParam().crypt, GetParam().sign);
    const std::string sealed = seal(*p.a, bytes("x"));
    ASSERT_TRUE(opens(*p.b, sealed));
    for (size_t i = 0; i < sealed.size(); ++i) {
        for (const uint8_t mask : {0x01, 0x02, 0x20, 0x40, 0x80}) {
            std::string changed = sealed;
            changed[i] = static_cast<char>(changed[i] ^ mask);
            EXPECT_FALSE(opens(*p.b, changed)) << "byte " << i << " mask " << int(mask);
        }
    }
    EXPECT_FALSE(opens(*p.b, sealed.substr(0, sealed.size() - 4)));
    EXPECT_FALSE(opens(*p.b, sealed + "QQ"));
    EXPECT_TRUE(opens(*p.b, sealed.substr(0, 10) + "\r\n" + sealed.substr(10) + "\n"));
}

INSTANTIATE_TEST_SUITE_P(Uses, SealOpen,
                         ::testing::Values(Uses{true, false}, Uses{false, true}, Uses{true, true}),
                         [](const auto& info) {
                             return std::string(info.param.crypt ? "Crypt" : "") +
                                    (info.param.sign ? "Sign" : "");
                         });

TEST(SealMessage, WrongChannelFails) {
    const Pair p = channelPair(true, true);
    const Pair other = channelPair(true, true, 1024);
    const std::string sealed = seal(*p.a, bytes("for B only"));
    EXPECT_FALSE(opens(*other.b, sealed));
    // Right decryption key, wrong signer.
    other.b->cryptPrivateKey = p.b->cryptPrivateKey->clone();
    EXPECT_FALSE(opens(*other.b, sealed));
}

TEST(SealMessage, RefusesNoDataAndFailingKeys) {
    const Pair p = channelPair(true, true);
    std::string sealed = "stale", sig = "stale";
    const uint8_t byte = 7;
    EXPECT_FALSE(sealMessage(*p.a, &byte, 0, sealed, &sig));
    EXPECT_TRUE(sealed.empty());
    EXPECT_TRUE(sig.empty());
    EXPECT_FALSE(sealMessage(*p.a, nullptr, 1, sealed));
    // A peer key of a size unlike the announced one still seals at its own
    // size; a key without numbers makes sealing fail.
    p.a->cryptPublicKey = std::make_unique<RsaKeyRecord>();
    p.a->cryptPublicKey->copyPublicFrom(p.b->cryptPrivateKey.get());
    EXPECT_TRUE(sealMessage(*p.a, &byte, 1, sealed));
    p.a->signPrivateKey = TestSupport::cachedPrivateKey(512, 7);
    std::unique_ptr<RsaKeyRecord> pub;
    p.a->signPrivateKey->extractPublic(pub);
    p.a->signPrivateKey = std::move(pub);  // set, but public only: cannot sign
    EXPECT_FALSE(sealMessage(*p.a, &byte, 1, sealed, &sig));
    EXPECT_TRUE(sealed.empty());
}

// A key of a used use that is not whole (its record cut short in the file,
// flagged but missing, or private without its private numbers) makes both
// directions fail: the use is never quietly left out, so nothing goes out in
// clear or unsigned, and nothing unsigned is taken for signed.
TEST(SealMessage, ADamagedKeyOfAUsedUseFailsInsteadOfLeavingItOut) {
    enum class Damage { CutShort, FlaggedButMissing, PublicOnly };
    using Slot = std::unique_ptr<RsaKeyRecord> SecureChannel::*;
    struct Case {
        const char* what;
        bool crypt;
        bool sign;
        Slot slot;
        Damage damage;
        bool sealFails;  // on the sending side A
        bool openFails;  // on the receiving side B
    };
    const Case cases[] = {
        {"sign-only, own signing key cut", false, true, &SecureChannel::signPrivateKey,
         Damage::CutShort, true, false},
        {"sign-only, peer signing key cut", false, true, &SecureChannel::signPublicKey,
         Damage::CutShort, true, true},
        {"sign-only, peer signing key missing", false, true, &SecureChannel::signPublicKey,
         Damage::FlaggedButMissing, true, true},
        {"sign-only, own signing key public only", false, true, &SecureChannel::signPrivateKey,
         Damage::PublicOnly, true, false},
        {"both, peer signing key cut", true, true, &SecureChannel::signPublicKey, Damage::CutShort,
         true, true},
        {"both, own encryption key cut", true, true, &SecureChannel::cryptPrivateKey,
         Damage::CutShort, true, true},
        {"encrypt-only, peer encryption key cut", true, false, &SecureChannel::cryptPublicKey,
         Damage::CutShort, true, false},
        {"encrypt-only, own encryption key public only", true, false,
         &SecureChannel::cryptPrivateKey, Damage::PublicOnly, true, true},
    };
    const std::vector<uint8_t> data = bytes("pay 100 to Ivanov");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Pair p = channelPair(c.crypt, c.sign);
        const std::string good = seal(*p.a, data);
        for (SecureChannel* side : {p.a.get(), p.b.get()}) {
            std::unique_ptr<RsaKeyRecord>& key = side->*c.slot;
            switch (c.damage) {
                case Damage::CutShort:
                    key = std::make_unique<RsaKeyRecord>();  // magic read, nothing after it
                    break;
                case Damage::FlaggedButMissing:
                    key.reset();
                    break;
                case Damage::PublicOnly: {
                    std::unique_ptr<RsaKeyRecord> pub;
                    ASSERT_TRUE(key->extractPublic(pub));
                    key = std::move(pub);
                    break;
                }
            }
        }
        EXPECT_EQ(sealProtection(*p.a).damaged, c.sealFails);
        std::string sealed = "stale";
        EXPECT_EQ(sealMessage(*p.a, data.data(), data.size(), sealed), !c.sealFails);
        if (c.sealFails) {
            EXPECT_EQ(sealed, "");
        }
        EXPECT_EQ(openProtection(*p.b).damaged, c.openFails);
        EXPECT_EQ(opens(*p.b, good), !c.openFails);
    }
}

TEST(OpenMessage, ShortOrBadTextFails) {
    const Pair p = channelPair(true, true);
    std::vector<uint8_t> lead(64 + 16 + 64, 1);  // the leading parts and no data
    EXPECT_FALSE(opens(*p.b, base64Encode(lead.data(), lead.size())));
    EXPECT_FALSE(opens(*p.b, ""));
    EXPECT_FALSE(opens(*p.b, "@@@@"));
    std::string sig;
    EXPECT_FALSE(verifyMessageSignature(*p.b, "AAAA", 4, nullptr, 0, &sig));
}

TEST(MessageProtection, ChannelsThatCannotProtect) {
    // Own keys only: sealing neither signs nor encrypts, so the "sealed" text
    // is the data in base64 and any channel opens it. channelProtects tells.
    const auto own = TestSupport::ownKeysChannel("A", "B", true, true);
    EXPECT_FALSE(sealProtection(*own).any());
    EXPECT_TRUE(openProtection(*own).encrypt);
    EXPECT_FALSE(openProtection(*own).sign);
    EXPECT_FALSE(channelProtects(*own));
    const std::string sealed = seal(*own, bytes("abc"));
    EXPECT_EQ(sealed, "YWJj");
    SecureChannel none;
    EXPECT_FALSE(channelProtects(none));
    std::vector<uint8_t> data;
    EXPECT_TRUE(opens(none, sealed, &data));
    EXPECT_EQ(data, bytes("abc"));
    // Only the exact text opens, even where the decoder alone would not notice.
    EXPECT_FALSE(opens(none, "YR=="));
    EXPECT_TRUE(opens(none, "YQ=="));
    std::string sig;
    EXPECT_FALSE(verifyMessageSignature(none, "YQ==", 4, data.data(), 1, &sig));

    // The use flag decides, whatever keys are present.
    Pair p = channelPair(true, true);
    p.a->useSign = 0;
    EXPECT_TRUE(sealProtection(*p.a).encrypt);
    EXPECT_FALSE(sealProtection(*p.a).sign);
    std::string noSig = "x";
    const std::string text = seal(*p.a, bytes("abc"), &noSig);
    EXPECT_TRUE(noSig.empty());
    EXPECT_FALSE(opens(*p.b, text));  // B expects a signature in front
    p.b->useSign = 0;
    EXPECT_TRUE(opens(*p.b, text));
}

TEST(SealMessage, LargeMessageWithTheLargestKeys) {
    const Pair p = channelPair(true, true, 1024);
    std::vector<uint8_t> data(70000);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 31 + 7);
    std::string sig;
    const std::string sealed = seal(*p.b, data, &sig);
    EXPECT_EQ(sig.size(), 256u);
    std::vector<uint8_t> plain;
    ASSERT_TRUE(opens(*p.a, sealed, &plain));
    EXPECT_EQ(plain, data);
}

TEST(MessageSealer, SlicesAndPiecesMakeAndOpenTheMessageOfAllParts) {
    const Pair p = channelPair(true, true);
    std::vector<uint8_t> head = bytes("head"), tail(5000);
    for (size_t i = 0; i < tail.size(); ++i) tail[i] = static_cast<uint8_t>(i * 13 + 1);
    std::vector<uint8_t> whole = head;
    whole.insert(whole.end(), tail.begin(), tail.end());

    for (size_t slice : {size_t{4}, size_t{7}, size_t{1000}, size_t{1} << 20}) {
        MessageSealer sealer;
        ASSERT_TRUE(sealer.start(*p.a, {head, {}, tail}));
        std::string text;
        std::vector<char> out(slice);
        while (const size_t n = sealer.next(out.data(), out.size())) text.append(out.data(), n);
        EXPECT_FALSE(sealer.failed());
        EXPECT_EQ(text.size(), sealer.textLength());
        EXPECT_EQ(sealer.next(out.data(), out.size()), 0u);

        std::vector<uint8_t> opened;
        ASSERT_TRUE(opens(*p.b, text, &opened)) << slice;
        EXPECT_EQ(opened, whole);

        // Opened as it arrives, in pieces of any size.
        MessageOpener opener;
        ASSERT_TRUE(opener.start(*p.b));
        for (size_t at = 0; at < text.size(); at += slice)
            ASSERT_TRUE(opener.feed(text.data() + at, std::min(slice, text.size() - at)));
        SecretBytes data;
        ASSERT_TRUE(opener.finish(data));
        EXPECT_EQ(std::vector<uint8_t>(data.begin(), data.end()), whole);

        // Or handed on as they open, for data too large to be kept whole.
        std::vector<uint8_t> handed;
        ASSERT_TRUE(opener.start(*p.b, text.size(), [&handed](const uint8_t* d, size_t n) {
            handed.insert(handed.end(), d, d + n);
            return true;
        }));
        for (size_t at = 0; at < text.size(); at += slice)
            ASSERT_TRUE(opener.feed(text.data() + at, std::min(slice, text.size() - at)));
        ASSERT_TRUE(opener.finish(data));
        EXPECT_TRUE(data.empty());
        EXPECT_EQ(handed, whole);
    }

    // A cut text does not open, however it arrived and wherever its data
    // went; nor do empty parts alone.
    MessageSealer sealer;
    ASSERT_TRUE(sealer.start(*p.a, {head}));
    std::string text(sealer.textLength(), '\0');
    ASSERT_EQ(sealer.next(text.data(), text.size()), text.size());
    for (const bool handedOn : {false, true}) {
        MessageOpener opener;
        ASSERT_TRUE(opener.start(*p.b, 0,
                                 handedOn ? MessageOpener::Sink([](auto, auto) { return true; })
                                          : MessageOpener::Sink()));
        ASSERT_TRUE(opener.feed(text.data(), text.size() - 4));
        SecretBytes data;
        EXPECT_FALSE(opener.finish(data));
        EXPECT_TRUE(data.empty());
    }
    EXPECT_FALSE(sealer.start(*p.a, {{}, {}}));

    // A taker that cannot take more stops the opening.
    MessageOpener opener;
    ASSERT_TRUE(opener.start(*p.b, 0, [](const uint8_t*, size_t) { return false; }));
    EXPECT_FALSE(opener.feed(text.data(), text.size()));
    SecretBytes data;
    EXPECT_FALSE(opener.finish(data));
}

// A long text is digested and handed on by a second thread while the next
// pieces are decoded: the same data in the same order, the same verdict for
// a changed text, a taker that gives up stops the opening, and an opener
// dropped half-way stops its thread (the sanitizers watch the rest).
TEST(MessageOpener, LongTextsOpenOnTwoThreadsWithTheSameVerdicts) {
    const Pair p = channelPair(true, true);
    std::vector<uint8_t> data((3u << 20) / 2 + 7);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 29 + (i >> 9));
    const std::string text = seal(*p.a, data);
    std::string changed = text;
    changed[changed.size() / 2] = changed[changed.size() / 2] == 'A' ? 'B' : 'A';

    const auto open = [&](const std::string& t, size_t giveUpAfter, std::vector<uint8_t>& out,
                          size_t stopAt = std::string::npos) {
        out.clear();
        MessageOpener opener;
        if (!opener.start(*p.b, t.size(), [&](const uint8_t* d, size_t n) {
                out.insert(out.end(), d, d + n);
                return out.size() < giveUpAfter;
            }))
            return false;
        bool fed = true;
        for (size_t at = 0; fed && at < std::min(t.size(), stopAt); at += 100000)
            fed = opener.feed(t.data() + at, std::min<size_t>(100000, t.size() - at));
        if (stopAt != std::string::npos) return false;
        SecretBytes none;
        return fed && opener.finish(none) && none.empty();
    };
    std::vector<uint8_t> out;
    EXPECT_TRUE(open(text, SIZE_MAX, out));
    EXPECT_TRUE(out == data);
    EXPECT_FALSE(open(changed, SIZE_MAX, out));
    EXPECT_FALSE(open(text.substr(0, text.size() - 4), SIZE_MAX, out));
    EXPECT_FALSE(open(text, 100000, out));
    EXPECT_LT(out.size(), data.size());
    EXPECT_FALSE(open(text, SIZE_MAX, out, text.size() / 2));
}

// Sealing data where they are: the text opens to them, small or large (the
// cipher then follows the digest on a second thread), and afterwards they
// hold their encrypted form, or stay as they were on a channel that does not
// encrypt.
TEST(MessageSealer, SealingInPlaceOpensToTheDataAndLeavesThemEncrypted) {
    const Pair both = channelPair(true, true), signOnly = channelPair(false, true);
    for (const size_t size : {size_t{1000}, (size_t{3} << 20) / 2 + 5}) {
        std::vector<uint8_t> head = bytes("head"), tail(size);
        for (size_t i = 0; i < tail.size(); ++i) tail[i] = static_cast<uint8_t>(i * 13 + (i >> 8));
        std::vector<uint8_t> whole = head;
        whole.insert(whole.end(), tail.begin(), tail.end());
        for (const Pair* p : {&both, &signOnly}) {
            std::vector<uint8_t> h = head, t = tail;
            MessageSealer sealer;
            ASSERT_TRUE(sealer.startInPlace(*p->a, {h, t}));
            std::string text(sealer.textLength(), '\0');
            size_t at = 0;
            while (const size_t n =
                       sealer.next(text.data() + at, std::min<size_t>(65536, text.size() - at)))
                at += n;
            ASSERT_EQ(at, text.size());
            std::vector<uint8_t> opened;
            ASSERT_TRUE(opens(*p->b, text, &opened)) << size;
            EXPECT_TRUE(opened == whole) << size;
            const bool encrypts = p == &both;
            EXPECT_EQ(h != head, encrypts) << size;
            EXPECT_EQ(t != tail, encrypts) << size;
        }
    }
}

// A block whose body is empty is no message, even when everything in it is
// genuine: the sender's own signature over the digest of empty data, alone
// or with the message key and digest of an encrypting channel in front.
TEST(OpenMessage, AnEmptyBodyIsRefusedEvenWithAGenuineSignature) {
    uint8_t digest[16];
    ASSERT_TRUE(md5Digest("", 0, digest));
    for (const bool crypt : {false, true}) {
        SCOPED_TRACE(crypt ? "signs and encrypts" : "signs");
        Pair p = channelPair(crypt, true);
        std::vector<uint8_t> block(static_cast<size_t>(p.a->signPrivateKey->sizeBytes()));
        unsigned length = 0;
        ASSERT_TRUE(signDigest(*p.a->signPrivateKey, digest, block.data(), &length));
        block.resize(length);
        // The genuine signature verifies: only the empty body refuses it.
        ASSERT_TRUE(verifyDigest(*p.b->signPublicKey, digest, block.data(), length));
        if (crypt) {
            uint8_t key[16];
            ASSERT_TRUE(makeSessionKey(key));
            uint8_t sealedDigest[16];
            ASSERT_TRUE(rc4Transform(key, 16, digest, sealedDigest));
            block.insert(block.end(), sealedDigest, sealedDigest + 16);
            std::vector<uint8_t> sealedKey(static_cast<size_t>(p.b->cryptPrivateKey->sizeBytes()));
            int keyLength = 0;
            ASSERT_TRUE(publicEncrypt(*p.a->cryptPublicKey, key, 16, sealedKey.data(), &keyLength));
            block.insert(block.end(), sealedKey.begin(), sealedKey.begin() + keyLength);
        }
        std::vector<uint8_t> data{'x'};
        std::string signature = "x";
        EXPECT_FALSE(opens(*p.b, base64Encode(block.data(), block.size()), &data, &signature));
        EXPECT_TRUE(data.empty());
        EXPECT_TRUE(signature.empty());
    }
}
