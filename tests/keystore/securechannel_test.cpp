#include <gtest/gtest.h>

#include "keystore/securechannel.h"
#include "support/recordbytes.h"
#include "support/testkeys.h"

using namespace Talvek;
using TestSupport::bytesWrittenBy;
using TestSupport::cachedPrivateKey;
using TestSupport::readFromBytes;
using TestSupport::RecordBytes;

namespace {

std::unique_ptr<RsaKeyRecord> publicOf(int bits, int slot, const std::string& name) {
    auto key = cachedPrivateKey(bits, slot);
    key->setName(name);
    std::unique_ptr<RsaKeyRecord> pub;
    key->extractPublic(pub);
    return pub;
}

std::unique_ptr<RsaKeyRecord> privateOf(int bits, int slot, const std::string& name) {
    auto key = cachedPrivateKey(bits, slot);
    key->setName(name);
    return key;
}

bool sameNumbers(const RsaKeyRecord* a, const RsaKeyRecord* b) {
    if (!a || !b) return a == b;
    auto same = [](const BIGNUM* x, const BIGNUM* y) {
        return (!x && !y) || (x && y && BN_cmp(x, y) == 0);
    };
    return a->kind() == b->kind() && a->name() == b->name() && same(a->n(), b->n()) &&
           same(a->e(), b->e()) && same(a->d(), b->d()) && same(a->p(), b->p()) &&
           same(a->q(), b->q()) && same(a->dmp1(), b->dmp1()) && same(a->dmq1(), b->dmq1()) &&
           same(a->iqmp(), b->iqmp());
}

SecureChannel readBack(const std::vector<uint8_t>& bytes, bool* ok, uint64_t* left = nullptr) {
    SecureChannel channel;
    *ok = readFromBytes(
        bytes, [&](FileReader& f) { return channel.readChannel(f); }, left);
    return channel;
}

}  // namespace

TEST(ChannelLayout, CompleteChannelIsWrittenFieldByField) {
    auto channel = TestSupport::completeChannel("loc", "remote", true, true);
    bool ok = false;
    const auto bytes = bytesWrittenBy([&](FileWriter& f) { return channel->writeChannel(f); }, &ok);
    EXPECT_TRUE(ok);
    RecordBytes expected;
    expected.magic("KCHA1").u8(1).u8(1).text("loc").text("remote");
    expected.u8(1).u8(1).u8(1).u8(1).u32(512).u32(512);
    expected.publicKey(*channel->cryptPublicKey).privateKey(*channel->cryptPrivateKey);
    expected.privateKey(*channel->signPrivateKey).publicKey(*channel->signPublicKey);
    EXPECT_EQ(bytes, expected.bytes());

    SecureChannel back = readBack(bytes, &ok);
    ASSERT_TRUE(ok);
    EXPECT_EQ(back.localName, "loc");
    EXPECT_EQ(back.remoteName, "remote");
    EXPECT_EQ(back.cryptSize, 512u);
    EXPECT_TRUE(sameNumbers(back.cryptPublicKey.get(), channel->cryptPublicKey.get()));
    EXPECT_TRUE(sameNumbers(back.cryptPrivateKey.get(), channel->cryptPrivateKey.get()));
    EXPECT_TRUE(sameNumbers(back.signPrivateKey.get(), channel->signPrivateKey.get()));
    EXPECT_TRUE(sameNumbers(back.signPublicKey.get(), channel->signPublicKey.get()));
}

// The presence flags count only while their use is on: the keys of a use
// that is off are neither written nor read, though the flags are kept.
TEST(ChannelLayout, KeysOfAnUnusedUseAreSkipped) {
    auto channel = TestSupport::completeChannel("a", "b", true, false);
    channel->hasSignPrivate = 1;
    channel->signPrivateKey = privateOf(512, 1, "a");
    const auto bytes = bytesWrittenBy([&](FileWriter& f) { return channel->writeChannel(f); });
    RecordBytes expected;
    expected.magic("KCHA1").u8(1).u8(0).text("a").text("b").u8(1).u8(1).u8(1).u8(0);
    expected.u32(512).u32(0);
    expected.publicKey(*channel->cryptPublicKey).privateKey(*channel->cryptPrivateKey);
    EXPECT_EQ(bytes, expected.bytes());
    bool ok = false;
    SecureChannel back = readBack(bytes, &ok);
    ASSERT_TRUE(ok);
    EXPECT_EQ(back.hasSignPrivate, 1);
    EXPECT_EQ(back.signPrivateKey, nullptr);
}

