// The replay guard: a nonce is taken once within the window, the taken ones
// survive a restart in their file, and a file that cannot be trusted is
// refused rather than started afresh.

#include "cryptoserver/replayguard.h"

#include <cerrno>
#include <filesystem>
#include <functional>
#include <memory>

#include <gtest/gtest.h>

#include "support/failingsavecalls.h"
#include "support/filesizelimit.h"
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
    EXPECT_EQ(guard.admit(a, 1000).verdict, V::Admitted);
    EXPECT_EQ(guard.admit(b, 1000).verdict, V::Admitted);
    EXPECT_EQ(guard.admit(a, 1000 + Envelope::ReplayWindowSeconds - 1).verdict, V::Replayed);
    // Long after, the time check refuses it anyway; the nonce is forgotten.
    EXPECT_EQ(guard.admit(a, 1000 + Envelope::ReplayWindowSeconds).verdict, V::Admitted);
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
    EXPECT_EQ(guard.admit(stampOf(1), kNow).verdict, V::Replayed);
    EXPECT_EQ(guard.admit(stampOf(2), kNow).verdict, V::Admitted);
    EXPECT_EQ(guard.admit(stampOf(3), kNow).verdict, V::Admitted);
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

// A nonce the file does not take (a full disk cutting its record short, a
// sync that fails) is refused with the system's cause and stays refused; the
// next write puts the file right, whole records only and that nonce among
// them, so that a restart neither finds the file damaged nor takes the
// refused request.
TEST(ReplayGuard, ANonceTheFileDoesNotTakeIsRefusedAndReachesItWithTheNextOne) {
    using V = ReplayGuard::Verdict;
    const size_t recordSize = Envelope::NonceSize + 8;
    const struct {
        const char* what;
        // Makes writing fail from now until the result goes.
        std::function<std::shared_ptr<void>(const std::string& file)> fault;
        int error;
    } cases[] = {
        {"a full disk within a record",
         [](const std::string& file) {
             const auto limit = std::filesystem::file_size(file) + 10;
             return std::make_shared<FileSizeLimit>(limit);
         },
         EFBIG},
        {"a failing sync",
         [](const std::string&) {
             return std::make_shared<FailingSaveCalls>(FailingSaveCalls::Call::Fsync, EIO);
         },
         EIO},
    };
    for (const auto& c : cases) {
        TempDir dir;
        const std::string file = dir.file(".nonces");
        ReplayGuard guard(file);
        ASSERT_TRUE(guard.load(kNow)) << c.what;
        ASSERT_EQ(guard.admit(stampOf(1), kNow).verdict, V::Admitted) << c.what;
        {
            const auto fault = c.fault(file);
            const auto refused = guard.admit(stampOf(2), kNow);
            EXPECT_EQ(refused.verdict, V::NotRecorded) << c.what;
            EXPECT_EQ(refused.failure.path, file) << c.what;
            EXPECT_EQ(refused.failure.fault, FileFault::System) << c.what;
            EXPECT_EQ(refused.failure.error, c.error) << c.what;
        }
        EXPECT_EQ(guard.admit(stampOf(2), kNow).verdict, V::Replayed) << c.what;
        EXPECT_EQ(guard.admit(stampOf(3), kNow).verdict, V::Admitted) << c.what;
        EXPECT_EQ(std::filesystem::file_size(file), 3 * recordSize) << c.what;

        ReplayGuard restarted(file);
        ASSERT_TRUE(restarted.load(kNow)) << c.what;
        for (uint8_t nonce : {1, 2, 3})
            EXPECT_EQ(restarted.admit(stampOf(nonce), kNow).verdict, V::Replayed)
                << c.what << " " << int{nonce};
    }
}
