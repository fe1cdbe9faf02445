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

// Characters of the encoding of n bytes.
constexpr size_t base64Length(size_t n) {
    return ((n + 2) / 3) * 4;
}
// Writes exactly base64Length(length) characters to out, no terminator: text
// made piece by piece, each piece a multiple of 3 bytes but the last, is the
// encoding of the whole.
void base64EncodeTo(const uint8_t* data, size_t length, char* out);

// Decodes text that comes in pieces and takes only the exact form the encoder
// writes, apart from CR, LF, space and tab anywhere: a text that decodes to
// the same bytes in another way (an unused low bit set, padding missing, cut
// or followed by more characters) is refused, so a changed text never passes.
class Base64ExactReader {
public:
    // Room a piece of n characters may need in out.
    static constexpr size_t capacityFor(size_t n) { return (n / 4 + 1) * 3; }
    // Decodes the piece to out and sets *written to the bytes it wrote there.
    // False, from then on, once the text cannot be the exact form any more.
    bool feed(const char* text, size_t length, uint8_t* out, size_t* written);
    // True when everything fed is the exact form of whole groups.
    bool complete() const { return !bad_ && count_ == 0; }

private:
    bool takeGroup(uint8_t* out, size_t* written);
    bool fail() {
        bad_ = true;
        return false;
    }

    int8_t pending_[4] = {};
    int count_ = 0;
    bool ended_ = false;  // the padded last group was read
    bool bad_ = false;
};

}  // namespace Talvek
