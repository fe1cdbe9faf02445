#include "keystore/encoding.h"

#include <cstring>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace Talvek {

bool writeMagic(FileWriter& file, const char* magic) {
    return file.write(std::string_view(magic, 5));
}

bool readMagic(FileReader& file, const char* magic, int8_t* version) {
    uint8_t buffer[5];
    file.readOrZero(buffer);
    if (version) {
        if (std::memcmp(buffer, magic, 4) != 0) return false;
        *version = static_cast<int8_t>(buffer[4] - '0');
        return true;
    }
    return std::memcmp(buffer, magic, 5) == 0;
}

bool writeU8(FileWriter& file, uint8_t value) {
    return file.write(std::span<const uint8_t>(&value, 1));
}

bool writeU32(FileWriter& file, uint32_t value) {
    const uint8_t bytes[4] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                              static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
    return file.write(bytes);
}

uint8_t readU8OrZero(FileReader& file) {
    uint8_t value[1];
    file.readOrZero(value);
    return value[0];
}

uint32_t readU32OrZero(FileReader& file) {
    uint8_t b[4];
    file.readOrZero(b);
    return uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 | uint32_t(b[3]) << 24;
}

bool writeString(FileWriter& file, const std::string& text) {
    const bool a = writeU32(file, static_cast<uint32_t>(text.size()));
    const bool b = file.write(std::string_view(text).substr(0, UINT32_MAX));
    return a && b;
}

bool readString(FileReader& file, std::string& text) {
    const uint32_t length = readU32OrZero(file);
    if (length == 0) return false;
    const auto bytes = file.take(length);
    if (!bytes) {
        // A length beyond the end of the file is never allocated.
        file.skipToEnd();
        return false;
    }
    const uint8_t* p = bytes->data();
    const void* zero = std::memchr(p, 0, length);
    const size_t n = zero ? static_cast<size_t>(static_cast<const uint8_t*>(zero) - p) : length;
    text.assign(reinterpret_cast<const char*>(p), n);
    return true;
}

bool writeBigNum(FileWriter& file, const BIGNUM* number) {
    if (!number) return false;
    const int length = BN_num_bytes(number);
    if (length <= 0) return false;
    SecretBytes bytes(static_cast<size_t>(length));
    const int n = BN_bn2bin(number, bytes.data());
    if (n <= 0) return false;
    const bool a = writeU32(file, static_cast<uint32_t>(length));
    const bool b = file.write(std::span<const uint8_t>(bytes.data(), static_cast<size_t>(n)));
    return a && b;
}

bool readBigNum(FileReader& file, BignumPtr& slot) {
    const uint32_t length = readU32OrZero(file);
    if (length == 0) return false;
    const auto bytes =
        length <= static_cast<uint32_t>(INT32_MAX) ? file.take(length) : std::nullopt;
    if (!bytes) {
        file.skipToEnd();
        return false;
    }
    BIGNUM* result = BN_bin2bn(bytes->data(), static_cast<int>(length), slot.get());
    if (!result) return false;
    if (!slot) slot.reset(result);
    return true;
}

void skipBigNum(FileReader& file) {
    const uint32_t length = readU32OrZero(file);
    if (length != 0 && !file.take(length)) file.skipToEnd();
}

std::string bigNumHex(const BIGNUM* number) {
    if (!number) return {};
    OpensslStringPtr hex(BN_bn2hex(number));
    return hex ? std::string(hex.get()) : std::string();
}

bool writeHexLine(FileWriter& file, const BIGNUM* number) {
    if (!number) return false;
    // Written from OpenSSL's own text, which is wiped when freed: the line
    // may be a private exponent, and a copy would outlive it unwiped.
    OpensslStringPtr hex(BN_bn2hex(number));
    if (!hex || !*hex) return false;
    const bool a = file.write(std::string_view(hex.get()));
    return a && file.write(std::string_view("\n"));
}

}  // namespace Talvek
