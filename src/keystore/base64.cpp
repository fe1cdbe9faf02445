#include "keystore/base64.h"

#include <array>
#include <bit>
#include <cstring>

namespace Talvek {

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// What each byte is to the decoder: its 6-bit value, or one of these.
constexpr int8_t kBad = -1;
constexpr int8_t kPad = -2;
constexpr int8_t kSkip = -3;  // CR, LF, space and tab
constexpr int8_t kNone = -4;  // a place the text ran out before filling

constexpr std::array<int8_t, 256> makeTable() {
    std::array<int8_t, 256> t{};
    for (auto& v : t) v = kBad;
    for (int i = 0; i < 64; ++i) t[static_cast<unsigned char>(kAlphabet[i])] = int8_t(i);
    t['='] = kPad;
    t['\r'] = t['\n'] = t[' '] = t['\t'] = kSkip;
    return t;
}
constexpr std::array<int8_t, 256> kTable = makeTable();

// Each character's bits already in their place in the three bytes of its
// group (in a little-endian word), one table per place; anything outside the
// alphabet sets bits above them, so one test catches it in a whole group.
constexpr uint32_t kOutside = 0x01FFFFFF;
using PlaceTable = std::array<uint32_t, 256>;
constexpr PlaceTable makePlace(int place) {
    PlaceTable t{};
    for (auto& v : t) v = kOutside;
    for (uint32_t i = 0; i < 64; ++i) {
        uint32_t bits = 0;
        switch (place) {
            case 0:
                bits = i << 2;
                break;
            case 1:
                bits = (i >> 4) | ((i & 15) << 12);
                break;
            case 2:
                bits = ((i >> 2) << 8) | ((i & 3) << 22);
                break;
            default:
                bits = i << 16;
                break;
        }
        t[static_cast<unsigned char>(kAlphabet[i])] = bits;
    }
    return t;
}
constexpr PlaceTable kPlace0 = makePlace(0), kPlace1 = makePlace(1), kPlace2 = makePlace(2),
                     kPlace3 = makePlace(3);

// Two characters for each 12 bits.
constexpr std::array<std::array<char, 2>, 4096> makePairs() {
    std::array<std::array<char, 2>, 4096> t{};
    for (size_t i = 0; i < t.size(); ++i) t[i] = {kAlphabet[i >> 6], kAlphabet[i & 63]};
    return t;
}
constexpr auto kPairs = makePairs();

// Decodes the leading groups of four alphabet characters and stops before
// the first group with anything else in it; the count of groups decoded.
size_t fastGroups(const char* text, size_t length, uint8_t* out) {
    const auto* t = reinterpret_cast<const unsigned char*>(text);
    size_t groups = 0;
    size_t i = 0;
    if constexpr (std::endian::native == std::endian::little) {
        // Four bytes stored per group while another group follows, whose
        // first byte overwrites the spare one.
        for (; i + 8 <= length; i += 4) {
            const uint32_t word =
                kPlace0[t[i]] | kPlace1[t[i + 1]] | kPlace2[t[i + 2]] | kPlace3[t[i + 3]];
            if (word > 0xFFFFFF) return groups;
            std::memcpy(out, &word, 4);
            out += 3;
            ++groups;
        }
    }
    for (; i + 4 <= length; i += 4) {
        const int a = kTable[t[i]], b = kTable[t[i + 1]], c = kTable[t[i + 2]],
                  d = kTable[t[i + 3]];
        // Only the markers are negative.
        if ((a | b | c | d) < 0) break;
        const uint32_t bits =
            (uint32_t(a) << 18) | (uint32_t(b) << 12) | (uint32_t(c) << 6) | uint32_t(d);
        out[0] = static_cast<uint8_t>(bits >> 16);
        out[1] = static_cast<uint8_t>(bits >> 8);
        out[2] = static_cast<uint8_t>(bits);
        out += 3;
        ++groups;
    }
    return groups;
}

}  // namespace

bool base64Encode(const uint8_t* data, size_t length, char* out, size_t capacity,
                  size_t* outLength) {
    if (!data || !out || !outLength) return false;
    if (capacity < ((length + 2) / 3) * 4 + 2) return false;
    base64EncodeTo(data, length, out);
    const size_t w = base64Length(length);
    out[w] = '\0';
    *outLength = w;
    return true;
}

void base64EncodeTo(const uint8_t* data, size_t length, char* out) {
    size_t w = 0;
    size_t i = 0;
    for (; i + 3 <= length; i += 3) {
        const uint32_t v = (uint32_t{data[i]} << 16) | (uint32_t{data[i + 1]} << 8) | data[i + 2];
        std::memcpy(out + w, kPairs[v >> 12].data(), 2);
        std::memcpy(out + w + 2, kPairs[v & 0xFFF].data(), 2);
        w += 4;
    }
    const size_t rest = length - i;
    if (rest > 0) {
        const uint32_t v = (uint32_t{data[i]} << 16) | (rest == 2 ? uint32_t{data[i + 1]} << 8 : 0);
        out[w++] = kAlphabet[(v >> 18) & 63];
        out[w++] = kAlphabet[(v >> 12) & 63];
        out[w++] = rest == 2 ? kAlphabet[(v >> 6) & 63] : '=';
        out[w++] = '=';
    }
}

