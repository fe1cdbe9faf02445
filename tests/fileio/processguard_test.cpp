// No crash dump of a program that has read private keys.

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>

#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "fileio/processguard.h"

// Read back in a child, which then crashes: the limits hold, nothing can
// raise them again, and the crash leaves no core.
TEST(ProcessGuard, CoreDumpsAreOffAndStayOff) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const rlimit unlimited{RLIM_INFINITY, RLIM_INFINITY};
        setrlimit(RLIMIT_CORE, &unlimited);
        if (!Talvek::disableCoreDumps()) _exit(10);
        rlimit core{};
        if (getrlimit(RLIMIT_CORE, &core) != 0 || core.rlim_cur != 0 || core.rlim_max != 0)
            _exit(11);
        if (prctl(PR_GET_DUMPABLE, 0, 0, 0, 0) != 0) _exit(12);
        const rlimit raised{1 << 20, 1 << 20};
        if (geteuid() != 0 && setrlimit(RLIMIT_CORE, &raised) == 0) _exit(13);
        std::signal(SIGABRT, SIG_DFL);
        std::abort();
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status)) << "exit " << WEXITSTATUS(status);
    EXPECT_EQ(WTERMSIG(status), SIGABRT);
    EXPECT_FALSE(WCOREDUMP(status));
}
