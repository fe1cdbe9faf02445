#pragma once
// talvekkey's commands: each command file defines its Command; the table of
// them all is in command.cpp.

#include <iosfwd>
#include <string>
#include <vector>

namespace Talvek::Cli {

enum ExitCode : int { Success = 0, Failure = 1, Usage = 2 };

struct Io {
    std::istream& in;
    std::ostream& out;
    std::ostream& err;
    // err is a terminal someone watches: long work may show its progress.
    bool errIsTerminal = false;
    // The descriptor behind in, when there is one: reading it directly tells
    // a read error (stdin a folder, closed) from the end of the input.
    int inFd = -1;
};

struct Command {
    const char* name;
    const char* synopsis;     // e.g. "inspect FILE [--json]"
    const char* description;  // one or more lines for --help
    int (*run)(const std::vector<std::string>& args, Io& io);
};

const std::vector<Command>& commands();

// The whole program with explicit streams, so tests can run it in-process.
int runTalvekkey(const std::vector<std::string>& args, Io& io);

// Prints "talvekkey: <message>" for a usage error plus the command's synopsis
// and returns Usage.
int usageError(Io& io, const Command& command, const std::string& message);

}  // namespace Talvek::Cli
