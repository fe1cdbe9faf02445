#include <unistd.h>

#include <csignal>
#include <iostream>
#include <new>
#include <string>
#include <vector>

#include "cli/command.h"
#include "fileio/processguard.h"

int main(int argc, char** argv) {
    // A crash dump would hold the private keys of every base read.
    Talvek::disableCoreDumps();
    // A file that may not grow (size limit, quota) must make the write fail,
    // so the command reports it and leaves the old file, instead of the
    // signal killing the process half-way with a temporary file behind.
    std::signal(SIGXFSZ, SIG_IGN);
    // The streams are not mixed with C stdio; unsynced they buffer, so a
    // large JSON listing is not written through one stdio call per piece.
    std::ios_base::sync_with_stdio(false);
    std::vector<std::string> args(argv + 1, argv + argc);
    Talvek::Cli::Io io{std::cin, std::cout, std::cerr, isatty(STDERR_FILENO) == 1,
                       STDIN_FILENO};
    try {
        return Talvek::Cli::runTalvekkey(args, io);
    } catch (const std::bad_alloc&) {
        // Running out of memory ends the command with a message, never an abort.
        std::cout.flush();
        std::cerr << "talvekkey: out of memory" << std::endl;
        return 1;
    }
}
