#pragma once
// Key names and every text inside key files are Windows-1251 bytes; the user
// interface and the command line speak UTF-8. These two cross the border.

#include <string>
#include <string_view>

namespace Talvek {

// Every byte has a meaning except 0x98, which becomes U+FFFD.
std::string cp1251ToUtf8(std::string_view bytes);
// False when the text is not valid UTF-8 or holds a character that
// Windows-1251 cannot store; out is then left empty.
bool utf8ToCp1251(std::string_view utf8, std::string& out);

// A name read from a file as it may be printed to a terminal: UTF-8, with
// every control character (and the backslash that would make the escape
// ambiguous) written as \xNN, so that a hostile name cannot move the cursor,
// retitle the window or forge a line of output.
std::string cp1251ToPrintable(std::string_view bytes);
// Appends one byte as that \xNN escape.
void appendByteEscape(std::string& out, unsigned char byte);

// The bytes with every letter in Unicode's lower case (А and а, Ё and ё,
// Ґ and ґ, Z and z fold alike); other bytes stay.
std::string foldCaseCp1251(std::string_view bytes);

// A search in key names: the names (Windows-1251) that contain the text
// typed (UTF-8), ignoring case. An empty text is in every name.
class NameFilter {
public:
    explicit NameFilter(std::string_view utf8 = {});
    bool empty() const { return folded_.empty() && !matchesNone_; }
    bool matches(std::string_view cp1251Name) const;
    // For a name already passed through foldCaseCp1251.
    bool containsFolded(std::string_view foldedName) const;

private:
    std::string folded_;
    bool matchesNone_ = false;
};

}  // namespace Talvek
