#include "checks/maintenancechecks.h"

#include "fileio/filefault.h"
#include "keystore/keybase.h"
#include "keystore/keyops.h"

namespace Talvek {

std::optional<KeyFileListing> listKeyFile(const std::string& path) {
    KeyFileListing listing;
    KeyBase base;
    SecureChannel channel;
    switch (readKeyFile(path, base, channel)) {
        case KeyFileContent::Base: {
            KeyBaseSummary header;
            if (!base.listChannels(header, listing.channels)) {
                listing.channels.clear();
                noteFileFailure(path, FileFault::NoChannel);
            }
            listing.kind = KeyFileKind::KeyBase;
            return listing;
        }
        case KeyFileContent::Channel: {
            ChannelSummary summary;
            if (!channel.toSummary(&summary)) return std::nullopt;
            listing.kind = KeyFileKind::PublicPart;
            listing.channels.push_back(std::move(summary));
            return listing;
        }
        case KeyFileContent::Neither:
            break;
    }
    return std::nullopt;
}

}  // namespace Talvek
