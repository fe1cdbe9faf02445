#pragma once
// FILE LOCAL REMOTE as the channel commands take them: a key base or a
// public-part file, and the channel's names typed in UTF-8.

#include <string>

#include "cli/command.h"
#include "cli/keyfile.h"
#include "keystore/keybase.h"

namespace Talvek::Cli {

struct CommandChannel {
    KeyBase base;               // a key base, loaded
    SecureChannel fileChannel;  // a public-part file's own channel
    const SecureChannel* channel = nullptr;
    KeyFileKind kind = KeyFileKind::KeyBase;
    std::string localName;   // Windows-1251
    std::string remoteName;  // Windows-1251
};

// Encodes the names, opens the file as the maintenance dialog does and finds
// the channel by its full names. On failure prints the program's message on
// stderr and returns false.
bool loadCommandChannel(const std::string& path, const std::string& localUtf8,
                        const std::string& remoteUtf8, CommandChannel& out, Io& io);

}  // namespace Talvek::Cli
