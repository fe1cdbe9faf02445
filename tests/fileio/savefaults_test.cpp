#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "fileio/filereader.h"
#include "fileio/filewriter.h"
#include "fileio/fileexists.h"
#include "fileio/fileresult.h"
#include "fileio/transaction.h"
#include "keystore/keybase.h"
#include "support/failingsavecalls.h"
#include "support/filesizelimit.h"
#include "support/lockwait.h"
#include "support/staged.h"
#include "support/tempdir.h"
#include "support/testkeys.h"

using namespace Talvek;
using TestSupport::FileSizeLimit;
using TestSupport::HeldElsewhere;
using TestSupport::listDir;
using TestSupport::readBytes;
using TestSupport::readText;
using TestSupport::ScopedLockWait;
using TestSupport::TempDir;
using TestSupport::temporariesIn;
using namespace std::chrono_literals;

namespace {

KeyBase baseWith(int channels) {
    KeyBase base;
    for (int i = 0; i < channels; ++i) {
        base.addChannel(
            TestSupport::completeChannel("srv", "user" + std::to_string(i), true, true));
    }
    return base;
}

}  // namespace

TEST(AtomicSave, FailedWriteKeepsTheOldFileAndLeavesNoTemporary) {
    TempDir dir;
    const std::string path = dir.file("base.key_base");
    ASSERT_TRUE(baseWith(1).saveBase(path));
    const auto before = readBytes(path);
    KeyBase bigger = baseWith(8);
    {
        TestSupport::FileSizeLimit limit(before.size() + 100);
        const FileResult refused = bigger.saveBase(path);
        EXPECT_FALSE(refused);
        EXPECT_EQ(refused.failure().path, path);
        EXPECT_EQ(refused.failure().error, EFBIG);
    }
    EXPECT_EQ(readBytes(path), before);
    EXPECT_EQ(listDir(dir.path()), std::vector<std::string>{"base.key_base"});
    // With room again the same save succeeds.
    EXPECT_TRUE(bigger.saveBase(path));
    KeyBase back;
    ASSERT_TRUE(back.loadBase(path));
    EXPECT_EQ(back.channelCount(), 8);
}

TEST(AtomicSave, UnwritableKeyFailsTheSaveBeforeAnythingChanges) {
    TempDir dir;
    const std::string path = dir.file("base.key_base");
    KeyBase base = baseWith(2);
    ASSERT_TRUE(base.saveBase(path));
    const auto before = readBytes(path);
    // A flag that announces a key the channel does not hold.
    base.findChannel("srv", "user1")->signPublicKey.reset();
    EXPECT_FALSE(base.saveBase(path));
    EXPECT_EQ(readBytes(path), before);
    EXPECT_EQ(listDir(dir.path()).size(), 1u);
}

TEST(PrivateFiles, KeyBasesAreOwnerOnlyFromCreation) {
    TempDir dir;
    const mode_t oldMask = umask(0);
    FileWriter file;
    ASSERT_TRUE(file.create(dir.file("new.key_base")));
    file.write("KNET0");
    // Before the save completes, the only file there is already 0600.
    const auto during = listDir(dir.path());
    ASSERT_EQ(during.size(), 1u);
    EXPECT_EQ(TestSupport::fileMode(dir.file(during[0])), 0600u);
    EXPECT_TRUE(file.close());
    EXPECT_EQ(TestSupport::fileMode(dir.file("new.key_base")), 0600u);

    // Replacing a world-readable file makes it owner-only as well.
    TestSupport::writeText(dir.file("old.key_base"), "x");
    chmod(dir.file("old.key_base").c_str(), 0644);
    EXPECT_TRUE(baseWith(1).saveBase(dir.file("old.key_base")));
    EXPECT_EQ(TestSupport::fileMode(dir.file("old.key_base")), 0600u);
    umask(oldMask);
}

