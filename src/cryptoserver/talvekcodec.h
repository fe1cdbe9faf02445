#pragma once
// The channel codec that protects what travels between the administrator and
// the crypto server, with the call contract of the Talvek library.
//
// Both calls name the administrator's key base file and the channel in it:
// the local key name (the administrator's) and the remote one (the
// server's), as Windows-1251 bytes. SingleEncode seals the input with that
// channel (signature and/or encryption, base64 text); SingleDecode opens what
// the other side sealed with the mirrored channel. A channel that can neither
// sign nor encrypt is refused, so data never travel unprotected.
//
// Results: non-zero on success, with the first output (malloc'ed, owned by
// the caller, released through SingleFree) and an empty second output; 0 on
// failure, with both outputs left as they were (the caller zeroes them).

#include <cstdint>
#include <string>
#include <vector>

namespace Talvek {

int32_t SingleEncode(const char* adminKeyBase, const char* adminKeyName, const char* serverKeyName,
                     const uint8_t* input, uint32_t inputLength, uint8_t** output,
                     uint32_t* outputLength, uint8_t** secondOutput, uint32_t* secondLength);
int32_t SingleDecode(const char* adminKeyBase, const char* adminKeyName, const char* serverKeyName,
                     const uint8_t* input, uint32_t inputLength, uint8_t** output,
                     uint32_t* outputLength, uint8_t** secondOutput, uint32_t* secondLength);
// Releases an output of the two calls and sets the variable to null; a null
// address or a null pointer is fine.
void SingleFree(uint8_t** pointer);

// Both outputs of one call, zero before it and released with SingleFree
// however the caller ends.
struct SingleOutput {
    uint8_t* data = nullptr;
    uint32_t length = 0;
    uint8_t* second = nullptr;
    uint32_t secondLength = 0;

    SingleOutput() = default;
    SingleOutput(const SingleOutput&) = delete;
    SingleOutput& operator=(const SingleOutput&) = delete;
    ~SingleOutput() {
        SingleFree(&data);
        SingleFree(&second);
    }
    std::vector<uint8_t> bytes() const { return std::vector<uint8_t>(data, data + length); }
};

// The two calls over a byte block, with the channel local -> remote of
// keyBase; false also for an input too long for the call.
bool singleEncode(const std::string& keyBase, const std::string& localName,
                  const std::string& remoteName, const std::vector<uint8_t>& input,
                  SingleOutput& out);
bool singleDecode(const std::string& keyBase, const std::string& localName,
                  const std::string& remoteName, const std::vector<uint8_t>& input,
                  SingleOutput& out);

// The decoded interface list: zero-terminated Windows-1251 names one after
// the other. Empty names are skipped; a last name without its zero counts.
std::vector<std::string> splitInterfaceList(const uint8_t* data, size_t length);
std::vector<uint8_t> joinInterfaceList(const std::vector<std::string>& names);

}  // namespace Talvek
