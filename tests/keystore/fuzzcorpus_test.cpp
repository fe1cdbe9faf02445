#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "keystore/keybase.h"
#include "sealing/message.h"
#include "support/keyfileexercise.h"
#include "support/messageexercise.h"
#include "support/recordbytes.h"
#include "support/tempdir.h"
#include "support/testkeys.h"

using namespace Talvek;
using TestSupport::KeyFileKind;
using TestSupport::RecordBytes;
using TestSupport::TempDir;

namespace {

std::filesystem::path corpusDir(const char* target) {
    if (const char* source = std::getenv("TALVEK_TEST_SOURCE_DIR")) {
        return std::filesystem::path(source) / "tests/fuzz/corpus" / target;
    }
    return std::filesystem::path(__FILE__).parent_path().parent_path() / "fuzz/corpus" / target;
}

// Where a fuzzing run's seeds go: TALVEK_FUZZ_SEED_DIR/<target>, else a
// temporary folder.
std::string seedDir(const TempDir& temp, const char* target) {
    const char* wanted = std::getenv("TALVEK_FUZZ_SEED_DIR");
    const std::string out = wanted ? std::string(wanted) + "/" + target : temp.path();
    std::filesystem::create_directories(out);
    return out;
}

std::vector<uint8_t> withKind(TestSupport::MessageKind kind, const std::string& text) {
    std::vector<uint8_t> input(text.size() + 1);
    input[0] = static_cast<uint8_t>(kind);
    std::copy(text.begin(), text.end(), input.begin() + 1);
    return input;
}

std::vector<uint8_t> channelRecord(const SecureChannel& channel) {
    return TestSupport::bytesWrittenBy([&](FileWriter& f) { return channel.writeChannel(f); });
}

std::vector<uint8_t> baseFile(const KeyBase& base) {
    TempDir dir;
    EXPECT_TRUE(base.saveBase(dir.file("b")));
    return TestSupport::readBytes(dir.file("b"));
}

}  // namespace

// The fuzzer's seeds: one file of every kind and layout the readers know.
// TALVEK_FUZZ_SEED_DIR names a folder to keep them in for a fuzzing run.
TEST(FuzzCorpus, SeedsCoverEveryLayout) {
    TempDir temp;
    const std::string out = seedDir(temp, "fuzz_keyfile");

    auto full = TestSupport::completeChannel("srv", "usr", true, true);
    std::unique_ptr<RsaKeyRecord> cryptPub, signPub;
    full->cryptPrivateKey->extractPublic(cryptPub);
    full->signPrivateKey->extractPublic(signPub);
    SecureChannel publicPart;
    publicPart.useCrypt = publicPart.useSign = 1;
    publicPart.hasCryptPublic = publicPart.hasSignPublic = 1;
    publicPart.cryptSize = publicPart.signSize = 512;
    publicPart.localName = "srv";
    publicPart.remoteName = "usr";
    publicPart.cryptPublicKey = std::move(cryptPub);
    publicPart.signPublicKey = std::move(signPub);

    KeyBase complete;
    complete.name = "seed";
    complete.addChannel(TestSupport::completeChannel("srv", "usr", true, true));
    complete.addChannel(TestSupport::ownKeysChannel("srv", "\xC0\xE1", true, false));
    KeyBase withEmptyNode;
    withEmptyNode.addChannel(TestSupport::ownKeysChannel("a", "b", false, true));
    withEmptyNode.addChannel(TestSupport::ownKeysChannel("c", "d", true, false));
    withEmptyNode.deleteChannel("a", "b");

    RecordBytes old;
    old.magic("KCHA0").u8(1).u8(1).text("usr").text("srv");
    old.publicKey(*full->cryptPublicKey).privateKey(*full->cryptPrivateKey);
    old.privateKey(*full->signPrivateKey).publicKey(*full->signPublicKey);
    RecordBytes oldInBase;
    oldInBase.magic("KNET0").u32(0).u32(1).magic("KNOD0").text("usr").u32(1).raw(old.bytes());

    const std::vector<std::pair<std::string, std::vector<uint8_t>>> seeds = {
        {"base-complete", baseFile(complete)},
        {"base-empty-node", baseFile(withEmptyNode)},
        {"base-old-channel", oldInBase.bytes()},
        {"base-header-only", RecordBytes().magic("KNET0").u32(0).u32(0).bytes()},
        {"channel-public-part", channelRecord(publicPart)},
        {"channel-full", channelRecord(*full)},
        {"channel-old-layout", old.bytes()},
        {"key-record", RecordBytes().privateKey(*full->signPrivateKey).bytes()},
    };
    const std::vector<KeyFileKind> kinds = {
        KeyFileKind::Base,    KeyFileKind::Base,    KeyFileKind::Base,    KeyFileKind::Neither,
        KeyFileKind::Channel, KeyFileKind::Channel, KeyFileKind::Channel, KeyFileKind::Neither};
    TempDir scratch;
    for (size_t i = 0; i < seeds.size(); ++i) {
        SCOPED_TRACE(seeds[i].first);
        const std::string path = out + "/" + seeds[i].first;
        TestSupport::writeBytes(path, seeds[i].second);
        EXPECT_EQ(TestSupport::exerciseKeyFile(path, scratch.path()), kinds[i]);
    }
}

