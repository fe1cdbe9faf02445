#include "cryptoserver/talvekcodec.h"

#include <cstdlib>
#include <cstring>

#include "keystore/keybase.h"
#include "keystore/message.h"
#include "keystore/secureexception.h"

namespace Talvek {

namespace {

// A malloc'ed copy, so that SingleFree can release it whoever calls.
bool handOut(const void* data, size_t length, uint8_t** output, uint32_t* outputLength) {
    if (length > UINT32_MAX) return false;
    auto* copy = static_cast<uint8_t*>(std::malloc(length > 0 ? length : 1));
    if (!copy) return false;
    if (length > 0) std::memcpy(copy, data, length);
    *output = copy;
    *outputLength = static_cast<uint32_t>(length);
    return true;
}

enum class Direction { Encode, Decode };

int32_t run(Direction direction, const char* adminKeyBase, const char* adminKeyName,
            const char* serverKeyName, const uint8_t* input, uint32_t inputLength, uint8_t** output,
            uint32_t* outputLength, uint8_t** secondOutput, uint32_t* secondLength) {
    if (!adminKeyBase || !adminKeyName || !serverKeyName || !output || !outputLength ||
        (!input && inputLength > 0))
        return 0;
    try {
        KeyBase base;
        if (!base.loadBase(adminKeyBase)) return 0;
        const SecureChannel* channel = base.findChannel(adminKeyName, serverKeyName);
        if (!channel) return 0;
        if (direction == Direction::Encode) {
            // Data never leave unprotected: a channel that can neither sign
            // nor encrypt would send them as plain base64.
            if (!sealProtection(*channel).any()) return 0;
            std::string sealed;
            if (!sealMessage(*channel, input, inputLength, sealed)) return 0;
            if (!handOut(sealed.data(), sealed.size(), output, outputLength)) return 0;
        } else {
            // Nor are unprotected data taken for the server's.
            if (!openProtection(*channel).any()) return 0;
            std::vector<uint8_t> plain;
            if (!openMessage(*channel, reinterpret_cast<const char*>(input), inputLength, plain))
                return 0;
            if (!handOut(plain.data(), plain.size(), output, outputLength)) return 0;
        }
    } catch (const SecureException&) {
        return 0;
    }
    // The second output carries nothing.
    if (secondOutput) *secondOutput = nullptr;
    if (secondLength) *secondLength = 0;
    return 1;
}

}  // namespace

int32_t SingleEncode(const char* adminKeyBase, const char* adminKeyName, const char* serverKeyName,
                     const uint8_t* input, uint32_t inputLength, uint8_t** output,
                     uint32_t* outputLength, uint8_t** secondOutput, uint32_t* secondLength) {
    return run(Direction::Encode, adminKeyBase, adminKeyName, serverKeyName, input, inputLength,
               output, outputLength, secondOutput, secondLength);
}

int32_t SingleDecode(const char* adminKeyBase, const char* adminKeyName, const char* serverKeyName,
                     const uint8_t* input, uint32_t inputLength, uint8_t** output,
                     uint32_t* outputLength, uint8_t** secondOutput, uint32_t* secondLength) {
    return run(Direction::Decode, adminKeyBase, adminKeyName, serverKeyName, input, inputLength,
               output, outputLength, secondOutput, secondLength);
}

void SingleFree(uint8_t** pointer) {
    if (!pointer) return;
    std::free(*pointer);
    *pointer = nullptr;
}

bool singleEncode(const std::string& keyBase, const std::string& localName,
                  const std::string& remoteName, const std::vector<uint8_t>& input,
                  SingleOutput& out) {
    return input.size() <= UINT32_MAX &&
           SingleEncode(keyBase.c_str(), localName.c_str(), remoteName.c_str(), input.data(),
                        static_cast<uint32_t>(input.size()), &out.data, &out.length, &out.second,
                        &out.secondLength) != 0;
}

bool singleDecode(const std::string& keyBase, const std::string& localName,
                  const std::string& remoteName, const std::vector<uint8_t>& input,
                  SingleOutput& out) {
    return input.size() <= UINT32_MAX &&
           SingleDecode(keyBase.c_str(), localName.c_str(), remoteName.c_str(), input.data(),
                        static_cast<uint32_t>(input.size()), &out.data, &out.length, &out.second,
                        &out.secondLength) != 0;
}

std::vector<std::string> splitInterfaceList(const uint8_t* data, size_t length) {
    std::vector<std::string> names;
    size_t start = 0;
    while (data && start < length) {
        const void* zero = std::memchr(data + start, 0, length - start);
        const size_t end =
            zero ? static_cast<size_t>(static_cast<const uint8_t*>(zero) - data) : length;
        if (end > start)
            names.emplace_back(reinterpret_cast<const char*>(data + start), end - start);
        start = end + 1;
    }
    return names;
}

std::vector<uint8_t> joinInterfaceList(const std::vector<std::string>& names) {
    std::vector<uint8_t> out;
    for (const std::string& name : names) {
        out.insert(out.end(), name.begin(), name.end());
        out.push_back(0);
    }
    return out;
}

}  // namespace Talvek
