#pragma once
// The server's log: one line per request, fields a reader can trust.

#include <cstdint>
#include <iosfwd>
#include <mutex>
#include <string>

namespace Talvek {

// A name from the wire as it may appear in a log line: decoded from
// Windows-1251, "-" when empty; control characters, every space but the
// ASCII one (0xA0) and the backslash itself are written as \xNN of the byte,
// so that nothing can forge another line or hide in a field.
std::string logField(const std::string& cp1251Name);

class RequestLog {
public:
    // null: no log.
    explicit RequestLog(std::ostream* out) : out_(out) {}

    // "TIME peer=... admin=... request=... interface=... status=..."; code 0
    // is a connection that never said what it wanted.
    void write(const std::string& peer, const std::string& adminName, uint8_t code,
               const std::string& interfaceName, const std::string& status);

private:
    std::ostream* out_;
    std::mutex mutex_;
};

}  // namespace Talvek