// Inputs the fuzzer found interesting (or that once broke a reader) stay in
// the repository and are read again by every build under the sanitizers.
TEST(FuzzCorpus, ReplayedFilesLoadOrFailCleanly) {
    const auto dir = corpusDir("fuzz_keyfile");
    ASSERT_TRUE(std::filesystem::is_directory(dir)) << dir;
    TempDir scratch;
    TempDir copies;
    int replayed = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        if (!entry.is_regular_file()) continue;
        SCOPED_TRACE(entry.path().string());
        // A copy, since readers open key files for writing and lock them.
        const std::string copy = copies.file("input");
        TestSupport::writeBytes(copy, TestSupport::readBytes(entry.path().string()));
        TestSupport::exerciseKeyFile(copy, scratch.path());
        ++replayed;
    }
    EXPECT_GT(replayed, 0);
}

// The sealed-message fuzzer starts from messages that open, one per kind of
// protection, sealed afresh with the channels of its key base, and from a
// cut one. TALVEK_FUZZ_NEW_KEYS names a file to write a new key base to
// (the corpus must then be made again with it).
TEST(FuzzCorpus, SealedMessageSeedsOpen) {
    if (const char* keys = std::getenv("TALVEK_FUZZ_NEW_KEYS")) {
        ASSERT_TRUE(TestSupport::makeMessageKeyBase(keys));
        GTEST_SKIP() << "new key base written to " << keys;
    }
    TempDir temp;
    const std::string out = seedDir(temp, "fuzz_openmessage");
    const std::string data = "\xC1\xE0\xE7\xE0 \xEA\xEB\xFE\xF7\xE5\xE9\n";
    for (int k = 0; k < TestSupport::kMessageKinds; ++k) {
        const auto kind = static_cast<TestSupport::MessageKind>(k);
        SCOPED_TRACE(TestSupport::senderName(kind));
        const SecureChannel* sender = TestSupport::messageKeyBase().findChannel(
            TestSupport::senderName(kind), TestSupport::receiverName(kind));
        ASSERT_NE(sender, nullptr);
        std::string sealed;
        ASSERT_TRUE(sealMessage(*sender, reinterpret_cast<const uint8_t*>(data.data()), data.size(),
                                sealed));
        const std::vector<uint8_t> input = withKind(kind, sealed);
        EXPECT_TRUE(TestSupport::exerciseSealedMessage(input.data(), input.size()));
        TestSupport::writeBytes(out + "/opens-" + TestSupport::senderName(kind), input);
        // Cut inside its leading parts it opens on no channel.
        const std::vector<uint8_t> cut = withKind(kind, sealed.substr(0, 40));
        TestSupport::writeBytes(out + "/cut-" + TestSupport::senderName(kind), cut);
        EXPECT_EQ(TestSupport::exerciseSealedMessage(cut.data(), cut.size()),
                  kind == TestSupport::MessageKind::Plain);
    }
}

// The sealed-message corpus is opened again by every build; the messages
// kept as opening still open, so the key base and the corpus agree.
TEST(FuzzCorpus, SealedMessagesOpenOrFailCleanly) {
    const auto dir = corpusDir("fuzz_openmessage");
    ASSERT_TRUE(std::filesystem::is_directory(dir)) << dir;
    int replayed = 0, opening = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        if (!entry.is_regular_file()) continue;
        SCOPED_TRACE(entry.path().string());
        const std::vector<uint8_t> input = TestSupport::readBytes(entry.path().string());
        const bool opened = TestSupport::exerciseSealedMessage(input.data(), input.size());
        if (entry.path().filename().string().rfind("opens-", 0) == 0) {
            EXPECT_TRUE(opened);
            ++opening;
        }
        ++replayed;
    }
    EXPECT_EQ(opening, TestSupport::kMessageKinds);
    EXPECT_GT(replayed, opening);
}
