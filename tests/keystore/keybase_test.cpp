#include <gtest/gtest.h>

#include <tuple>

#include "keystore/keybase.h"
#include "support/recordbytes.h"
#include "support/tempdir.h"
#include "support/testkeys.h"

using namespace Talvek;
using TestSupport::bytesWrittenBy;
using TestSupport::completeChannel;
using TestSupport::ownKeysChannel;
using TestSupport::readBytes;
using TestSupport::RecordBytes;
using TestSupport::TempDir;

namespace {

std::vector<uint8_t> channelBytes(const SecureChannel& channel) {
    return bytesWrittenBy([&](FileWriter& f) { return channel.writeChannel(f); });
}

std::vector<std::string> nodeNames(const KeyBase& base) {
    std::vector<std::string> names;
    for (const auto& [key, node] : base.nodes) names.push_back(node->name);
    return names;
}

std::vector<std::string> listedPairs(const KeyBase& base) {
    KeyBaseSummary header;
    std::vector<ChannelSummary> channels;
    base.listChannels(header, channels);
    std::vector<std::string> pairs;
    for (const auto& c : channels) pairs.push_back(c.fullLocalName + ":" + c.fullRemoteName);
    return pairs;
}

// A listing read straight from the file says what loading and listing say:
// the same success, channels, order, flags, sizes and fingerprints.
void expectSummariesAgree(const std::vector<uint8_t>& bytes) {
    KeyBase loaded;
    const bool loadedOk = TestSupport::readFromBytes(
        bytes, [&](FileReader& f) { return loaded.readBase(f); });
    KeyBaseSummary loadedHeader;
    std::vector<ChannelSummary> expected;
    if (loadedOk) loaded.listChannels(loadedHeader, expected);
    KeyBase reader;
    KeyBaseSummary header;
    std::vector<ChannelSummary> listed;
    const bool listedOk = TestSupport::readFromBytes(
        bytes, [&](FileReader& f) { return reader.readSummaries(f, header, listed); });
    ASSERT_EQ(listedOk, loadedOk);
    if (!loadedOk) return;
    EXPECT_EQ(header.channelCount, loadedHeader.channelCount);
    EXPECT_EQ(std::string(header.baseName), std::string(loadedHeader.baseName));
    ASSERT_EQ(listed.size(), expected.size());
    for (size_t i = 0; i < listed.size(); ++i) {
        const ChannelSummary& a = listed[i];
        const ChannelSummary& b = expected[i];
        EXPECT_EQ(a.fullLocalName + ":" + a.fullRemoteName, b.fullLocalName + ":" + b.fullRemoteName);
        EXPECT_EQ(std::string(a.remoteName), std::string(b.remoteName));
        EXPECT_EQ(std::tie(a.useCrypt, a.useSign, a.cryptSize, a.signSize, a.hasCryptPrivate,
                           a.hasCryptPublic, a.hasSignPrivate, a.hasSignPublic),
                  std::tie(b.useCrypt, b.useSign, b.cryptSize, b.signSize, b.hasCryptPrivate,
                           b.hasCryptPublic, b.hasSignPrivate, b.hasSignPublic));
        EXPECT_EQ(a.cryptPrivateFingerprint, b.cryptPrivateFingerprint);
        EXPECT_EQ(a.cryptPublicFingerprint, b.cryptPublicFingerprint);
        EXPECT_EQ(a.signPrivateFingerprint, b.signPrivateFingerprint);
        EXPECT_EQ(a.signPublicFingerprint, b.signPublicFingerprint);
    }
}

}  // namespace

TEST(KeyBaseLayout, NodesAndChannelsFollowOneAnotherInMapOrder) {
    TempDir dir;
    KeyBase base;
    base.name = "net";
    base.addChannel(completeChannel("srv", "u2", true, true));
    base.addChannel(ownKeysChannel("srv", "u1", false, true));
    base.addChannel(ownKeysChannel("adm", "srv", true, false));
    ASSERT_TRUE(base.saveBase(dir.file("b.key_base")));

    RecordBytes expected;
    expected.magic("KNET0").text("net").u32(2);
    expected.magic("KNOD0").text("adm").u32(1).raw(channelBytes(*base.findChannel("adm", "srv")));
    expected.magic("KNOD0").text("srv").u32(2);
    expected.raw(channelBytes(*base.findChannel("srv", "u1")));
    expected.raw(channelBytes(*base.findChannel("srv", "u2")));
    EXPECT_EQ(readBytes(dir.file("b.key_base")), expected.bytes());
}