TEST(NoSharing, AFileHeldByAnotherProgramDoesNotOpen) {
    const TestSupport::ScopedLockWait wait(std::chrono::milliseconds(50));
    TempDir dir;
    const std::string path = dir.file("base.key_base");
    ASSERT_TRUE(baseWith(1).saveBase(path));
    const auto before = readBytes(path);
    for (int operation : {LOCK_EX, LOCK_SH}) {
        SCOPED_TRACE(operation);
        HeldElsewhere held(path, operation);
        KeyBase base;
        EXPECT_FALSE(base.loadBase(path));
        EXPECT_FALSE(baseWith(2).saveBase(path));
        EXPECT_EQ(readBytes(path), before);
    }
    KeyBase base;
    EXPECT_TRUE(base.loadBase(path));
    // While a base is being read, a second reader is refused.
    FileReader first, second;
    ASSERT_TRUE(first.openExisting(path));
    EXPECT_FALSE(second.openExisting(path));
}

// Read-only means no write permission bit; it holds for root as well.
TEST(NoSharing, AReadOnlyFileDoesNotOpen) {
    TempDir dir;
    const std::string path = dir.file("base.key_base");
    ASSERT_TRUE(baseWith(1).saveBase(path));
    const auto before = readBytes(path);
    ASSERT_EQ(chmod(path.c_str(), 0444), 0);
    KeyBase base;
    EXPECT_FALSE(base.loadBase(path));
    EXPECT_FALSE(baseWith(2).saveBase(path));
    EXPECT_EQ(readBytes(path), before);
    EXPECT_EQ(TestSupport::fileMode(path), 0444u);
    EXPECT_EQ(listDir(dir.path()).size(), 1u);
    // Not a regular file: neither.
    EXPECT_FALSE(base.loadBase(dir.path()));
    ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0600), 0);
    EXPECT_FALSE(base.loadBase(dir.file("fifo")));
}

