#include <gtest/gtest.h>

#include <chrono>

#include "keystore/keybase.h"
#include "support/recordbytes.h"
#include "support/tempdir.h"
#include "support/testkeys.h"

using namespace Talvek;
using TestSupport::RecordBytes;
using TestSupport::TempDir;

namespace {

// Everything a caller may do with a base that loaded from a damaged file:
// list it, use its keys, save it. Nothing may crash, and a save either fails
// or stores a file that loads back to the same listing.
void exercise(const KeyBase& base, const TempDir& dir) {
    KeyBaseSummary header;
    std::vector<ChannelSummary> channels;
    base.listChannels(header, channels);
    const uint8_t digest[16] = {};
    for (const auto& [name, node] : base.nodes) {
        for (const auto& [remote, channel] : node->channels) {
            for (const auto* key :
                 {channel->cryptPrivateKey.get(), channel->signPrivateKey.get()}) {
                if (!key) continue;
                uint8_t signature[512];
                unsigned length = 0;
                if (signDigest(*key, digest, signature, &length)) {
                    EXPECT_TRUE(key->hasCompletePrivate());
                }
            }
        }
    }
    const std::string copy = dir.file("copy");
    if (!base.nodes.empty() && base.saveBase(copy)) {
        KeyBase back;
        ASSERT_TRUE(back.loadBase(copy));
        KeyBaseSummary header2;
        std::vector<ChannelSummary> channels2;
        back.listChannels(header2, channels2);
        EXPECT_EQ(channels2.size(), channels.size());
    }
}

double secondsToLoad(const std::vector<uint8_t>& bytes, bool* ok, KeyBase& base) {
    TempDir dir;
    TestSupport::writeBytes(dir.file("f"), bytes);
    const auto start = std::chrono::steady_clock::now();
    *ok = base.loadBase(dir.file("f")).ok();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Hand-built prefixes the hostile files below grow from: a base header with
// one node "n" announcing one channel, and that channel in the old layout
// ("l" to "r") up to its first key record's kind.
RecordBytes oneChannelNode() {
    return RecordBytes().magic("KNET0").u32(0).u32(1).magic("KNOD0").text("n").u32(1);
}

RecordBytes firstKeyRecord() {
    auto bytes = oneChannelNode();
    bytes.magic("KCHA0").u8(1).u8(0).text("l").text("r").magic("KRSK0").u32(2);
    return bytes;
}

}  // namespace

// Every prefix of a valid base (mixed uses, an empty node, old and new
// channel layouts are covered elsewhere) loads or fails, never crashes, and
// never yields more than the whole file held.
TEST(DamagedBases, EveryTruncationLoadsOrFailsCleanly) {
    TempDir dir;
    KeyBase base;
    base.name = "trunc";
    base.addChannel(TestSupport::completeChannel("srv", "u1", true, true));
    base.addChannel(TestSupport::ownKeysChannel("srv", "u2", false, true));
    base.addChannel(TestSupport::completeChannel("usr", "srv", true, false));
    base.addChannel(TestSupport::ownKeysChannel("zzz", "gone", true, false));
    base.deleteChannel("zzz", "gone");
    ASSERT_TRUE(base.saveBase(dir.file("full")));
    const auto full = TestSupport::readBytes(dir.file("full"));

    int loaded = 0;
    for (size_t cut = 0; cut < full.size(); ++cut) {
        SCOPED_TRACE(cut);
        TestSupport::writeBytes(dir.file("f"),
                                std::vector<uint8_t>(full.begin(), full.begin() + cut));
        KeyBase back;
        if (back.loadBase(dir.file("f"))) {
            ++loaded;
            EXPECT_LE(back.channelCount(), 3);
        }
        exercise(back, dir);
    }
    // The cuts between whole records and inside the last keys load.
    EXPECT_GT(loaded, 0);
    KeyBase back;
    ASSERT_TRUE(back.loadBase(dir.file("full")));
    EXPECT_EQ(back.channelCount(), 3);
}

TEST(DamagedBases, EveryByteFlippedLoadsOrFailsCleanly) {
    TempDir dir;
    KeyBase base;
    base.addChannel(TestSupport::completeChannel("a", "b", true, true));
    ASSERT_TRUE(base.saveBase(dir.file("full")));
    const auto full = TestSupport::readBytes(dir.file("full"));
    // The header and the channel's fixed fields, where a flip changes structure.
    for (size_t at = 0; at < 80 && at < full.size(); ++at) {
        for (uint8_t value : {uint8_t(0x00), uint8_t(0xFF), uint8_t(0x7F)}) {
            auto bytes = full;
            bytes[at] = value;
            TestSupport::writeBytes(dir.file("f"), bytes);
            KeyBase back;
            static_cast<void>(back.loadBase(dir.file("f")));  // what loaded is exercised either way
            exercise(back, dir);
        }
    }
}

// Lengths and counts are never trusted beyond what the file holds.
TEST(HostileBases, HugeLengthsAndCountsNeitherAllocateNorHang) {
    auto channel = TestSupport::completeChannel("l", "r", true, true);
    const auto channelBytes =
        TestSupport::bytesWrittenBy([&](FileWriter& f) { return channel->writeChannel(f); });

    struct Count {
        const char* what;
        RecordBytes bytes;
        bool loads;
        size_t nodes;
        double limit;
    };
    RecordBytes garbage;
    garbage.magic("KNET0").u32(0).u32(0x7FFFFFFF).raw(std::string(1 << 20, 'X'));
    RecordBytes manyChannels;
    manyChannels.magic("KNET0").u32(0).u32(1).magic("KNOD0").text("n");
    manyChannels.u32(0x7FFFFFFF).raw(channelBytes);
    const Count counts[] = {
        {"a node count far beyond the file: one empty node, at once",
         RecordBytes().magic("KNET0").u32(0).u32(0x7FFFFFFF), true, 1, 1.0},
        {"the same count over a megabyte of garbage: linear in the bytes", garbage, true, 1, 5.0},
        {"a channel count far beyond the file fails where the channels run out", manyChannels,
         false, 0, 1.0},
    };
    // One base for all rows: the failing row after two loads also shows that a
    // failed load leaves nothing of the previous one behind.
    KeyBase base;
    bool ok = false;
    for (const auto& row : counts) {
        SCOPED_TRACE(row.what);
        const double seconds = secondsToLoad(row.bytes.bytes(), &ok, base);
        EXPECT_EQ(ok, row.loads);
        EXPECT_EQ(base.nodes.size(), row.nodes);
        EXPECT_LT(seconds, row.limit);
    }

    // Text and number lengths of 0xFFFFFFFF in every position.
    const std::vector<RecordBytes> hostile = {
        RecordBytes().magic("KNET0").u32(0xFFFFFFFF).u32(1),
        RecordBytes().magic("KNET0").u32(0).u32(1).magic("KNOD0").u32(0xFFFFFFFF).u32(1),
        oneChannelNode().magic("KCHA1").u8(1).u8(0).u32(0xFFFFFFFF),
        firstKeyRecord().u32(0xFFFFFFFF),
        firstKeyRecord().text("k").u32(0xFFFFFFFF).raw("tail"),
        firstKeyRecord().text("k").u32(1).u8(7).u32(0x80000000),
    };
    for (size_t i = 0; i < hostile.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_LT(secondsToLoad(hostile[i].bytes(), &ok, base), 1.0);
        TempDir dir;
        exercise(base, dir);
    }
}
