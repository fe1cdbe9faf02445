#include <unistd.h>

#include <csignal>
#include <iostream>
#include <string>
#include <vector>

#include "cli/command.h"

int main(int argc, char** argv) {
    // A file that may not grow (size limit, quota) must make the write fail,
    // so the command reports it and leaves the old file, instead of the
    // signal killing the process half-way with a temporary file behind.
    std::signal(SIGXFSZ, SIG_IGN);
    // The streams are not mixed with C stdio; unsynced they buffer, so a
    // large JSON listing is not written through one stdio call per piece.
    std::ios_base::sync_with_stdio(false);
    std::vector<std::string> args(argv + 1, argv + argc);
    Talvek::Cli::Io io{std::cin, std::cout, std::cerr, isatty(STDERR_FILENO) == 1};
    return Talvek::Cli::runTalvekkey(args, io);
}