TEST(AtomicSave, SavingThroughALinkReplacesTheFileItNames) {
    TempDir dir;
    ASSERT_TRUE(baseWith(1).saveBase(dir.file("real")));
    ASSERT_EQ(symlink("real", dir.file("link").c_str()), 0);
    ASSERT_TRUE(baseWith(3).saveBase(dir.file("link")));
    struct stat st {};
    ASSERT_EQ(lstat(dir.file("link").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    KeyBase back;
    ASSERT_TRUE(back.loadBase(dir.file("real")));
    EXPECT_EQ(back.channelCount(), 3);
}

// Anyone may plant a link in a sticky, world-writable folder such as /tmp; a
// save must not follow one planted by somebody else to replace a file of its
// choice, but keeps following the user's own links there.
TEST(AtomicSave, LinksPlantedByOthersInStickyFoldersAreNotFollowed) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to make a link owned by another user";
    TempDir dir;
    const std::string sticky = dir.file("sticky");
    ASSERT_EQ(mkdir(sticky.c_str(), 0700), 0);
    ASSERT_EQ(chmod(sticky.c_str(), 01777), 0);
    const std::string victim = dir.file("victim");
    TestSupport::writeText(victim, "root's file");
    const std::string planted = sticky + "/out.txt";
    ASSERT_EQ(symlink(victim.c_str(), planted.c_str()), 0);
    ASSERT_EQ(lchown(planted.c_str(), 4242, 4242), 0);
    EXPECT_FALSE(baseWith(1).saveBase(planted));
    EXPECT_EQ(TestSupport::readText(victim), "root's file");
    EXPECT_EQ(listDir(sticky), std::vector<std::string>{"out.txt"});

    // The user's own link in the same folder is followed as everywhere.
    const std::string own = sticky + "/mine";
    ASSERT_EQ(symlink(victim.c_str(), own.c_str()), 0);
    EXPECT_TRUE(baseWith(1).saveBase(own));
    KeyBase back;
    EXPECT_TRUE(back.loadBase(victim));
}

// A save finds what killed saves of the same file left and removes it; other
// files' temporaries, the user's own dot-files that merely look alike, and
// temporaries under another's name stay.
TEST(AtomicSave, ASaveRemovesOnlyTheTemporariesOfEarlierInterruptedSaves) {
    TempDir dir;
    const std::string path = dir.file("base.key_base");
    const std::vector<std::string> kept = {
        ".base.key_base.a1B2c3",          ".base.key_base.backup",
        ".base.key_base.sha256",          ".base.key_base.tvk-a1B2c3",
        ".base.key_base.tvk-ab-cd.tmp",   ".base.key_base.tvk-a1B2c34.tmp",
        ".other.key_base.tvk-a1B2c3.tmp", "base.key_base.tvk-a1B2c3.tmp"};
    for (const std::string& name : kept) TestSupport::writeText(dir.file(name), "the user's");
    for (const char* name : {".base.key_base.tvk-a1B2c3.tmp", ".base.key_base.tvk-ZZZZZZ.tmp"})
        TestSupport::writeText(dir.file(name), "left by a killed save");
    EXPECT_TRUE(baseWith(1).saveBase(path));
    std::vector<std::string> expected = kept;
    expected.push_back("base.key_base");
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(listDir(dir.path()), expected);
    for (const std::string& name : kept) EXPECT_EQ(readText(dir.file(name)), "the user's");
}

// A save keeps what the user set on the file it replaces: owner, group and
// mode, never wider; a file with private keys never more than the owner's.
// New files: private ones 0600, others 0644 less the umask.
TEST(PrivateFiles, SavesKeepTheModeOwnerAndGroupTheUserSet) {
    TempDir dir;
    const mode_t oldMask = umask(027);
    const struct {
        const char* what;
        FileWriter::Permissions permissions;
        int before;  // -1: no file yet
        unsigned after;
    } cases[] = {
        {"new public part", FileWriter::Permissions::Normal, -1, 0640},
        {"new base", FileWriter::Permissions::OwnerOnly, -1, 0600},
        {"public part kept narrow", FileWriter::Permissions::Normal, 0600, 0600},
        {"public part kept group-readable", FileWriter::Permissions::Normal, 0640, 0640},
        {"public part kept world-readable", FileWriter::Permissions::Normal, 0644, 0644},
        {"base never more than the owner's", FileWriter::Permissions::OwnerOnly, 0640, 0600},
        {"base kept at the owner's write only", FileWriter::Permissions::OwnerOnly, 0200, 0200},
    };
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string path = dir.file("f" + std::to_string(n++));
        if (c.before >= 0) {
            TestSupport::writeText(path, "old");
            ASSERT_EQ(chmod(path.c_str(), static_cast<mode_t>(c.before)), 0);
        }
        FileWriter file;
        ASSERT_TRUE(file.create(path, c.permissions));
        ASSERT_TRUE(file.write("new"));
        ASSERT_TRUE(file.close());
        EXPECT_EQ(TestSupport::fileMode(path), c.after);
        EXPECT_EQ(readText(path), "new");
    }
    umask(0);
    FileWriter open;
    ASSERT_TRUE(open.create(dir.file("wide"), FileWriter::Permissions::Normal));
    ASSERT_TRUE(open.close());
    EXPECT_EQ(TestSupport::fileMode(dir.file("wide")), 0644u);
    umask(oldMask);

    // Another owner and group are kept where the system allows it (root).
    if (geteuid() != 0) GTEST_SKIP() << "only root can keep another owner";
    const std::string theirs = dir.file("theirs.okp");
    TestSupport::writeText(theirs, "old");
    ASSERT_EQ(chown(theirs.c_str(), 4242, 4343), 0);
    ASSERT_EQ(chmod(theirs.c_str(), 0640), 0);
    FileWriter file;
    ASSERT_TRUE(file.create(theirs, FileWriter::Permissions::Normal));
    ASSERT_TRUE(file.close());
    struct stat st {};
    ASSERT_EQ(stat(theirs.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 4242u);
    EXPECT_EQ(st.st_gid, 4343u);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
}

// A sync or rename that fails is the only word of a lost write: the save
// reports failure, the old file stays as it was, and no temporary is left.
TEST(AtomicSave, AFailedSyncOrRenameFailsTheSaveAndKeepsTheOldFile) {
    using Call = TestSupport::FailingSaveCalls::Call;
    TempDir dir;
    const std::string path = dir.file("base.key_base");
    ASSERT_TRUE(baseWith(1).saveBase(path));
    const auto before = readBytes(path);
    const struct {
        const char* what;
        Call call;
        int error;
    } cases[] = {
        {"fsync EIO", Call::Fsync, EIO},
        {"fsync ENOSPC", Call::Fsync, ENOSPC},
        {"rename EIO", Call::Rename, EIO},
        {"rename EXDEV", Call::Rename, EXDEV},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        FileResult saved;
        {
            TestSupport::FailingSaveCalls failing(c.call, c.error);
            saved = baseWith(3).saveBase(path);
            EXPECT_FALSE(saved);
            EXPECT_EQ(failing.failed(), 1);
        }
        EXPECT_EQ(saved.failure().error, c.error);
        EXPECT_EQ(saved.failure().path, path);
        EXPECT_EQ(readBytes(path), before);
        EXPECT_EQ(listDir(dir.path()), std::vector<std::string>{"base.key_base"});
    }
    // A transaction's second file failing its sync leaves the first unrenamed too.
    for (const Call call : {Call::Fsync, Call::Rename}) {
        TestSupport::writeText(dir.file("part"), "old part");
        const auto files = TestSupport::snapshot(dir);
        {
            TestSupport::FailingSaveCalls failing(call, EIO, call == Call::Fsync ? 1 : 0);
            Transaction t;
            FileWriter* b = TestSupport::staged(t, path, FileWriter::Permissions::OwnerOnly);
            FileWriter* p = TestSupport::staged(t, dir.file("part"), FileWriter::Permissions::Normal);
            ASSERT_TRUE(b && p && baseWith(2).writeBase(*b) && p->write("new"));
            EXPECT_FALSE(t.commit());
        }
        EXPECT_EQ(TestSupport::snapshot(dir), files);
    }
}

// A replaced file keeps its mode. A file system without modes refuses to
// set one (EPERM, ENOTSUP): the new file is then owner-only, never wider,
// and the save goes on, or no save would work on a FAT stick. Any other
// refusal fails the save with the old file kept.
TEST(AtomicSave, AModeThatCannotBeSetNarrowsOrFailsTheSave) {
    using Call = TestSupport::FailingSaveCalls::Call;
    TempDir dir;
    const std::string path = dir.file("report.html");
    const struct {
        int error;
        bool saved;
    } cases[] = {{EPERM, true}, {ENOTSUP, true}, {EIO, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.error);
        TestSupport::writeText(path, "old");
        ASSERT_EQ(chmod(path.c_str(), 0644), 0);
        FileResult saved;
        {
            TestSupport::FailingSaveCalls failing(Call::Chmod, c.error);
            FileWriter out;
            saved = out.create(path, FileWriter::Permissions::Normal);
            if (saved) {
                EXPECT_TRUE(out.write("new"));
                saved = out.close();
            }
            EXPECT_EQ(saved.ok(), c.saved);
            EXPECT_EQ(failing.failed(), 1);
        }
        struct stat st {};
        ASSERT_EQ(stat(path.c_str(), &st), 0);
        EXPECT_EQ(readText(path), c.saved ? "new" : "old");
        EXPECT_EQ(st.st_mode & 0777, c.saved ? 0600u : 0644u);
        if (!c.saved) {
            EXPECT_EQ(saved.failure().error, c.error);
        }
        EXPECT_EQ(listDir(dir.path()), std::vector<std::string>{"report.html"});
    }
}

// A path as long as the platform allows works, though its temporary's name
// is longer than the target's: both are made relative to the open folder.
TEST(AtomicSave, PathsUpToThePlatformLimitSaveAndLoad) {
    TempDir dir;
    std::string folder = dir.path();
    // Folders up to 200 bytes short of the limit: names of up to 199 bytes.
    while (folder.size() < kMaxPathBytes - 200) {
        folder +=
            "/" + std::string(std::min<size_t>(250, kMaxPathBytes - 201 - folder.size()), 'd');
        ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
    }
    for (size_t length : {kMaxPathBytes - 7, kMaxPathBytes}) {
        const std::string path = folder + "/" + std::string(length - folder.size() - 1, 'f');
        ASSERT_EQ(path.size(), length);
        ASSERT_TRUE(baseWith(1).saveBase(path)) << length;
        ASSERT_TRUE(baseWith(2).saveBase(path)) << length;
        KeyBase back;
        ASSERT_TRUE(back.loadBase(path));
        EXPECT_EQ(back.channelCount(), 2);
        EXPECT_EQ(listDir(folder).size(), 1u);
        std::remove(path.c_str());
    }
    const FileResult tooLong =
        baseWith(1).saveBase(folder + "/" + std::string(kMaxPathBytes - folder.size(), 'f'));
    EXPECT_FALSE(tooLong);
    EXPECT_EQ(tooLong.failure().error, ENAMETOOLONG);
}

// A file that arrives slowly (a base coming over the network) is written
// without the target's lock: the old file can be saved meanwhile, and that
// save's clean-up leaves the live temporary alone. The lock is taken only to
// put the new file in place; held elsewhere then, the save fails and changes
// nothing.
TEST(DeferredSave, TakesTheTargetsLockOnlyToPutTheNewFileInPlace) {
    TempDir dir;
    const std::string path = dir.file("base.key_base");
    TestSupport::writeText(path, "old");
    ScopedLockWait wait(200ms);
    {
        FileWriter file;
        ASSERT_TRUE(file.createDeferred(path));
        ASSERT_TRUE(file.write("new"));
        EXPECT_TRUE(baseWith(1).saveBase(path));
        EXPECT_EQ(temporariesIn(dir.path()).size(), 1u);
        EXPECT_TRUE(file.close());
    }
    EXPECT_EQ(readText(path), "new");
    {
        FileWriter file;
        ASSERT_TRUE(file.createDeferred(path));
        ASSERT_TRUE(file.write("newer"));
        HeldElsewhere holder(path, LOCK_SH);
        EXPECT_FALSE(file.close());
    }
    EXPECT_EQ(readText(path), "new");
    EXPECT_TRUE(temporariesIn(dir.path()).empty());
}

// Content well past the size at which a save starts syncing in the background
// is stored whole, in small pieces or large; a write that fails past it fails
// the save and leaves the old file.
TEST(AtomicSave, LargeContentIsStoredWholeOrNotAtAll) {
    TempDir dir;
    const std::string path = dir.file("large.key_base");
    std::vector<uint8_t> content((9u << 20) + 12345);
    for (size_t i = 0; i < content.size(); ++i)
        content[i] = static_cast<uint8_t>(i * 7 + (i >> 13));
    const auto save = [&](size_t piece, bool deferred) {
        FileWriter file;
        if (!(deferred ? file.createDeferred(path) : file.create(path))) return false;
        for (size_t at = 0; at < content.size(); at += piece) {
            const size_t n = std::min(piece, content.size() - at);
            if (!file.write(std::span<const uint8_t>(content.data() + at, n))) return false;
        }
        return file.close().ok();
    };
    for (const size_t piece : {size_t{4093}, size_t{3} << 20}) {
        TestSupport::writeText(path, "old");
        ASSERT_TRUE(save(piece, piece > 4093)) << piece;
        EXPECT_TRUE(readBytes(path) == content) << piece;
    }
    {
        FileSizeLimit limit(6u << 20);
        ASSERT_TRUE(limit.active());
        EXPECT_FALSE(save(4093, false));
        EXPECT_FALSE(save(size_t{3} << 20, true));
        // Whole or not at all in one call: the refused write is the cause.
        const FileResult whole =
            writeWhole(path, FileWriter::Permissions::Normal,
                       [&content](FileWriter& file) { return file.write(content); });
        EXPECT_FALSE(whole);
        EXPECT_EQ(whole.failure().path, path);
        EXPECT_EQ(whole.failure().error, EFBIG);
    }
    // Content its maker gives up on is no file's fault, and changes nothing.
    const FileResult givenUp = writeWhole(path, FileWriter::Permissions::Normal,
                                          [](FileWriter& file) { return !file.write("x"); });
    EXPECT_FALSE(givenUp);
    EXPECT_EQ(givenUp.failure().fault, FileFault::None);
    EXPECT_TRUE(readBytes(path) == content);
    EXPECT_TRUE(temporariesIn(dir.path()).empty());
}

// Larger than any key file: refused before a byte is read.
TEST(NoSharing, FilesOverTheSizeLimitAreRefusedUnread) {
    TempDir dir;
    const std::string path = dir.file("huge.key_base");
    ASSERT_TRUE(baseWith(1).saveBase(path));
    ASSERT_EQ(truncate(path.c_str(), static_cast<off_t>(kMaxKeyFileBytes) + 1), 0);
    KeyBase base;
    EXPECT_FALSE(base.loadBase(path));
}
