#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "fileio/filereader.h"
#include "fileio/filewriter.h"
#include "keystore/rsakeyrecord.h"

namespace Talvek {

// The flat description of one channel that the dialogs show. The names are
// cut to 31 bytes as listings have always shown them; the full names travel
// alongside so that actions on a listed channel find it whatever its names.
struct ChannelSummary {
    char localName[32] = {};
    char remoteName[32] = {};
    uint8_t useCrypt = 0;
    uint8_t useSign = 0;
    uint32_t cryptSize = 0;
    uint32_t signSize = 0;
    uint8_t hasCryptPrivate = 0;
    uint8_t hasCryptPublic = 0;
    uint8_t hasSignPrivate = 0;
    uint8_t hasSignPublic = 0;
    std::string fullLocalName;
    std::string fullRemoteName;
    // Fingerprints of the keys present (of the public half for an own pair),
    // empty for a key the channel lacks.
    std::string cryptPrivateFingerprint;
    std::string cryptPublicFingerprint;
    std::string signPrivateFingerprint;
    std::string signPublicFingerprint;
};

struct KeyBaseSummary {
    char baseName[32] = {};
    int32_t channelCount = 0;
};

// True when the channel uses a key and has both halves of every key it
// uses; a channel that uses neither key is not complete.
bool isChannelComplete(const ChannelSummary& channel);

// Copies at most 31 bytes and a terminating zero.
void copyCut31(char (&target)[32], const std::string& source);

// The magic of a channel record, also of the one a public-part file holds.
inline constexpr const char* kChannelMagic = "KCHA1";

// The keys of one pair of key names for encryption and signing; record
// kChannelMagic.
// Flags and sizes are kept as read: a flag counts as set when it is not zero.
class SecureChannel {
public:
    uint8_t useCrypt = 0;
    uint8_t useSign = 0;
    uint8_t hasCryptPrivate = 0;
    uint8_t hasCryptPublic = 0;
    uint8_t hasSignPrivate = 0;
    uint8_t hasSignPublic = 0;
    uint32_t cryptSize = 0;
    uint32_t signSize = 0;
    std::string localName;
    std::string remoteName;
    std::unique_ptr<RsaKeyRecord> cryptPublicKey;   // the peer's: we encrypt for it
    std::unique_ptr<RsaKeyRecord> cryptPrivateKey;  // our own pair: we decrypt
    std::unique_ptr<RsaKeyRecord> signPrivateKey;   // our own pair: we sign
    std::unique_ptr<RsaKeyRecord> signPublicKey;    // the peer's: we verify

    // Reads one channel record; the old layout (any fifth magic byte but '1')
    // included. Only the magics decide success.
    bool readChannel(FileReader& file, KeyParts parts = KeyParts::All);
    // Writes the record. False when a key that the flags announce cannot be
    // written, so that a save never stores a record that reads back wrong.
    bool writeChannel(FileWriter& file) const;
    void resetChannel();
    bool toSummary(ChannelSummary* out) const;
};

}  // namespace Talvek
