#pragma once
// How the maintenance commands open a key file: as a key base with at least
// one channel, or else as a public-part file holding one channel.

#include <optional>
#include <string>

#include "checks/maintenancechecks.h"
#include "cli/command.h"
#include "keystore/secureexception.h"
#include "keystore/securechannel.h"

namespace Talvek::Cli {

struct KeyFileChannel {
    KeyFileKind kind = KeyFileKind::KeyBase;
    std::optional<ChannelSummary> channel;  // the one asked for, by full names
};

// Nothing when the file is neither kind (or a key base without channels).
std::optional<KeyFileChannel> openKeyFile(const std::string& path, const std::string& localName,
                                          const std::string& remoteName);

// A key that could not be built: prints its message and then the command's
// own failure on stderr, and returns Failure.
int keyStoreFailure(const SecureException& e, const std::string& failed, Io& io);

}  // namespace Talvek::Cli
