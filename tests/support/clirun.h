#pragma once
// talvekkey run in-process with its streams captured.

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "cli/command.h"
#include "support/filesizelimit.h"

namespace TestSupport {

struct CliOutcome {
    int code = -1;
    std::string out;
    std::string err;
};

inline CliOutcome runCli(const std::vector<std::string>& args, const std::string& input = {}) {
    std::istringstream in(input);
    std::ostringstream out, err;
    Talvek::Cli::Io io{in, out, err};
    const int code = Talvek::Cli::runTalvekkey(args, io);
    return {code, out.str(), err.str()};
}

// The talvekkey program of this build tree.
inline std::string builtTalvekkey() {
    const char* build = std::getenv("TALVEK_BUILD_DIR");
    return std::string(build ? build : "") + "/src/cli/talvekkey";
}
inline bool talvekkeyBuilt() {
    return std::getenv("TALVEK_BUILD_DIR") && access(builtTalvekkey().c_str(), X_OK) == 0;
}

// The standard output of a shell command line; "(failed)" is appended when
// it does not end with status 0.
inline std::string outputOf(const std::string& command) {
    std::string text;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return "cannot run " + command;
    char buffer[256];
    while (fgets(buffer, sizeof buffer, pipe)) text += buffer;
    if (pclose(pipe) != 0) text += "(failed)";
    return text;
}

// Runs the real talvekkey; setUp runs in the child first. Its stdout and
// stderr together are returned as err.
template <typename SetUp>
CliOutcome runBuilt(const std::vector<std::string>& args, SetUp setUp) {
    const std::string program = builtTalvekkey();
    int pipeFds[2];
    EXPECT_EQ(pipe(pipeFds), 0);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(pipeFds[1], 2);
        dup2(pipeFds[1], 1);
        close(pipeFds[0]);
        setUp();
        std::vector<char*> argv{const_cast<char*>(program.c_str())};
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    close(pipeFds[1]);
    std::string text;
    char buffer[512];
    for (ssize_t n; (n = read(pipeFds[0], buffer, sizeof buffer)) > 0;) text.append(buffer, n);
    close(pipeFds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status)) << "killed by signal " << WTERMSIG(status);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, std::string(), text};
}

// Runs the real talvekkey with files limited to limit bytes, as on a full
// disk, the size-limit signal left at its default.
inline CliOutcome runBuiltWithFileLimit(rlim_t limit, const std::vector<std::string>& args) {
    return runBuilt(args, [limit] {
        // Never released, so never restored: the child becomes talvekkey
        // or exits.
        new FileSizeLimit(limit, FileSizeLimit::Signal::Default);
    });
}

// Runs the real talvekkey with stdin opened from input (a device, a folder).
inline CliOutcome runBuiltWithInput(const std::string& input,
                                    const std::vector<std::string>& args) {
    return runBuilt(args, [&input] {
        const int fd = open(input.c_str(), O_RDONLY);
        if (fd < 0) _exit(126);
        dup2(fd, 0);
        close(fd);
    });
}

}  // namespace TestSupport
