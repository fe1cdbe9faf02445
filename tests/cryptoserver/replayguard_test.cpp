// The replay guard: a nonce is taken once within the window, the taken ones
// survive a restart in their file, and a file that cannot be trusted is
// refused rather than started afresh.

#include "cryptoserver/replayguard.h"

#include <filesystem>

#include <gtest/gtest.h>

#include "support/tempdir.h"

using namespace Talvek;
using namespace TestSupport;

namespace {

constexpr int64_t kNow = 1'800'000'000;

std::vector<uint8_t> record(uint8_t nonceByte, int64_t forgetAt) {
    std::vector<uint8_t> bytes(Envelope::NonceSize + 8, 0);
    bytes[0] = nonceByte;
    putTime(bytes.data() + Envelope::NonceSize, forgetAt);
    return bytes;
}

EnvelopeStamp stampOf(uint8_t nonceByte) {
    EnvelopeStamp stamp;
    stamp.time = kNow;
    stamp.nonce[0] = nonceByte;
    return stamp;
}

}  // namespace

TEST(ReplayGuard, ANonceIsTakenOnceWithinTheWindow) {
    ReplayGuard guard;
    EnvelopeStamp a, b;
    a.time = b.time = 1000;
    a.nonce[0] = 1;
    b.nonce[0] = 2;
    using V = ReplayGuard::Verdict;
    EXPECT_EQ(guard.admit(a, 1000), V::Admitted);
    EXPECT_EQ(guard.admit(b, 1000), V::Admitted);
    EXPECT_EQ(guard.admit(a, 1000 + Envelope::ReplayWindowSeconds - 1), V::Replayed);
    // Long after, the time check refuses it anyway; the nonce is forgotten.
    EXPECT_EQ(guard.admit(a, 1000 + Envelope::ReplayWindowSeconds), V::Admitted);
}

// Live records are kept, expired ones and a record cut short by a crash are
// dropped, and the file is written back with only the live ones.
TEST(ReplayGuard, AFileReadBackKeepsItsLiveNonces) {
    TempDir dir;
    const std::string file = dir.file(".nonces");
    auto bytes = record(1, kNow + 100);
    const auto expired = record(2, kNow - 1);
    bytes.insert(bytes.end(), expired.begin(), expired.end());
    const auto cut = record(3, kNow + 100);
    bytes.insert(bytes.end(), cut.begin(), cut.begin() + 10);
    writeBytes(file, bytes);

    ReplayGuard guard(file);
    ASSERT_TRUE(guard.load(kNow));
    EXPECT_EQ(readBytes(file), record(1, kNow + 100));
    EXPECT_EQ(fileMode(file), 0600u);
    using V = ReplayGuard::Verdict;
    EXPECT_EQ(guard.admit(stampOf(1), kNow), V::Replayed);
    EXPECT_EQ(guard.admit(stampOf(2), kNow), V::Admitted);
    EXPECT_EQ(guard.admit(stampOf(3), kNow), V::Admitted);
}

// Started afresh, such a guard would take again what was captured lately.
TEST(ReplayGuard, AFileItCannotTrustIsRefusedAndLeftAsItIs) {
    using Problem = ReplayGuard::LoadResult::Problem;
    const int64_t latest = kNow + Envelope::ReplayWindowSeconds + Envelope::MaxClockSkewSeconds +
                           ReplayGuard::kClockStepAllowance;
    const struct {
        const char* what;
        std::vector<uint8_t> bytes;
        Problem problem;
    } cases[] = {
        {"text", {'n', 'o', 't', ' ', 'a', ' ', 'n', 'o', 'n', 'c', 'e', ' ', 'f', 'i', 'l', 'e',
                  ' ', 'a', 't', ' ', 'a', 'l', 'l', '\n'}, Problem::Damaged},
        {"a time before 1970", record(1, -5), Problem::Damaged},
        {"a time of zero", record(1, 0), Problem::Damaged},
        {"a time no server writes", record(1, latest + 1), Problem::Damaged},
        {"a clock set back a day", record(1, latest), Problem::None},
    };
    for (const auto& c : cases) {
        TempDir dir;
        const std::string file = dir.file(".nonces");
        auto bytes = record(9, kNow + 100);
        bytes.insert(bytes.end(), c.bytes.begin(), c.bytes.end());
        writeBytes(file, bytes);
        ReplayGuard guard(file);
        EXPECT_EQ(guard.load(kNow).problem, c.problem) << c.what;
        if (c.problem != Problem::None) {
            EXPECT_EQ(readBytes(file), bytes) << c.what;
        }
    }

    TempDir dir;
    std::filesystem::create_directory(dir.file(".nonces"));
    ReplayGuard folder(dir.file(".nonces"));
    EXPECT_EQ(folder.load(kNow).problem, Problem::NotRegularFile);
    writeBytes(dir.file("elsewhere"), record(1, kNow + 100));
    std::filesystem::create_symlink(dir.file("elsewhere"), dir.file("link"));
    ReplayGuard link(dir.file("link"));
    EXPECT_EQ(link.load(kNow).problem, Problem::NotRegularFile);
    ReplayGuard noFolder(dir.file("absent/.nonces"));
    const auto missing = noFolder.load(kNow);
    EXPECT_EQ(missing.problem, Problem::CannotWrite);
    EXPECT_EQ(missing.error, ENOENT);
}
