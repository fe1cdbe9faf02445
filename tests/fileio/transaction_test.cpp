// A change to key files is one locked transaction that commits all its files
// or none, whatever interrupts it: another program, a full disk, a kill.

#include <gtest/gtest.h>

#include <atomic>
#include <barrier>
#include <chrono>
#include <csignal>
#include <functional>
#include <map>
#include <random>
#include <thread>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "keystore/encoding.h"
#include "keystore/fingerprint.h"
#include "fileio/fileexists.h"
#include "fileio/fileresult.h"
#include "fileio/filelock.h"
#include "keystore/keybase.h"
#include "keystore/keyops.h"
#include "fileio/transaction.h"
#include "support/filesizelimit.h"
#include "support/lockwait.h"
#include "support/recordbytes.h"
#include "support/staged.h"
#include "support/tempdir.h"
#include "support/testkeys.h"

using namespace Talvek;
using TestSupport::TempDir;

namespace {

using Snapshot = std::map<std::string, std::vector<uint8_t>>;

using TestSupport::snapshot;
using TestSupport::temporariesIn;

// A channel name of letters and numbers ("p1-7"): appended piece by piece,
// which GCC 12's overlap check does not misread as "p" + to_string(…) does.
std::string named(const char* prefix, int a, int b) {
    std::string name = prefix;
    name += std::to_string(a);
    name += '-';
    name += std::to_string(b);
    return name;
}

using TestSupport::ScopedLockWait;

// The files of one exchange step in one folder.
struct Files {
    TempDir dir;
    std::string base = dir.file("server.key_base");
    std::string part = dir.file("openserv.okp");
    std::string userBase = dir.file("userkey.bin");
    std::string userPart = dir.file("openuser.okp");
    std::string java = dir.file("javaclient.bin");

    KeyWizardData serverKey(const std::string& user) const {
        KeyWizardData d;
        d.mode = NewUserServerKey;
        d.baseFile = base;
        d.exportFile = part;
        d.serverKeyName = "srv";
        d.userKeyName = user;
        d.useSign = true;
        d.signSize = 512;
        return d;
    }
    KeyWizardData userKey() const {
        KeyWizardData d;
        d.mode = CreateUserKey;
        d.baseFile = userBase;
        d.importFile = part;
        d.exportFile = userPart;
        EXPECT_TRUE(readImportedChannel(d));
        d.javaClient = true;
        return d;
    }
};

int channelsIn(const std::string& path) {
    KeyBase base;
    return base.loadBase(path) ? base.channelCount() : -1;
}

bool isChannelFile(const std::string& path) {
    SecureChannel channel;
    return readChannelFile(channel, path).ok();
}

}  // namespace

// Another program's lock is waited for, and the change then made on what
// that program left; a lock held too long fails the step, names the file,
// and changes nothing.
TEST(Transaction, WaitsForAnotherProgramThenGivesUp) {
    Files f;
    ASSERT_TRUE(createServerKey(f.serverKey("u0")));
    const int held = open(f.base.c_str(), O_RDONLY);
    ASSERT_GE(held, 0);
    ASSERT_EQ(flock(held, LOCK_EX), 0);
    {
        ScopedLockWait wait(std::chrono::milliseconds(5000));
        std::thread release([held] {
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            close(held);
        });
        const auto start = std::chrono::steady_clock::now();
        EXPECT_TRUE(createServerKey(f.serverKey("u1")));
        EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(150));
        release.join();
    }
    EXPECT_EQ(channelsIn(f.base), 2);

    const int again = open(f.base.c_str(), O_RDONLY);
    ASSERT_EQ(flock(again, LOCK_SH), 0);
    const Snapshot before = snapshot(f.dir);
    ScopedLockWait wait(std::chrono::milliseconds(100));
    for (const FileResult& refused :
         {createServerKey(f.serverKey("u2")), removeChannel(f.base, "srv", "u0")}) {
        EXPECT_FALSE(refused);
        EXPECT_EQ(refused.failure().fault, FileFault::Locked);
        EXPECT_EQ(refused.failure().path, f.base);
    }
    EXPECT_EQ(snapshot(f.dir), before);
    close(again);
    EXPECT_TRUE(removeChannel(f.base, "srv", "u0"));
}