TEST(KeyBaseLayout, EmptyBaseSavesItsThirteenByteHeaderAndReportsFailure) {
    TempDir dir;
    TestSupport::writeText(dir.file("e.key_base"), "previous content");
    KeyBase base;
    EXPECT_FALSE(base.saveBase(dir.file("e.key_base")));
    EXPECT_EQ(readBytes(dir.file("e.key_base")),
              RecordBytes().magic("KNET0").u32(0).u32(0).bytes());
    EXPECT_EQ(TestSupport::listDir(dir.path()).size(), 1u);
    // A count of 0 does not load.
    KeyBase again;
    EXPECT_FALSE(again.loadBase(dir.file("e.key_base")));
}

// A node without channels writes nothing, but is counted; reading it back
// gives one empty, unnamed node.
TEST(KeyBaseEmptyNodes, DeletedLastChannelLeavesACountedEmptyNode) {
    TempDir dir;
    KeyBase base;
    base.name = "nm";
    base.addChannel(ownKeysChannel("a", "b", true, false));
    ASSERT_TRUE(base.deleteChannel("a", "b"));
    EXPECT_FALSE(base.deleteChannel("a", "b"));
    EXPECT_FALSE(base.deleteChannel("x", "b"));
    ASSERT_EQ(base.nodes.size(), 1u);
    ASSERT_TRUE(base.saveBase(dir.file("f")));
    EXPECT_EQ(readBytes(dir.file("f")), RecordBytes().magic("KNET0").text("nm").u32(1).bytes());

    KeyBase back;
    ASSERT_TRUE(back.loadBase(dir.file("f")));
    EXPECT_EQ(back.name, "nm");
    EXPECT_EQ(nodeNames(back), std::vector<std::string>{""});
    KeyBaseSummary header;
    std::vector<ChannelSummary> channels;
    EXPECT_FALSE(back.listChannels(header, channels));
    EXPECT_EQ(header.channelCount, 0);
    EXPECT_EQ(std::string(header.baseName), "nm");
}

TEST(KeyBaseEmptyNodes, EmptyNodeBeforeAFullOneReadsBackUnnamed) {
    TempDir dir;
    KeyBase base;
    base.addChannel(ownKeysChannel("a", "x", true, false));
    base.addChannel(ownKeysChannel("b", "y", false, true));
    base.deleteChannel("a", "x");
    ASSERT_TRUE(base.saveBase(dir.file("f")));
    RecordBytes expected;
    expected.magic("KNET0").u32(0).u32(2);
    expected.magic("KNOD0").text("b").u32(1).raw(channelBytes(*base.findChannel("b", "y")));
    EXPECT_EQ(readBytes(dir.file("f")), expected.bytes());

    KeyBase back;
    ASSERT_TRUE(back.loadBase(dir.file("f")));
    EXPECT_EQ(nodeNames(back), (std::vector<std::string>{"", "b"}));
    EXPECT_EQ(listedPairs(back), std::vector<std::string>{"b:y"});
}

TEST(KeyBaseRoundTrip, OwnEncryptionPairOnlySurvivesWithEveryField) {
    TempDir dir;
    KeyBase base;
    base.addChannel(ownKeysChannel("user", "server", true, false));
    ASSERT_TRUE(base.saveBase(dir.file("userkey.bin")));
    EXPECT_EQ(TestSupport::fileMode(dir.file("userkey.bin")), 0600u);
    KeyBase back;
    ASSERT_TRUE(back.loadBase(dir.file("userkey.bin")));
    const SecureChannel* a = base.findChannel("user", "server");
    const SecureChannel* b = back.findChannel("user", "server");
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b->useCrypt, a->useCrypt);
    EXPECT_EQ(b->useSign, a->useSign);
    EXPECT_EQ(b->hasCryptPrivate, 1);
    EXPECT_EQ(b->hasCryptPublic, 0);
    EXPECT_EQ(b->hasSignPrivate, 0);
    EXPECT_EQ(b->cryptSize, 512u);
    EXPECT_EQ(b->signSize, 0u);
    EXPECT_EQ(b->cryptPublicKey, nullptr);
    ASSERT_NE(b->cryptPrivateKey, nullptr);
    EXPECT_EQ(b->cryptPrivateKey->name(), "user");
    EXPECT_EQ(BN_cmp(b->cryptPrivateKey->dmq1(), a->cryptPrivateKey->dmq1()), 0);
    EXPECT_TRUE(b->cryptPrivateKey->hasCompletePrivate());
    ASSERT_TRUE(back.saveBase(dir.file("again")));
    EXPECT_EQ(readBytes(dir.file("again")), readBytes(dir.file("userkey.bin")));
}

