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

}  // namespace Talvek
