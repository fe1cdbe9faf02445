#pragma once
// Cutting a UTF-8 text the user typed or the settings hold to a field's limit.

#include <cstddef>
#include <string>
#include <string_view>

namespace Talvek {

// The first maxChars characters (code points) of a UTF-8 text; bytes that are
// not valid UTF-8 count as one character each.
inline std::string limitChars(std::string_view utf8, std::size_t maxChars) {
    std::size_t pos = 0;
    std::size_t chars = 0;
    while (pos < utf8.size() && chars < maxChars) {
        const auto lead = static_cast<unsigned char>(utf8[pos]);
        std::size_t len = lead < 0x80           ? 1
                          : (lead >> 5) == 0x6  ? 2
                          : (lead >> 4) == 0xE  ? 3
                          : (lead >> 3) == 0x1E ? 4
                                                : 1;
        if (pos + len > utf8.size()) len = 1;
        for (std::size_t i = 1; i < len; ++i) {
            if ((static_cast<unsigned char>(utf8[pos + i]) & 0xC0) != 0x80) {
                len = 1;
                break;
            }
        }
        pos += len;
        ++chars;
    }
    return std::string(utf8.substr(0, pos));
}

}  // namespace Talvek
