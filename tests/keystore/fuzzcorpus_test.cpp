#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "keystore/keybase.h"
#include "support/keyfileexercise.h"
#include "support/recordbytes.h"
#include "support/tempdir.h"
#include "support/testkeys.h"

using namespace Talvek;
using TestSupport::KeyFileKind;
using TestSupport::RecordBytes;
using TestSupport::TempDir;

namespace {

std::filesystem::path corpusDir() {
    if (const char* source = std::getenv("TALVEK_TEST_SOURCE_DIR")) {
        return std::filesystem::path(source) / "tests/fuzz/corpus";
    }
    return std::filesystem::path(__FILE__).parent_path().parent_path() / "fuzz/corpus";
}

std::vector<uint8_t> channelRecord(const SecureChannel& channel) {
    return TestSupport::bytesWrittenBy([&](BinaryFile& f) { return channel.writeChannel(f); });
}

std::vector<uint8_t> baseFile(const KeyBase& base) {
    TempDir dir;
    base.saveBase(dir.file("b"));
    return TestSupport::readBytes(dir.file("b"));
}

}  // namespace

// The fuzzer's seeds: one file of every kind and layout the readers know.
// TALVEK_FUZZ_SEED_DIR names a folder to keep them in for a fuzzing run.
TEST(FuzzCorpus, SeedsCoverEveryLayout) {
    TempDir temp;
    const char* wanted = std::getenv("TALVEK_FUZZ_SEED_DIR");
    const std::string out = wanted ? wanted : temp.path();
    std::filesystem::create_directories(out);

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
    const auto dir = corpusDir();
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