TEST(KeyBaseOrder, NamesAreOrderedByUnsignedBytes) {
    TempDir dir;
    KeyBase base;
    // 0xC0 (a Cyrillic capital in Windows-1251) sorts after every ASCII name.
    for (const char* local : {"\xC0", "b", "ab", "a", "B"}) {
        for (const char* remote : {"\xE0", "z", "Z"}) {
            base.addChannel(ownKeysChannel(local, remote, true, false));
        }
    }
    const std::vector<std::string> order = {"B", "a", "ab", "b", "\xC0"};
    EXPECT_EQ(nodeNames(base), order);
    ASSERT_TRUE(base.saveBase(dir.file("f")));
    KeyBase back;
    ASSERT_TRUE(back.loadBase(dir.file("f")));
    EXPECT_EQ(nodeNames(back), order);
    const auto pairs = listedPairs(back);
    ASSERT_EQ(pairs.size(), 15u);
    EXPECT_EQ(pairs[0], "B:Z");
    EXPECT_EQ(pairs[1], "B:z");
    EXPECT_EQ(pairs[2], "B:\xE0");
    EXPECT_EQ(pairs[14], "\xC0:\xE0");
    // Order in the file too: node "B" comes first.
    const auto bytes = readBytes(dir.file("f"));
    EXPECT_EQ(std::string(bytes.begin() + 13, bytes.begin() + 23),
              std::string("KNOD0\1\0\0\0B", 10));
}

TEST(KeyBaseChannels, SamePairReplacesDifferentPairsDoNot) {
    KeyBase base;
    base.addChannel(ownKeysChannel("a", "b", true, false));
    base.addChannel(ownKeysChannel("b", "a", true, false));
    base.addChannel(ownKeysChannel("a", "B", true, false));
    auto replacement = ownKeysChannel("a", "b", false, true, 512, 1);
    const SecureChannel* added = replacement.get();
    EXPECT_TRUE(base.addChannel(std::move(replacement)));
    EXPECT_EQ(base.channelCount(), 3);
    EXPECT_EQ(base.findChannel("a", "b"), added);
    EXPECT_EQ(added->useCrypt, 0);
    SecureChannel* out = nullptr;
    EXPECT_TRUE(base.findChannel("b", "a", &out));
    EXPECT_NE(out, nullptr);
    EXPECT_FALSE(base.findChannel("b", "b", &out));
    EXPECT_EQ(out, nullptr);
    EXPECT_FALSE(base.findChannel("c", "a", &out));
    EXPECT_EQ(listedPairs(base), (std::vector<std::string>{"a:B", "a:b", "b:a"}));
}

TEST(KeyBaseChannels, ListingCutsNamesTo31BytesWhileTheBaseKeepsThem) {
    TempDir dir;
    const std::string local(35, 'l');
    const std::string remote = std::string(31, 'r') + "\xE9\xE9";
    KeyBase base;
    base.name = std::string(40, 'n');
    base.addChannel(completeChannel(local, remote, true, true));
    base.addChannel(ownKeysChannel(local, "other", false, true));
    ASSERT_TRUE(base.saveBase(dir.file("f")));
    KeyBase back;
    ASSERT_TRUE(back.loadBase(dir.file("f")));
    KeyBaseSummary header;
    std::vector<ChannelSummary> channels;
    ASSERT_TRUE(back.listChannels(header, channels));
    EXPECT_EQ(std::string(header.baseName), std::string(31, 'n'));
    EXPECT_EQ(header.channelCount, 2);
    ASSERT_EQ(channels.size(), 2u);
    EXPECT_EQ(std::string(channels[0].localName), std::string(31, 'l'));
    EXPECT_EQ(std::string(channels[0].remoteName), "other");
    EXPECT_EQ(std::string(channels[1].remoteName), std::string(31, 'r'));
    EXPECT_EQ(channels[1].fullRemoteName, remote);
    EXPECT_EQ(channels[1].hasSignPublic, 1);
    EXPECT_EQ(back.name, base.name);
    EXPECT_NE(back.findChannel(local, remote), nullptr);
}

