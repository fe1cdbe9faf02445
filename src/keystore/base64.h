#pragma once
// Base64 with the standard alphabet and "=" padding, no line breaks.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace Talvek {

// Capacities callers give the two coders for n input bytes or characters.
constexpr size_t base64EncodeCapacity(size_t n) {
    return ((n + 2) / 3) * 4 + 20;
}
constexpr size_t base64DecodeCapacity(size_t n) {
    return ((n + 3) / 4) * 3 + 20;
}

// Writes 4 characters per started group of 3 bytes and a terminating zero.
// False, nothing written, when an argument is missing or the capacity is
// below ((n + 2) / 3) * 4 + 2; outLength counts the characters, not the zero.
bool base64Encode(const uint8_t* data, size_t length, char* out, size_t capacity,
                  size_t* outLength);

// Reads groups of four significant characters. CR, LF, space and tab are
// skipped; any other character outside the alphabet and "=" is skipped too but
// makes the result false. A tail that is not a complete padded group
// ("xxx=", "xx==") is dropped. False at once, nothing written, when an
// argument is missing or the capacity is below ((n + 3) / 4) * 3; otherwise
// outLength is set whatever the result.
bool base64Decode(const char* text, size_t length, uint8_t* out, size_t capacity,
                  size_t* outLength);

// The same over standard containers.
std::string base64Encode(const uint8_t* data, size_t length);
bool base64Decode(std::string_view text, std::vector<uint8_t>& out);

}  // namespace Talvek
