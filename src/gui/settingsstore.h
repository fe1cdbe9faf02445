#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace Talvek {

// The per-user settings: named texts and numbers under one key. Texts are
// UTF-8 here (the user interface's encoding); a text whose stored form is
// longer than 255 bytes reads as absent. A value that cannot be read counts
// as absent; nothing here shows a message or throws.
class SettingsStore {
public:
    virtual ~SettingsStore() = default;
    // Empties out first; false (out empty) when the value is missing or too long.
    // Never creates anything.
    virtual bool readText(const std::string& name, std::string& out) = 0;
    virtual bool writeText(const std::string& name, const std::string& text) = 0;
    // 0 when the value is missing.
    virtual uint32_t readNumber(const std::string& name) = 0;
    virtual bool writeNumber(const std::string& name, uint32_t value) = 0;
};

// QSettings in the native format, organisation "Brenlow", application
// "TalvekConfig": the registry key on Windows, ~/.config/Brenlow/TalvekConfig.conf
// on Linux (XDG_CONFIG_HOME honoured).
class QtSettingsStore : public SettingsStore {
public:
    bool readText(const std::string& name, std::string& out) override;
    bool writeText(const std::string& name, const std::string& text) override;
    uint32_t readNumber(const std::string& name) override;
    bool writeNumber(const std::string& name, uint32_t value) override;
};

// Longest text, in bytes of its stored form, that still reads back; a longer
// one reads as absent.
inline constexpr std::size_t SettingsTextLimit = 255;

// The bytes a text takes in the store: Windows-1251 where it can be encoded,
// else its UTF-8 bytes as they are.
std::size_t storedLength(const std::string& utf8);

// A number kept as text, as a number written by us (or by hand) looks in a
// text-based store: plain decimal digits only, within 32 bits.
bool parseStoredNumber(const std::string& text, uint32_t& value);

// How a text such as "defport" is read back as a number: leading blanks and
// one sign are skipped, reading stops at the first character that is not a
// digit, no digits give 0; a value beyond the int range saturates.
int parseDecimal(const std::string& text);

}  // namespace Talvek