TEST(ChannelLayout, FlagsAndSizesAreTakenAsRead) {
    auto pub = publicOf(512, 0, "peer");
    const auto bytes = RecordBytes()
                           .magic("KCHA1")
                           .u8(2)
                           .u8(0)
                           .u32(0)  // no local name
                           .text("peer")
                           .u8(0)
                           .u8(9)
                           .u8(0)
                           .u8(0)
                           .u32(12345)
                           .u32(0xFFFFFFFF)
                           .publicKey(*pub)
                           .raw("trailing")
                           .bytes();
    bool ok = false;
    uint64_t left = 0;
    SecureChannel back = readBack(bytes, &ok, &left);
    ASSERT_TRUE(ok);
    EXPECT_EQ(back.useCrypt, 2);
    EXPECT_EQ(back.hasCryptPublic, 9);
    EXPECT_EQ(back.cryptSize, 12345u);
    EXPECT_EQ(back.signSize, 0xFFFFFFFFu);
    EXPECT_EQ(back.localName, "");
    EXPECT_TRUE(sameNumbers(back.cryptPublicKey.get(), pub.get()));
    EXPECT_EQ(left, 8u);  // the reader stops behind its record
}

// The old layout has no presence flags and no sizes: a use that is on
// carries both its keys, and the sizes come from the keys read.
TEST(ChannelOldLayout, BothKeysPerUseAndSizesFromTheKeys) {
    auto cryptPub = publicOf(1024, 0, "srv");
    auto cryptPriv = privateOf(512, 1, "usr");
    auto signPriv = privateOf(512, 2, "usr");
    auto signPub = publicOf(1024, 3, "srv");
    for (const char* magic : {"KCHA0", "KCHA9"}) {
        SCOPED_TRACE(magic);
        const auto bytes = RecordBytes()
                               .magic(magic)
                               .u8(1)
                               .u8(1)
                               .text("usr")
                               .text("srv")
                               .publicKey(*cryptPub)
                               .privateKey(*cryptPriv)
                               .privateKey(*signPriv)
                               .publicKey(*signPub)
                               .bytes();
        bool ok = false;
        uint64_t left = 1;
        SecureChannel back = readBack(bytes, &ok, &left);
        ASSERT_TRUE(ok);
        EXPECT_EQ(left, 0u);
        EXPECT_EQ(
            back.hasCryptPrivate + back.hasCryptPublic + back.hasSignPrivate + back.hasSignPublic,
            4);
        EXPECT_EQ(back.cryptSize, 1024u);  // 8 x the bytes of the peer's encryption key
        EXPECT_EQ(back.signSize, 512u);    // 8 x the bytes of the own signing key
        EXPECT_TRUE(sameNumbers(back.signPublicKey.get(), signPub.get()));

        // Written back in the current layout, with the flags and sizes.
        const auto again = bytesWrittenBy([&](FileWriter& f) { return back.writeChannel(f); });
        EXPECT_EQ(std::string(again.begin(), again.begin() + 5), "KCHA1");
        EXPECT_EQ(again.size(), bytes.size() + 12);
    }

    // Only signing: the two signing keys, no encryption size.
    const auto signOnly = RecordBytes()
                              .magic("KCHA0")
                              .u8(0)
                              .u8(1)
                              .text("usr")
                              .text("srv")
                              .privateKey(*signPriv)
                              .publicKey(*signPub)
                              .bytes();
    bool ok = false;
    SecureChannel back = readBack(signOnly, &ok);
    ASSERT_TRUE(ok);
    EXPECT_EQ(back.hasCryptPublic, 0);
    EXPECT_EQ(back.hasSignPublic, 1);
    EXPECT_EQ(back.cryptSize, 0u);
    EXPECT_EQ(back.signSize, 512u);
}