// Two programs adding channels to one base at the same time lose none.
TEST(Transaction, TwoProgramsLoseNoChange) {
    Files f;
    constexpr int kEach = 200;
    pid_t children[2];
    for (int p = 0; p < 2; ++p) {
        children[p] = fork();
        ASSERT_GE(children[p], 0);
        if (children[p] == 0) {
            int failed = 0;
            for (int i = 0; i < kEach; ++i) {
                KeyWizardData d = f.serverKey(named("p", p, i));
                d.exportFile = f.dir.file("part" + std::to_string(p) + ".okp");
                if (!createServerKey(d)) ++failed;
            }
            _exit(failed == 0 ? 0 : 1);
        }
    }
    for (pid_t child : children) {
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    KeyBase base;
    ASSERT_TRUE(base.loadBase(f.base));
    EXPECT_EQ(base.channelCount(), 2 * kEach);
    for (int p = 0; p < 2; ++p)
        for (int i = 0; i < kEach; ++i)
            EXPECT_NE(base.findChannel("srv", named("p", p, i)), nullptr);
    EXPECT_TRUE(temporariesIn(f.dir.path()).empty());
}

// Two programs making a channel of the same names at once, both having
// checked the names before either committed: the second change sees the
// first under the lock and makes nothing, so no public part goes out whose
// keys the base does not hold.
TEST(Transaction, SameNamesCheckedAtOnceMakeOneChannel) {
    Files f;
    ASSERT_TRUE(createServerKey(f.serverKey("u0")));
    for (int round = 0; round < 4; ++round) {
        SCOPED_TRACE(round);
        const std::string user = named("same", round, 0);
        std::barrier checked(2);
        std::atomic<int> made{0};
        auto run = [&](int side) {
            KeyWizardData d = f.serverKey(user);
            d.exportFile = f.dir.file(named("part", round, side));
            const bool unused = checkNamesUnused(d).ok();
            checked.arrive_and_wait();
            if (unused && createServerKey(d)) ++made;
        };
        std::thread a(run, 0);
        std::thread b(run, 1);
        a.join();
        b.join();
        EXPECT_EQ(made.load(), 1);
        KeyBase base;
        ASSERT_TRUE(base.loadBase(f.base));
        const SecureChannel* channel = base.findChannel("srv", user);
        ASSERT_NE(channel, nullptr);
        int parts = 0;
        for (int side : {0, 1}) {
            SecureChannel part;
            if (!TestSupport::exists(f.dir.file(named("part", round, side)))) continue;
            ++parts;
            ASSERT_TRUE(readChannelFile(part, f.dir.file(named("part", round, side))));
            EXPECT_EQ(publicKeyFingerprint(*part.signPublicKey),
                      publicKeyFingerprint(*channel->signPrivateKey));
        }
        EXPECT_EQ(parts, 1);
    }
}

// Locks are taken in one order, whatever order an action names its files
// in: two actions making new files in the same two folders, named the other
// way round, take turns instead of each holding what the other waits for.
TEST(Transaction, LocksAreTakenInOneOrder) {
    TempDir dir;
    ASSERT_EQ(mkdir(dir.file("d1").c_str(), 0700), 0);
    ASSERT_EQ(mkdir(dir.file("d2").c_str(), 0700), 0);
    TestSupport::writeText(dir.file("d2/old"), "existing");
    ScopedLockWait wait(std::chrono::milliseconds(1500));
    for (int round = 0; round < 10; ++round) {
        std::barrier start(2);
        std::atomic<int> locked{0};
        auto run = [&](std::vector<std::string> paths) {
            start.arrive_and_wait();
            Transaction t;
            if (t.lock(paths)) ++locked;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        };
        const auto begun = std::chrono::steady_clock::now();
        std::thread a(run, std::vector<std::string>{dir.file("d1/a"), dir.file("d2/old"),
                                                    dir.file("d2/a")});
        std::thread b(run, std::vector<std::string>{dir.file("d2/b"), dir.file("d2/old"),
                                                    dir.file("d1/b")});
        a.join();
        b.join();
        EXPECT_EQ(locked.load(), 2) << "round " << round;
        EXPECT_LT(std::chrono::steady_clock::now() - begun, std::chrono::milliseconds(1000));
    }
}

// One final file is staged once: two roles that reach it, through a link to
// a file not made yet or another spelling, are refused before anything is
// written, so the later content cannot silently replace the earlier.
TEST(Transaction, OneFinalFileIsStagedOnce) {
    TempDir dir;
    ASSERT_EQ(symlink("new.key_base", dir.file("link.key_base").c_str()), 0);
    TestSupport::writeText(dir.file("old"), "old");
    ASSERT_EQ(link(dir.file("old").c_str(), dir.file("hard").c_str()), 0);
    const struct {
        std::string first, second;
    } cases[] = {
        {dir.file("link.key_base"), dir.file("new.key_base")},
        {dir.file("new.key_base"), dir.path() + "/./link.key_base"},
        {dir.file("old"),
         dir.path() + "/../" + dir.path().substr(dir.path().rfind('/') + 1) + "/old"},
        {dir.file("hard"), dir.file("old")},
    };
    // Staged one after the other, and locked together first (each file is
    // then found out once, when it is locked, and recognised by that).
    for (const bool lockedFirst : {false, true})
        for (const auto& c : cases) {
            SCOPED_TRACE(c.first + " | " + c.second + (lockedFirst ? " | locked first" : ""));
            const Snapshot before = snapshot(dir);
            {
                Transaction t;
                if (lockedFirst) {
                    ASSERT_TRUE(t.lock(std::vector<std::string>{c.second, c.first}));
                    EXPECT_EQ(t.exists(c.first), fileExists(c.first));
                    EXPECT_EQ(t.exists(c.second), fileExists(c.second));
                }
                FileWriter* first = TestSupport::staged(t, c.first, FileWriter::Permissions::OwnerOnly);
                ASSERT_NE(first, nullptr);
                ASSERT_TRUE(writeString(*first, "private keys"));
                FileWriter* second = nullptr;
                const FileResult staged = t.stage(c.second, FileWriter::Permissions::Normal, second);
                EXPECT_EQ(second, nullptr);
                EXPECT_EQ(staged.failure().fault, FileFault::TwoRoles);
            }
            EXPECT_EQ(snapshot(dir), before);
            EXPECT_FALSE(TestSupport::exists(dir.file("new.key_base")));
        }
}

// A save killed at any moment leaves every file whole, old or new; the next
// save of the same file removes the temporaries the killed one left.
TEST(Transaction, KilledSavesLeaveOldOrNewFilesAndNoTemporaries) {
    Files f;
    ASSERT_TRUE(createServerKey(f.serverKey("first")));
    std::mt19937 random(12345);
    for (int round = 0; round < 24; ++round) {
        SCOPED_TRACE(round);
        const int kind = round % 3;
        const int before = channelsIn(kind == 1 ? f.userBase : f.base);
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            for (int i = 0;; ++i) {
                const std::string name = named("r", round, i);
                if (kind == 0) {
                    static_cast<void>(createServerKey(f.serverKey(name)));
                } else if (kind == 1) {
                    std::remove(f.userBase.c_str());
                    static_cast<void>(createUserKey(f.userKey(), f.java));
                } else {
                    static_cast<void>(createServerKey(f.serverKey(name)));
                    static_cast<void>(removeChannel(f.base, "srv", name));
                }
            }
        }
        std::this_thread::sleep_for(std::chrono::microseconds(random() % 40000));
        kill(child, SIGKILL);
        int status = 0;
        waitpid(child, &status, 0);

        // Whole files only: each base loads, each public part reads.
        EXPECT_GE(channelsIn(f.base), 1);
        EXPECT_TRUE(isChannelFile(f.part));
        if (TestSupport::exists(f.userBase)) {
            EXPECT_EQ(channelsIn(f.userBase), 1);
        }
        if (TestSupport::exists(f.userPart)) {
            EXPECT_TRUE(isChannelFile(f.userPart));
        }
        if (kind == 0) {
            EXPECT_GE(channelsIn(f.base), before);
        }
    }
    // One more save of each file clears what the kills left.
    ASSERT_TRUE(createServerKey(f.serverKey("last")));
    std::remove(f.userBase.c_str());
    ASSERT_TRUE(createUserKey(f.userKey(), f.java));
    EXPECT_EQ(temporariesIn(f.dir.path()), std::vector<std::string>{});
}

