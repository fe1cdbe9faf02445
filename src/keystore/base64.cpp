#include "keystore/base64.h"

namespace Talvek {

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// The 6-bit value of an alphabet character, or -1.
int valueOf(unsigned char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

bool isSilentlySkipped(char c) {
    return c == '\r' || c == '\n' || c == ' ' || c == '\t';
}

}  // namespace

bool base64Encode(const uint8_t* data, size_t length, char* out, size_t capacity,
                  size_t* outLength) {
    if (!data || !out || !outLength) return false;
    if (capacity < ((length + 2) / 3) * 4 + 2) return false;
    size_t w = 0;
    size_t i = 0;
    for (; i + 3 <= length; i += 3) {
        const uint32_t v = (uint32_t{data[i]} << 16) | (uint32_t{data[i + 1]} << 8) | data[i + 2];
        out[w++] = kAlphabet[(v >> 18) & 63];
        out[w++] = kAlphabet[(v >> 12) & 63];
        out[w++] = kAlphabet[(v >> 6) & 63];
        out[w++] = kAlphabet[v & 63];
    }
    const size_t rest = length - i;
    if (rest > 0) {
        const uint32_t v = (uint32_t{data[i]} << 16) | (rest == 2 ? uint32_t{data[i + 1]} << 8 : 0);
        out[w++] = kAlphabet[(v >> 18) & 63];
        out[w++] = kAlphabet[(v >> 12) & 63];
        out[w++] = rest == 2 ? kAlphabet[(v >> 6) & 63] : '=';
        out[w++] = '=';
    }
    out[w] = '\0';
    *outLength = w;
    return true;
}

bool base64Decode(const char* text, size_t length, uint8_t* out, size_t capacity,
                  size_t* outLength) {
    if (!text || !out || !outLength) return false;
    if (capacity < ((length + 3) / 4) * 3) return false;
    size_t pos = 0;
    size_t w = 0;
    bool bad = false;
    for (;;) {
        char group[4] = {};  // a place the text ran out before stays zero
        bool allAlphabet = true;
        for (char& place : group) {
            while (pos < length) {
                const char c = text[pos++];
                if (valueOf(static_cast<unsigned char>(c)) >= 0 || c == '=') {
                    place = c;
                    break;
                }
                if (!isSilentlySkipped(c)) bad = true;
            }
            if (valueOf(static_cast<unsigned char>(place)) < 0) allAlphabet = false;
        }
        int v[4];
        for (int k = 0; k < 4; ++k) v[k] = valueOf(static_cast<unsigned char>(group[k]));
        if (allAlphabet) {
            const uint32_t bits = (uint32_t(v[0]) << 18) | (uint32_t(v[1]) << 12) |
                                  (uint32_t(v[2]) << 6) | uint32_t(v[3]);
            out[w++] = static_cast<uint8_t>(bits >> 16);
            out[w++] = static_cast<uint8_t>(bits >> 8);
            out[w++] = static_cast<uint8_t>(bits);
            continue;
        }
        // The padded tail ends the data; anything else in it gives nothing.
        if (v[0] >= 0 && v[1] >= 0 && v[2] >= 0 && group[3] == '=') {
            const uint32_t bits =
                (uint32_t(v[0]) << 18) | (uint32_t(v[1]) << 12) | (uint32_t(v[2]) << 6);
            out[w++] = static_cast<uint8_t>(bits >> 16);
            out[w++] = static_cast<uint8_t>(bits >> 8);
        } else if (v[0] >= 0 && v[1] >= 0 && group[2] == '=' && group[3] == '=') {
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

}  // namespace Talvek
