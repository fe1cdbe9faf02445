#include "cli/keyfile.h"

#include <ostream>

#include "cli/keyexchange.h"

namespace Talvek::Cli {

int keyStoreFailure(const SecureException& e, const std::string& failed, Io& io) {
    printMessage(io.err, e.message());
    printFailure(io.err, failed, {});
    return Failure;
}

}  // namespace Talvek::Cli
