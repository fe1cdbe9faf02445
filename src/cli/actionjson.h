#pragma once
// What a changing command wrote, as one JSON object on stdout (--json):
// the files it wrote and the channels it made, completed or deleted, with
// the fingerprints of the keys written and taken in. The schema and its
// promise (fields are only added) are in docs/talvekkey-json.md.

#include <iosfwd>
#include <string>
#include <vector>

#include "keystore/keyops.h"

namespace Talvek::Cli {

struct WrittenFile {
    std::string path;
    const char* role;  // "base", "publicPart" or "java"
};

struct ChannelOutcome {
    std::string localName;   // Windows-1251
    std::string remoteName;  // Windows-1251
    const char* action;      // "created", "imported" or "deleted"
    // The own keys' public halves written to a public part; none: null.
    const PublicPartFingerprints* exported = nullptr;
    // The peer's keys taken from its public part; none: null.
    const PublicPartFingerprints* imported = nullptr;
};

struct ActionReport {
    const char* command;
    std::vector<WrittenFile> files;
    std::vector<ChannelOutcome> channels;
};

void printActionJson(std::ostream& out, const ActionReport& report);

// Takes "--json" out of the arguments; true when it was there.
bool takeJsonFlag(std::vector<std::string>& args);

}  // namespace Talvek::Cli
