#include "support/largebase.h"

#include <algorithm>
#include <cstdio>
#include <stdexcept>
#include <vector>

#include "fileio/filewriter.h"
#include "keystore/cp1251.h"
#include "keystore/encoding.h"
#include "support/testkeys.h"

namespace TestSupport {

std::string largeBaseRemoteName(size_t i) {
    char digits[16];
    std::snprintf(digits, sizeof digits, "%06zu", i);
    return (i % 3 == 2 ? "Пользователь" : "user") + std::string(digits);
}

void writeLargeServerBase(const std::string& path, size_t count, int bits) {
    using namespace Talvek;
    // One channel's keys, repeated: what differs between records is names.
    auto channel = completeChannel("server", "user", true, true, bits, 0);
    FileWriter file;
    if (!file.create(path)) throw std::runtime_error("cannot create " + path);
    // The base header and its one node, as KeyBase::writeBase and
    // KeyNode::writeNode frame them.
    writeMagic(file, "KNET0");
    writeString(file, "server");
    writeU32(file, 1);
    writeMagic(file, "KNOD0");
    writeString(file, "server");
    writeU32(file, static_cast<uint32_t>(count));
    // In the order a saved base has: by the names' bytes.
    std::vector<std::string> names(count);
    for (size_t i = 0; i < count; ++i) {
        if (!utf8ToCp1251(largeBaseRemoteName(i), names[i]))
            throw std::runtime_error("cannot convert name " + std::to_string(i));
    }
    std::sort(names.begin(), names.end());
    for (std::string& remote : names) {
        channel->remoteName = std::move(remote);
        if (!channel->writeChannel(file))
            throw std::runtime_error("cannot write channel " + channel->remoteName);
    }
    if (!file.close()) throw std::runtime_error("cannot save " + path);
}

}  // namespace TestSupport
