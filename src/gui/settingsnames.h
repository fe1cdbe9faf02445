#pragma once
// The names of the per-user settings values, as other installations of the
// program have always stored them ("sing" included). Kinds: T text, N number.

namespace Talvek::SettingNames {

inline constexpr const char* DefaultDir = "defaultDir";  // T: the last chosen file's folder
// The key creation wizard.
inline constexpr const char* KeyDefBase = "keyDefBase";              // T: the base file
inline constexpr const char* KeyDefServerName = "keyDefServerName";  // T: the server key name
inline constexpr const char* Crypt = "crypt";                        // N: 0/1
inline constexpr const char* Sign = "sing";                          // N: 0/1
inline constexpr const char* Java = "java";                          // N: 0/1
inline constexpr const char* CryptSize = "cryptSize";                // N: bits
inline constexpr const char* SignSize = "signSize";                  // N: bits
// The crypto-server connection wizard.
inline constexpr const char* Address = "defaddr";   // T
inline constexpr const char* Port = "defport";      // T: decimal digits
inline constexpr const char* Server = "defserver";  // T: the server key name
inline constexpr const char* Admin = "defadmin";    // T: the administrator key name
inline constexpr const char* Base = "defbase";      // T: the administrator's key base
// N: 1 for the administrator edition.
inline constexpr const char* AdminMode = "adminMode";

}  // namespace Talvek::SettingNames
