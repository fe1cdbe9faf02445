#include <csignal>
#include <iostream>
#include <string>
#include <vector>

#include "cli/command.h"

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    Talvek::Cli::Io io {std::cin, std::cout, std::cerr};
    return Talvek::Cli::runTalvekkey(args, io);
}
