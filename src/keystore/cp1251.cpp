#include "keystore/cp1251.h"

#include <array>
#include <cstdint>
#include <unordered_map>

namespace Talvek {

namespace {

// Unicode code points of the bytes 0x80 to 0xFF.
constexpr std::array<uint16_t, 128> kHigh = {
    0x0402, 0x0403, 0x201A, 0x0453, 0x201E, 0x2026, 0x2020, 0x2021, 0x20AC, 0x2030, 0x0409, 0x2039,
    0x040A, 0x040C, 0x040B, 0x040F, 0x0452, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0xFFFD, 0x2122, 0x0459, 0x203A, 0x045A, 0x045C, 0x045B, 0x045F, 0x00A0, 0x040E, 0x045E, 0x0408,
    0x00A4, 0x0490, 0x00A6, 0x00A7, 0x0401, 0x00A9, 0x0404, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x0407,
    0x00B0, 0x00B1, 0x0406, 0x0456, 0x0491, 0x00B5, 0x00B6, 0x00B7, 0x0451, 0x2116, 0x0454, 0x00BB,
    0x0458, 0x0405, 0x0455, 0x0457, 0x0410, 0x0411, 0x0412, 0x0413, 0x0414, 0x0415, 0x0416, 0x0417,
    0x0418, 0x0419, 0x041A, 0x041B, 0x041C, 0x041D, 0x041E, 0x041F, 0x0420, 0x0421, 0x0422, 0x0423,
    0x0424, 0x0425, 0x0426, 0x0427, 0x0428, 0x0429, 0x042A, 0x042B, 0x042C, 0x042D, 0x042E, 0x042F,
    0x0430, 0x0431, 0x0432, 0x0433, 0x0434, 0x0435, 0x0436, 0x0437, 0x0438, 0x0439, 0x043A, 0x043B,
    0x043C, 0x043D, 0x043E, 0x043F, 0x0440, 0x0441, 0x0442, 0x0443, 0x0444, 0x0445, 0x0446, 0x0447,
    0x0448, 0x0449, 0x044A, 0x044B, 0x044C, 0x044D, 0x044E, 0x044F,
};

void appendUtf8(std::string& out, uint32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

const std::unordered_map<uint32_t, char>& reverseTable() {
    static const std::unordered_map<uint32_t, char> table = [] {
        std::unordered_map<uint32_t, char> t;
        for (size_t i = 0; i < kHigh.size(); ++i) {
            if (kHigh[i] != 0xFFFD) t.emplace(kHigh[i], static_cast<char>(0x80 + i));
        }
        return t;
    }();
    return table;
}

}  // namespace

std::string cp1251ToUtf8(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size() * 2);
    for (const char ch : bytes) {
        const auto b = static_cast<uint8_t>(ch);
        appendUtf8(out, b < 0x80 ? b : kHigh[b - 0x80]);
    }
    return out;
}

bool utf8ToCp1251(std::string_view utf8, std::string& out) {
    out.clear();
    std::string result;
    result.reserve(utf8.size());
    size_t i = 0;
    while (i < utf8.size()) {
        const auto b0 = static_cast<uint8_t>(utf8[i]);
        uint32_t c = 0;
        size_t extra = 0;
        if (b0 < 0x80) {
            c = b0;
        } else if ((b0 & 0xE0) == 0xC0) {
            c = b0 & 0x1F;
            extra = 1;
        } else if ((b0 & 0xF0) == 0xE0) {
            c = b0 & 0x0F;
            extra = 2;
        } else if ((b0 & 0xF8) == 0xF0) {
            c = b0 & 0x07;
            extra = 3;
        } else {
            return false;
        }
        if (i + extra >= utf8.size() && extra > 0) return false;
        for (size_t k = 1; k <= extra; ++k) {
            const auto b = static_cast<uint8_t>(utf8[i + k]);
            if ((b & 0xC0) != 0x80) return false;
            c = (c << 6) | (b & 0x3F);
        }
        // Overlong forms and surrogates are not text.
        if ((extra == 1 && c < 0x80) || (extra == 2 && c < 0x800) || (extra == 3 && c < 0x10000) ||
            (c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF) {
            return false;
        }
        i += extra + 1;
        if (c < 0x80) {
            result += static_cast<char>(c);
            continue;
        }
        const auto& table = reverseTable();
        const auto it = table.find(c);
        if (it == table.end()) return false;
        result += it->second;
    }
    out = std::move(result);
    return true;
}


namespace {

// Unicode's simple lower case of the letters Windows-1251 holds: Latin A-Z,
// Cyrillic А-Я, Ѐ-Џ and Ґ. Every other character is its own.
uint32_t lowerCase(uint32_t c) {
    if ((c >= 'A' && c <= 'Z') || (c >= 0x0410 && c <= 0x042F)) return c + 0x20;
    if (c >= 0x0400 && c <= 0x040F) return c + 0x50;
    if (c == 0x0490) return 0x0491;
    return c;
}

// Each byte's folded byte: decoded, lowered, encoded again.
const std::array<char, 256>& foldTable() {
    static const std::array<char, 256> table = [] {
        std::array<char, 256> t{};
        for (size_t b = 0; b < 256; ++b) {
            const uint32_t c = b < 0x80 ? static_cast<uint32_t>(b) : kHigh[b - 0x80];
            const uint32_t lower = lowerCase(c);
            t[b] = static_cast<char>(b);
            if (lower == c) continue;
            if (lower < 0x80) {
                t[b] = static_cast<char>(lower);
            } else if (const auto it = reverseTable().find(lower); it != reverseTable().end()) {
                t[b] = it->second;
            }
        }
        return t;
    }();
    return table;
}

}  // namespace

std::string foldCaseCp1251(std::string_view bytes) {
    const auto& table = foldTable();
    std::string out(bytes);
    for (char& ch : out) ch = table[static_cast<uint8_t>(ch)];
    return out;
}

NameFilter::NameFilter(std::string_view utf8) {
    std::string cp1251;
    // A text Windows-1251 cannot hold is in no name.
    if (!utf8ToCp1251(utf8, cp1251)) {
        matchesNone_ = true;
        return;
    }
    folded_ = foldCaseCp1251(cp1251);
}

bool NameFilter::matches(std::string_view cp1251Name) const {
    if (matchesNone_) return false;
    if (folded_.empty()) return true;
    return containsFolded(foldCaseCp1251(cp1251Name));
}

bool NameFilter::containsFolded(std::string_view foldedName) const {
    if (matchesNone_) return false;
    return foldedName.find(folded_) != std::string_view::npos;
}

void appendByteEscape(std::string& out, unsigned char byte) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    out += "\\x";
    out += kHex[byte >> 4];
    out += kHex[byte & 0xF];
}

std::string cp1251ToPrintable(std::string_view bytes) {
    std::string safe;
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F || byte == '\\') {
            appendByteEscape(safe, byte);
        } else {
            safe += c;
        }
    }
    return cp1251ToUtf8(safe);
}

}  // namespace Talvek
