#include "checks/maintenancechecks.h"

#include "fileio/fileresult.h"
#include "keystore/keyops.h"

namespace Talvek {

FileResult listKeyFile(const std::string& path, KeyFileListing& listing) {
    // A listing shows names, sizes and fingerprints: the keys of a large
    // base are summarised as they are read, and their private numbers are
    // neither converted nor held.
    KeyFileContent content = KeyFileContent::Neither;
    FileResult listed = listKeyFileChannels(path, listing.channels, content);
    listing.kind = content == KeyFileContent::Channel ? KeyFileKind::PublicPart
                                                      : KeyFileKind::KeyBase;
    if (listed && content == KeyFileContent::Base && listing.channels.empty())
        return FileResult::failed(path, FileFault::NoChannel);
    return listed;
}

}  // namespace Talvek
