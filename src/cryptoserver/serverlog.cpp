#include "cryptoserver/serverlog.h"

#include <cstring>
#include <ctime>
#include <ostream>

#include "cryptoclient/protocol.h"
#include "keystore/cp1251.h"

namespace Talvek {

namespace {

const char* requestName(uint8_t code) {
    switch (code) {
        case ServerCode::ListInterfaces:
            return "list";
        case ServerCode::FetchKeyBase:
            return "fetch";
        case ServerCode::UploadKeyBase:
            return "upload";
        default:
            return nullptr;
    }
}

// The system's text for an errno (the C locale's: the server sets none).
std::string systemText(int error) {
    char buffer[256];
    return strerror_r(error, buffer, sizeof buffer);
}

// A code point that shows as a space or nothing, or steers the line.
bool hidden(uint32_t cp) {
    return cp < 0x21 || (cp >= 0x7F && cp <= 0xA0) || cp == 0x1680 ||
           (cp >= 0x2000 && cp <= 0x200F) || (cp >= 0x2028 && cp <= 0x202F) ||
           (cp >= 0x205F && cp <= 0x206F) || cp == 0x3000 || cp == 0xFEFF;
}

// A file name in UTF-8 with every hidden code point, every byte of a broken
// sequence and the backslash written as \xNN of its bytes.
std::string logFileName(const std::string& name) {
    std::string out;
    for (size_t at = 0; at < name.size();) {
        const auto lead = static_cast<unsigned char>(name[at]);
        const size_t length = lead < 0x80           ? 1
                              : (lead >> 5) == 0x6  ? 2
                              : (lead >> 4) == 0xE  ? 3
                              : (lead >> 3) == 0x1E ? 4
                                                    : 0;
        uint32_t cp = length == 1   ? lead
                      : length == 2 ? lead & 0x1F
                      : length == 3 ? lead & 0x0F
                                    : lead & 0x07;
        bool whole = length > 0 && at + length <= name.size();
        for (size_t i = 1; whole && i < length; ++i) {
            const auto next = static_cast<unsigned char>(name[at + i]);
            whole = (next & 0xC0) == 0x80;
            cp = (cp << 6) | (next & 0x3F);
        }
        if (!whole) {
            appendByteEscape(out, lead);
            ++at;
            continue;
        }
        if (hidden(cp) || cp == '\\') {
            for (size_t i = 0; i < length; ++i)
                appendByteEscape(out, static_cast<unsigned char>(name[at + i]));
        } else {
            out.append(name, at, length);
        }
        at += length;
    }
    return out;
}

}  // namespace

std::string logCause(const FileFailure& failure) {
    std::string why;
    switch (failure.fault) {
        case FileFault::None:
            return {};
        case FileFault::System:
            why = systemText(failure.error);
            break;
        case FileFault::Locked:
            why = "held by another program";
            break;
        case FileFault::ReadOnly:
            why = "read-only (no write permission)";
            break;
        case FileFault::NotRegular:
            why = "not a regular file";
            break;
        case FileFault::TooLarge:
            why = "too large for a key base";
            break;
        case FileFault::NotAKeyFile:
            why = "not a key base";
            break;
        case FileFault::NoChannel:
            why = "holds no channel";
            break;
        case FileFault::TwoRoles:
            why = "named for two roles";
            break;
        case FileFault::NotReadWhole:
            why = std::to_string(failure.count) + " bytes after the last node were not read";
            break;
    }
    return logFileName(failure.path) + ": " + why;
}

std::string logField(const std::string& cp1251Name) {
    if (cp1251Name.empty()) return "-";
    // Escaped byte by byte before decoding, so that what is shown as \xNN
    // is the byte that came.
    std::string out;
    std::string plain;
    const auto flush = [&] {
        out += cp1251ToUtf8(plain);
        plain.clear();
    };
    for (char c : cp1251Name) {
        const auto byte = static_cast<unsigned char>(c);
        // Control characters, the no-break space and the one byte the code
        // page leaves undefined could forge or hide a field.
        if (byte < 0x20 || byte == 0x7F || byte == 0xA0 || byte == 0x98 || c == '\\') {
            flush();
            appendByteEscape(out, byte);
        } else {
            plain += c;
        }
    }
    flush();
    return out;
}

void RequestLog::write(const std::string& peer, const std::string& adminName, uint8_t code,
                       const std::string& interfaceName, const std::string& status,
                       const std::string& cause) {
    if (!out_) return;
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&now, &utc);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%SZ", &utc);
    const char* request = requestName(code);
    std::lock_guard lock(mutex_);
    *out_ << stamp << " peer=" << (peer.empty() ? "-" : peer) << " admin=" << logField(adminName)
          << " request="
          << (request ? request
              : code  ? std::to_string(code)
                      : std::string("-"))
          << " interface=" << logField(interfaceName) << " status=" << status;
    if (!cause.empty()) *out_ << " cause=" << cause;
    *out_ << std::endl;
}

}  // namespace Talvek