// Under a full disk at every size, a transaction commits all its files or
// leaves every one as it was, and leaves no temporary behind. The last file
// staged is the largest, so there are limits where the earlier ones fit and
// a later one does not: none of them may be in place before all are written.
TEST(Transaction, FullDiskAtEverySizeCommitsAllOrNothing) {
    Files f;
    ASSERT_TRUE(createServerKey(f.serverKey("old")));
    TestSupport::writeText(f.java, "previous java file");
    KeyBase base;
    ASSERT_TRUE(base.loadBase(f.base));
    base.addChannel(TestSupport::ownKeysChannel("srv", "new", false, true));
    const size_t newBase =
        TestSupport::bytesWrittenBy([&](FileWriter& file) { return base.writeBase(file); }).size();
    const std::string java(newBase + 256, 'J');
    const Snapshot before = snapshot(f.dir);
    const size_t largest = 2 * before.at("server.key_base").size() + java.size();

    bool committedOnce = false;
    for (size_t limit = 0; limit <= largest; ++limit) {
        bool ok = false;
        {
            TestSupport::FileSizeLimit full(limit);
            Transaction t;
            FileWriter* b = TestSupport::staged(t, f.base, FileWriter::Permissions::OwnerOnly);
            FileWriter* p = TestSupport::staged(t, f.part, FileWriter::Permissions::Normal);
            FileWriter* j = TestSupport::staged(t, f.java, FileWriter::Permissions::OwnerOnly);
            ok = b && p && j && base.writeBase(*b) && writeString(*p, std::string(200, 'p')) &&
                 j->write(java) && t.commit();
        }
        if (!ok) {
            ASSERT_EQ(snapshot(f.dir), before) << "limit " << limit;
        } else {
            committedOnce = true;
            EXPECT_EQ(channelsIn(f.base), 2);
            EXPECT_EQ(TestSupport::readText(f.java), java);
            EXPECT_TRUE(temporariesIn(f.dir.path()).empty());
            break;
        }
    }
    EXPECT_TRUE(committedOnce);
}

