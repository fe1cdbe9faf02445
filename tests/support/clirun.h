#pragma once
// talvekkey run in-process with its streams captured.

#include <sstream>
#include <string>
#include <vector>

#include "cli/command.h"

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

}  // namespace TestSupport
