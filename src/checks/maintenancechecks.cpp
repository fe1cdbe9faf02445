#include "checks/maintenancechecks.h"

#include "fileio/filefault.h"
#include "keystore/keyops.h"

namespace Talvek {

std::optional<KeyFileListing> listKeyFile(const std::string& path) {
    KeyFileListing listing;
    // A listing shows names, sizes and fingerprints: the keys of a large
    // base are summarised as they are read, and their private numbers are
    // neither converted nor held.
    switch (listKeyFileChannels(path, listing.channels)) {
        case KeyFileContent::Base:
            if (listing.channels.empty()) noteFileFailure(path, FileFault::NoChannel);
            listing.kind = KeyFileKind::KeyBase;
            return listing;
        case KeyFileContent::Channel:
            listing.kind = KeyFileKind::PublicPart;
            return listing;
        case KeyFileContent::Neither:
            break;
    }
    return std::nullopt;
}

}  // namespace Talvek