// Every change of the exchange and of the maintenance, under a full disk at
// every size up to its largest file: it succeeds whole, or every file of it
// is as it was. Each step keeps its own earlier results as its starting point.
TEST(Transaction, EveryChangeUnderAFullDiskIsAllOrNothing) {
    Files f;
    ASSERT_TRUE(createServerKey(f.serverKey("old")));
    ASSERT_TRUE(createServerKey(f.serverKey("usr")));
    struct Step {
        const char* what;
        std::function<FileResult()> run;
    };
    const KeyWizardData user = f.userKey();
    KeyWizardData import;
    import.mode = ImportUserPart;
    import.baseFile = f.base;
    import.importFile = f.userPart;
    const Step steps[] = {
        {"server-key",
         [&] {
             KeyWizardData d = f.serverKey("new");
             d.exportFile = f.dir.file("new.okp");
             return createServerKey(d);
         }},
        {"user-key with the Java file", [&] { return createUserKey(user, f.java); }},
        {"import-user",
         [&] {
             import.userKeyName = "usr";
             import.serverKeyName = "srv";
             return importUserPublicPart(import);
         }},
        {"delete", [&] { return removeChannel(f.base, "srv", "old"); }},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.what);
        const Snapshot before = snapshot(f.dir);
        size_t largest = 0;
        for (const auto& [name, bytes] : before) largest = std::max(largest, bytes.size());
        largest += 1024;  // room for what the step adds
        bool done = false;
        // Every size where the first bytes go; then every fourth, since each
        // try of a key operation generates its keys anew.
        for (size_t limit = 0; limit <= largest && !done; limit += limit < 128 ? 1 : 4) {
            {
                TestSupport::FileSizeLimit full(limit);
                done = step.run().ok();
            }
            if (!done) {
                ASSERT_EQ(snapshot(f.dir), before) << "limit " << limit;
            }
        }
        EXPECT_TRUE(done);
        EXPECT_TRUE(temporariesIn(f.dir.path()).empty());
    }
    EXPECT_EQ(channelsIn(f.base), 2);
    EXPECT_EQ(channelsIn(f.userBase), 1);
    EXPECT_TRUE(TestSupport::exists(f.java));
}

// Deleting a channel says what stood in the way, from the one read it makes
// under the base's lock; only a removed channel changes the file.
TEST(Transaction, RemovingAChannelTellsWhatStoodInTheWay) {
    Files f;
    ASSERT_TRUE(createServerKey(f.serverKey("u0")));
    ASSERT_TRUE(createServerKey(f.serverKey("gone")));
    KeyBase emptied;
    ASSERT_TRUE(emptied.loadBase(f.base));
    ASSERT_TRUE(emptied.deleteChannel("srv", "u0"));
    ASSERT_TRUE(emptied.deleteChannel("srv", "gone"));
    const std::string empty = f.dir.file("empty.key_base");
    ASSERT_TRUE(emptied.saveBase(empty));
    const std::string garbage = f.dir.file("garbage");
    TestSupport::writeText(garbage, "not a key file");

    ASSERT_TRUE(createServerKey(f.serverKey("u9")));
    const struct {
        std::string path;
        std::string remote;
        RemoveOutcome outcome;
    } cases[] = {
        {f.dir.file("missing"), "u0", RemoveOutcome::NotABase},
        {f.part, "u9", RemoveOutcome::NotABase},
        {garbage, "u0", RemoveOutcome::NotABase},
        {empty, "u0", RemoveOutcome::NoChannels},
        {f.base, "nobody", RemoveOutcome::NoSuchChannel},
        {f.dir.path(), "u0", RemoveOutcome::LockFailed},
        {f.base, "gone", RemoveOutcome::Removed},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path + " " + c.remote);
        const Snapshot before = snapshot(f.dir);
        EXPECT_EQ(removeChannelFrom(c.path, "srv", c.remote), c.outcome);
        if (c.outcome != RemoveOutcome::Removed) {
            EXPECT_EQ(snapshot(f.dir), before);
        }
    }
    EXPECT_EQ(channelsIn(f.base), 2);
}
