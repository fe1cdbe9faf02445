#pragma once
// Changes of many channels of one key base as one transaction: the base is
// locked and read once, every part is checked against what was read, and
// either all of them go in (one write of the base, then the files derived
// from it) or nothing changes at all.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "fileio/fileresult.h"
#include "keystore/keyops.h"

namespace Talvek {

// How a batch ended as a whole.
enum class BatchOutcome {
    Done,
    Refused,           // some items were refused (each says why); nothing written
    LockFailed,        // the base could not be locked
    NotABase,          // the base is missing (where it must exist) or no key base
    GenerationFailed,  // a key could not be generated
    SaveFailed,        // a file could not be written; every file stays as it was
};

// Why one item of a batch was refused.
enum class ItemFault {
    None,
    SameFileAsBase,  // the item's file is the base itself, however spelt
    Unreadable,      // no public-part file (missing, unreadable, another kind)
    NotImportable,   // a private key inside, an implausible key or key size
    NoChannel,       // the base lacks the channel, has it with other uses or
                     // sizes, or it is completed already
    Repeated,        // an earlier item of the batch names the same channel
    NamesTaken,      // the base joins the two names already
    FileInUse,       // the file is another item's, or the base's
};

// Mode 1 for many public parts.
struct ImportedPart {
    std::string path;
    ItemFault fault = ItemFault::None;
    FileFailure cause;       // Unreadable: the file's own fault, when it has one
    std::string serverName;  // Windows-1251, as the part names them
    std::string userName;
    PublicPartFingerprints fingerprints;
};
// Completes, in the base at baseFile, the server's channel of each part.
// Parts are read before the base is locked; everything that depends on the
// base is checked under the lock.
using BatchResult = ActionResult<BatchOutcome>;
BatchResult importUserPublicParts(const std::string& baseFile, std::vector<ImportedPart>& parts);

// Mode 0 for many users of one server name.
struct NewUserKey {
    std::string userName;    // Windows-1251
    std::string exportFile;  // where its public part goes
    ItemFault fault = ItemFault::None;
    PublicPartFingerprints written;
};
struct ServerKeyBatch {
    std::string baseFile;
    std::string serverName;  // Windows-1251
    bool useCrypt = false;
    bool useSign = false;
    uint32_t cryptSize = 0;
    uint32_t signSize = 0;
};
// One new channel per user in the base (made when missing), its keys
// generated on every core, the base written once, then each public part.
// progress, when given, is told how many users' keys are made (from the
// thread that waits for them).
BatchResult createServerKeys(const ServerKeyBatch& batch, std::vector<NewUserKey>& users,
                              const std::function<void(size_t done)>& progress = {});

// Deletes every channel named, all or none. A pair the base does not hold
// gives NoSuchChannel with its index in missing; a pair named twice is
// deleted once.
struct ChannelNames {
    std::string local;   // Windows-1251
    std::string remote;  // Windows-1251
    bool operator==(const ChannelNames&) const = default;
};
RemoveResult removeChannelsFrom(const std::string& path, const std::vector<ChannelNames>& channels,
                                size_t* missing = nullptr);

}  // namespace Talvek
