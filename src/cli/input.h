#pragma once
// Where a command's one input comes from: a file, or standard input when it
// is named "-". Either is read whole into wiped memory, no more than a key
// file may hold, so endless input (/dev/zero) ends the command with a cause
// instead of exhausting memory.

#include <string>

#include "cli/command.h"
#include "fileio/wipingallocator.h"

namespace Talvek::Cli {

inline bool namesStdin(const std::string& path) { return path == "-"; }

// How standard input is named in a cause ("talvekkey: stdin: ...").
inline constexpr const char* kStdinName = "stdin";

// Reads path (standard input for "-") into data. On failure prints failed
// (when not empty) and "talvekkey: NAME: cause" on stderr and returns false.
bool readInput(const std::string& path, SecretBytes& data, const std::string& failed, Io& io);

}  // namespace Talvek::Cli
