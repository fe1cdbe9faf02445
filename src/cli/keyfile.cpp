#include "cli/keyfile.h"

#include <ostream>
#include <vector>

#include "cli/keyexchange.h"

namespace Talvek::Cli {

std::optional<KeyFileChannel> openKeyFile(const std::string& path, const std::string& localName,
                                          const std::string& remoteName) {
    KeyFileListing listing;
    // A base that loads but holds no channel is not tried as a public part.
    if (!listKeyFile(path, listing)) return std::nullopt;
    KeyFileChannel result;
    result.kind = listing.kind;
    // Full names, so names with blanks or longer than the listing shows work.
    for (const ChannelSummary& c : listing.channels) {
        if (c.fullLocalName == localName && c.fullRemoteName == remoteName) {
            result.channel = c;
            break;
        }
    }
    return result;
}

int keyStoreFailure(const SecureException& e, const std::string& failed, Io& io) {
    printMessage(io.err, e.message());
    printFailure(io.err, failed);
    return Failure;
}

}  // namespace Talvek::Cli
