#include "cryptoserver/serverlog.h"

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

}  // namespace

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
                       const std::string& interfaceName, const std::string& status) {
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
          << " interface=" << logField(interfaceName) << " status=" << status << std::endl;
}

}  // namespace Talvek
