#pragma once
// The server's log: one line per request, fields a reader can trust.

#include <cstdint>
#include <iosfwd>
#include <mutex>
#include <string>

#include "fileio/fileresult.h"

namespace Talvek {

// A name from the wire as it may appear in a log line: decoded from
// Windows-1251, "-" when empty; control characters, every space but the
// ASCII one (0xA0) and the backslash itself are written as \xNN of the byte,
// so that nothing can forge another line or hide in a field.
std::string logField(const std::string& cp1251Name);

// Why a file operation of the server failed, for a log line: "FILE: cause"
// in the server's own words (the system's text for an errno). The file's
// name, UTF-8 as the file system has it, carries no space at all: every
// space, control character and backslash in it is written as \xNN of the
// byte, so that an interface name cannot make it read as another field.
// Empty when no file is to blame.
std::string logCause(const FileFailure& failure);

class RequestLog {
public:
    // null: no log.
    explicit RequestLog(std::ostream* out) : out_(out) {}

    // "TIME peer=... admin=... request=... interface=... status=...", and
    // " cause=..." (logCause) to the end of the line when the server failed
    // its part on a file; code 0 is a connection that never said what it
    // wanted.
    void write(const std::string& peer, const std::string& adminName, uint8_t code,
               const std::string& interfaceName, const std::string& status,
               const std::string& cause = {});

private:
    std::ostream* out_;
    std::mutex mutex_;
};

}  // namespace Talvek