TEST(KeyBaseLoad, WhatTheFileSaysDecides) {
    TempDir dir;
    auto channel = ownKeysChannel("l", "r", true, false);
    const auto one = channelBytes(*channel);
    auto load = [&](const RecordBytes& bytes) {
        TestSupport::writeBytes(dir.file("f"), bytes.bytes());
        expectSummariesAgree(bytes.bytes());
        KeyBase base;
        const bool ok = base.loadBase(dir.file("f")).ok();
        return std::make_pair(ok, nodeNames(base));
    };
    KeyBase base;
    EXPECT_FALSE(base.loadBase(dir.file("missing")));
    EXPECT_FALSE(load(RecordBytes().magic("KNET1").u32(0).u32(1)).first);
    EXPECT_FALSE(load(RecordBytes().magic("KNET0").u32(0).u32(0x80000000)).first);
    // A node magic that does not match is an empty node; its five bytes are gone.
    auto r = load(
        RecordBytes().magic("KNET0").u32(0).u32(2).raw("XXXXX").magic("KNOD0").text("n").u32(1).raw(
            one));
    EXPECT_TRUE(r.first);
    EXPECT_EQ(r.second, (std::vector<std::string>{"", "n"}));
    // A later node of the same name takes the place of the earlier one.
    RecordBytes twice;
    twice.magic("KNET0").u32(0).u32(2).magic("KNOD0").text("n").u32(1).raw(one);
    twice.magic("KNOD0").text("n").u32(0);
    r = load(twice);
    EXPECT_TRUE(r.first);
    TestSupport::writeBytes(dir.file("f"), twice.bytes());
    ASSERT_TRUE(base.loadBase(dir.file("f")));
    EXPECT_EQ(base.channelCount(), 0);
    // Within a node, a later channel with the same remote name replaces the earlier.
    auto signing = ownKeysChannel("l", "r", false, true, 512, 1);
    RecordBytes sameRemote;
    sameRemote.magic("KNET0").u32(0).u32(1).magic("KNOD0").text("l").u32(2).raw(one);
    sameRemote.raw(channelBytes(*signing));
    expectSummariesAgree(sameRemote.bytes());
    TestSupport::writeBytes(dir.file("f"), sameRemote.bytes());
    ASSERT_TRUE(base.loadBase(dir.file("f")));
    ASSERT_EQ(base.channelCount(), 1);
    EXPECT_EQ(base.findChannel("l", "r")->useSign, 1);
    EXPECT_EQ(base.findChannel("l", "r")->useCrypt, 0);
    // Channels out of order, a replaced one among them, over two nodes with
    // an empty node between: listed in the base's order all the same.
    auto complete = completeChannel("l", "a", true, true, 512, 2);
    auto other = ownKeysChannel("k", "z", true, true, 512, 3);
    RecordBytes unordered;
    unordered.magic("KNET0").text("base").u32(3).magic("KNOD0").text("l").u32(4);
    unordered.raw(channelBytes(*signing)).raw(channelBytes(*complete)).raw(one);
    unordered.raw(channelBytes(*ownKeysChannel("l", "b", true, false)));
    unordered.raw("XXXXX").magic("KNOD0").text("k").u32(1).raw(channelBytes(*other));
    expectSummariesAgree(unordered.bytes());
    // A damaged channel fails the whole load.
    auto damaged = one;
    damaged[4] = '1';
    damaged[0] = 'X';
    EXPECT_FALSE(
        load(
            RecordBytes().magic("KNET0").u32(0).u32(1).magic("KNOD0").text("n").u32(1).raw(damaged))
            .first);
}
