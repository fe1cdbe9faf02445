// The descriptor owner closes exactly once, and only what it still owns.

#include <gtest/gtest.h>

#include <cerrno>
#include <utility>

#include <fcntl.h>
#include <unistd.h>

#include "fileio/uniquefd.h"

using Talvek::UniqueFd;

namespace {

bool isOpen(int fd) {
    return fcntl(fd, F_GETFD) != -1;
}

int openNull() {
    return ::open("/dev/null", O_RDONLY | O_CLOEXEC);
}

}  // namespace

TEST(UniqueFd, MovedFromOwnerClosesNothingAndTheNewOwnerCloses) {
    const int raw = openNull();
    ASSERT_GE(raw, 0);
    {
        UniqueFd first(raw);
        UniqueFd second(std::move(first));
        EXPECT_EQ(first.get(), -1);
        EXPECT_FALSE(first);
        EXPECT_EQ(second.get(), raw);
        {
            UniqueFd third;
            third = std::move(second);
            EXPECT_FALSE(second);
        }
        // The third owner has gone; the two moved-from ones closed nothing
        // meanwhile, so the number was closed exactly once, by it.
        EXPECT_FALSE(isOpen(raw));
        // A number the system hands out again is not closed by the old owners.
        const int again = openNull();
        ASSERT_GE(again, 0);
        first.reset();
        second.reset();
        EXPECT_TRUE(isOpen(again));
        ::close(again);
    }
}

TEST(UniqueFd, ResetClosesTheOldAndReleaseGivesUp) {
    UniqueFd owner(openNull());
    const int first = owner.get();
    ASSERT_TRUE(isOpen(first));

    const int other = openNull();
    ASSERT_GE(other, 0);
    owner.reset(other);
    EXPECT_FALSE(isOpen(first));
    EXPECT_TRUE(isOpen(other));

    // Assigning over a live owner closes what it held.
    owner = UniqueFd(openNull());
    EXPECT_FALSE(isOpen(other));

    const int kept = owner.release();
    EXPECT_FALSE(owner);
    owner.reset();
    EXPECT_TRUE(isOpen(kept));
    ::close(kept);

    // The cause of a failure survives the cleanup behind it.
    UniqueFd last(openNull());
    errno = ENOSPC;
    last.reset();
    EXPECT_EQ(errno, ENOSPC);
}

TEST(UniqueFd, CloseSaysWhetherTheSystemTookIt) {
    UniqueFd owner(openNull());
    const int raw = owner.get();
    EXPECT_EQ(owner.close(), 0);
    EXPECT_FALSE(owner);
    EXPECT_FALSE(isOpen(raw));
    EXPECT_EQ(owner.close(), 0);  // nothing left to close
}