TEST(ChannelRead, OnlyTheMagicsDecide) {
    auto pub = publicOf(512, 0, "p");
    EXPECT_FALSE(readFromBytes(RecordBytes().magic("KCHB1").bytes(), [](FileReader& f) {
        SecureChannel c;
        return c.readChannel(f);
    }));
    // A wrong key magic fails the channel, and the keys behind it are not read.
    RecordBytes bad;
    bad.magic("KCHA1").u8(1).u8(1).text("l").text("r").u8(1).u8(1).u8(1).u8(1).u32(512).u32(512);
    bad.publicKey(*pub).magic("KRSK1").u32(2);
    bool ok = true;
    uint64_t left = 0;
    SecureChannel back = readBack(bad.bytes(), &ok, &left);
    EXPECT_FALSE(ok);
    EXPECT_NE(back.cryptPublicKey, nullptr);
    EXPECT_EQ(back.signPrivateKey, nullptr);
    EXPECT_EQ(left, 4u);
    // Old layout that fails keeps its sizes at zero.
    auto old = RecordBytes().magic("KCHA0").u8(1).u8(0).text("l").text("r").publicKey(*pub);
    back = readBack(old.bytes(), &ok);
    EXPECT_FALSE(ok);
    EXPECT_EQ(back.cryptSize, 0u);
}

TEST(ChannelRead, ResetsEverythingBeforeReading) {
    auto channel = TestSupport::completeChannel("l", "r", true, true);
    bool ok = true;
    readFromBytes(RecordBytes().magic("KCHA1").bytes(), [&](FileReader& f) {
        ok = channel->readChannel(f);
        return ok;
    });
    EXPECT_TRUE(ok);
    EXPECT_EQ(channel->localName, "");
    EXPECT_EQ(channel->cryptSize, 0u);
    EXPECT_EQ(channel->cryptPrivateKey, nullptr);
    EXPECT_EQ(channel->useSign, 0);
}

TEST(ChannelSummaryTest, NamesAreCutTo31BytesWhileFullNamesTravel) {
    auto channel = TestSupport::ownKeysChannel(std::string(40, 'L'), "short", true, false);
    EXPECT_FALSE(channel->toSummary(nullptr));
    ChannelSummary summary;
    ASSERT_TRUE(channel->toSummary(&summary));
    EXPECT_EQ(std::string(summary.localName), std::string(31, 'L'));
    EXPECT_EQ(summary.localName[31], '\0');
    EXPECT_EQ(std::string(summary.remoteName), "short");
    EXPECT_EQ(summary.fullLocalName, std::string(40, 'L'));
    EXPECT_EQ(summary.useCrypt, 1);
    EXPECT_EQ(summary.useSign, 0);
    EXPECT_EQ(summary.cryptSize, 512u);
    EXPECT_EQ(summary.hasCryptPrivate, 1);
    EXPECT_EQ(summary.hasCryptPublic, 0);
}

// Maintenance and talvekkey's java refuse by this one rule.
TEST(ChannelSummaryTest, CompleteMeansBothHalvesOfEveryKeyUsedAndSomeKeyUsed) {
    const struct {
        uint8_t useCrypt, useSign, cryptPrivate, cryptPublic, signPrivate, signPublic;
        bool complete;
    } rows[] = {
        {0, 0, 1, 1, 1, 1, false},  // uses neither key
        {1, 0, 1, 1, 0, 0, true},  {0, 1, 0, 0, 1, 1, true},  {1, 1, 1, 1, 1, 1, true},
        {1, 0, 1, 0, 1, 1, false}, {1, 1, 0, 1, 1, 1, false}, {0, 1, 1, 1, 1, 0, false},
        {1, 1, 1, 1, 0, 1, false},
    };
    for (const auto& row : rows) {
        ChannelSummary s;
        s.useCrypt = row.useCrypt;
        s.useSign = row.useSign;
        s.hasCryptPrivate = row.cryptPrivate;
        s.hasCryptPublic = row.cryptPublic;
        s.hasSignPrivate = row.signPrivate;
        s.hasSignPublic = row.signPublic;
        EXPECT_EQ(isChannelComplete(s), row.complete)
            << int(row.useCrypt) << int(row.useSign) << int(row.cryptPrivate)
            << int(row.cryptPublic) << int(row.signPrivate) << int(row.signPublic);
    }
}
