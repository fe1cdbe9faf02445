#include "cli/keyfile.h"

#include <ostream>
#include <vector>

#include "cli/keyexchange.h"
#include "keystore/filefault.h"
#include "keystore/keybase.h"
#include "keystore/keyops.h"

namespace Talvek::Cli {

const char* const kOpenFailed = "Ошибка открытия базы ключей!";

std::optional<KeyFileChannel> openKeyFile(const std::string& path, const std::string& localName,
                                          const std::string& remoteName) {
    KeyFileChannel result;
    KeyBase base;
    SecureChannel channel;
    KeyBaseSummary header;
    std::vector<ChannelSummary> channels;
    switch (readKeyFile(path, base, channel)) {
        case KeyFileContent::Base:
            // A base that loads but holds no channel is not tried as a public part.
            if (!base.listChannels(header, channels)) {
                noteFileFailure(path, FileFault::NoChannel);
                return std::nullopt;
            }
            result.kind = KeyFileKind::KeyBase;
            break;
        case KeyFileContent::Channel: {
            ChannelSummary summary;
            if (!channel.toSummary(&summary)) return std::nullopt;
            result.kind = KeyFileKind::PublicPart;
            channels.push_back(summary);
            break;
        }
        case KeyFileContent::Neither:
            return std::nullopt;
    }
    // Full names, so names with blanks or longer than the listing shows work.
    for (const ChannelSummary& c : channels) {
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