bool base64Decode(const char* text, size_t length, uint8_t* out, size_t capacity,
                  size_t* outLength) {
    if (!text || !out || !outLength) return false;
    if (capacity < ((length + 3) / 4) * 3) return false;
    size_t pos = 0;
    size_t w = 0;
    bool bad = false;
    for (;;) {
        // Most of a text is whole groups of four alphabet characters.
        if (const size_t fast = fastGroups(text + pos, length - pos, out + w); fast > 0) {
            pos += fast * 4;
            w += fast * 3;
            continue;
        }
        int v[4] = {kNone, kNone, kNone, kNone};
        bool allAlphabet = true;
        for (int& place : v) {
            while (pos < length) {
                const int8_t c = kTable[static_cast<unsigned char>(text[pos++])];
                if (c >= 0 || c == kPad) {
                    place = c;
                    break;
                }
                if (c == kBad) bad = true;
            }
            if (place < 0) allAlphabet = false;
        }
        if (allAlphabet) {
            const uint32_t bits = (uint32_t(v[0]) << 18) | (uint32_t(v[1]) << 12) |
                                  (uint32_t(v[2]) << 6) | uint32_t(v[3]);
            out[w++] = static_cast<uint8_t>(bits >> 16);
            out[w++] = static_cast<uint8_t>(bits >> 8);
            out[w++] = static_cast<uint8_t>(bits);
            continue;
        }
        // The padded tail ends the data; anything else in it gives nothing.
        if (v[0] >= 0 && v[1] >= 0 && v[2] >= 0 && v[3] == kPad) {
            const uint32_t bits =
                (uint32_t(v[0]) << 18) | (uint32_t(v[1]) << 12) | (uint32_t(v[2]) << 6);
            out[w++] = static_cast<uint8_t>(bits >> 16);
            out[w++] = static_cast<uint8_t>(bits >> 8);
        } else if (v[0] >= 0 && v[1] >= 0 && v[2] == kPad && v[3] == kPad) {
            const uint32_t bits = (uint32_t(v[0]) << 18) | (uint32_t(v[1]) << 12);
            out[w++] = static_cast<uint8_t>(bits >> 16);
        }
        break;
    }
    *outLength = w;
    return !bad;
}

std::string base64Encode(const uint8_t* data, size_t length) {
    static const uint8_t kNothing = 0;
    std::string out(base64EncodeCapacity(length), '\0');
    size_t written = 0;
    if (!base64Encode(data ? data : &kNothing, length, out.data(), out.size(), &written)) return {};
    out.resize(written);
    return out;
}

bool base64Decode(std::string_view text, std::vector<uint8_t>& out) {
    static const char kNothing = 0;
    out.assign(base64DecodeCapacity(text.size()), 0);
    size_t written = 0;
    const bool ok = base64Decode(text.data() ? text.data() : &kNothing, text.size(), out.data(),
                                 out.size(), &written);
    out.resize(written);
    return ok;
}

bool Base64ExactReader::takeGroup(uint8_t* out, size_t* written) {
    count_ = 0;
    const int8_t* v = pending_;
    if (v[0] < 0 || v[1] < 0) return false;
    const uint32_t bits = (uint32_t(v[0]) << 18) | (uint32_t(v[1]) << 12) |
                          (uint32_t(v[2] < 0 ? 0 : v[2]) << 6) | uint32_t(v[3] < 0 ? 0 : v[3]);
    size_t n = 3;
    if (v[2] == kPad) {
        // "xx==": one byte, and the low four bits of the second character unused.
        if (v[3] != kPad || (bits & 0xFFFF) != 0) return false;
        n = 1;
    } else if (v[3] == kPad) {
        if ((bits & 0xFF) != 0) return false;
        n = 2;
    }
    ended_ = n < 3;
    for (size_t i = 0; i < n; ++i) out[*written + i] = static_cast<uint8_t>(bits >> (16 - 8 * i));
    *written += n;
    return true;
}

bool Base64ExactReader::feed(const char* text, size_t length, uint8_t* out, size_t* written) {
    if (bad_) return false;
    if (!text || !out || !written) return fail();
    *written = 0;
    size_t pos = 0;
    while (pos < length) {
        if (count_ == 0 && !ended_) {
            const size_t fast = fastGroups(text + pos, length - pos, out + *written);
            pos += fast * 4;
            *written += fast * 3;
            if (pos == length) break;
        }
        const int8_t c = kTable[static_cast<unsigned char>(text[pos++])];
        if (c == kSkip) continue;
        // Nothing but blanks may follow the padded group.
        if (c == kBad || ended_) return fail();
        pending_[count_++] = c;
        if (count_ == 4 && !takeGroup(out, written)) return fail();
    }
    return true;
}

}  // namespace Talvek
