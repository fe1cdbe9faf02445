#pragma once
// Settings held in memory, for tests of the controllers. A name holds one
// value of one kind, as in the real store; a text reads as a number when it is
// plain decimal digits, a number reads as text in decimal; a text too long for
// the real store reads as absent here too.

#include <cstdint>
#include <map>
#include <string>

#include "gui/settingsstore.h"

namespace TestSupport {

class MemorySettingsStore : public Talvek::SettingsStore {
public:
    bool readText(const std::string& name, std::string& out) override {
        out.clear();
        std::string text;
        if (auto t = texts.find(name); t != texts.end()) {
            text = t->second;
        } else if (auto n = numbers.find(name); n != numbers.end()) {
            text = std::to_string(n->second);
        } else {
            return false;
        }
        if (Talvek::storedLength(text) > Talvek::SettingsTextLimit) return false;
        out = std::move(text);
        return true;
    }
    bool writeText(const std::string& name, const std::string& text) override {
        numbers.erase(name);
        texts[name] = text;
        return true;
    }
    uint32_t readNumber(const std::string& name) override {
        if (auto n = numbers.find(name); n != numbers.end()) return n->second;
        uint32_t value = 0;
        if (auto t = texts.find(name);
            t != texts.end() && Talvek::parseStoredNumber(t->second, value))
            return value;
        return 0;
    }
    bool writeNumber(const std::string& name, uint32_t value) override {
        texts.erase(name);
        numbers[name] = value;
        return true;
    }

    std::map<std::string, std::string> texts;
    std::map<std::string, uint32_t> numbers;
};

}  // namespace TestSupport
