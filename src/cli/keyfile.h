#pragma once
// What the channel commands do when a key cannot even be built.

#include <string>

#include "checks/maintenancechecks.h"
#include "cli/command.h"
#include "keystore/secureexception.h"

namespace Talvek::Cli {

// A key that could not be built: prints its message and then the command's
// own failure on stderr, and returns Failure. No file is to blame, so no
// cause line follows.
int keyStoreFailure(const SecureException& e, const std::string& failed, Io& io);

}  // namespace Talvek::Cli
