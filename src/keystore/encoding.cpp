#include "keystore/encoding.h"

#include <cstring>
#include <vector>

namespace Talvek {

bool writeMagic(BinaryFile& file, const char* magic) {
    return file.write(magic, 5);
}

bool readMagic(BinaryFile& file, const char* magic, int8_t* version) {
    char buffer[5] = {0, 0, 0, 0, 0};
    file.read(buffer, 5);
    if (version) {
        if (std::memcmp(buffer, magic, 4) != 0) return false;
        *version = static_cast<int8_t>(buffer[4] - '0');
        return true;
    }
    return std::memcmp(buffer, magic, 5) == 0;
}

bool writeU8(BinaryFile& file, uint8_t value) {
    return file.write(&value, 1);
}

bool writeU32(BinaryFile& file, uint32_t value) {
    const uint8_t bytes[4] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                              static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
    return file.write(bytes, 4);
}

uint8_t readU8(BinaryFile& file) {
    uint8_t value = 0;
    file.read(&value, 1);
    return value;
}

uint32_t readU32(BinaryFile& file) {
    uint8_t b[4] = {0, 0, 0, 0};
    file.read(b, 4);
    return uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 | uint32_t(b[3]) << 24;
}

bool writeString(BinaryFile& file, const std::string& text) {
    const bool a = writeU32(file, static_cast<uint32_t>(text.size()));
    const bool b = file.write(text.data(), static_cast<uint32_t>(text.size()));
    return a && b;
}

bool readString(BinaryFile& file, std::string& text) {
    const uint32_t length = readU32(file);
    if (length == 0) return false;
    const uint8_t* bytes = file.take(length);
    if (!bytes) {
        // A length beyond the end of the file is never allocated.
        file.skipToEnd();
        return false;
    }
    const void* zero = std::memchr(bytes, 0, length);
    const size_t n = zero ? static_cast<size_t>(static_cast<const uint8_t*>(zero) - bytes) : length;
    text.assign(reinterpret_cast<const char*>(bytes), n);
    return true;
}

bool writeBigNum(BinaryFile& file, const BIGNUM* number) {
    if (!number) return false;
    const int length = BN_num_bytes(number);
    if (length <= 0) return false;
    SecretBytes bytes(static_cast<size_t>(length));
    const int n = BN_bn2bin(number, bytes.data());
    if (n <= 0) return false;
    const bool a = writeU32(file, static_cast<uint32_t>(length));
    const bool b = file.write(bytes.data(), static_cast<uint32_t>(n));
    return a && b;
}

bool readBigNum(BinaryFile& file, BignumPtr& slot) {
    const uint32_t length = readU32(file);
    if (length == 0) return false;
    const uint8_t* bytes = file.take(length);
    if (!bytes || length > static_cast<uint32_t>(INT32_MAX)) {
        file.skipToEnd();
        return false;
    }
    BIGNUM* result = BN_bin2bn(bytes, static_cast<int>(length), slot.get());
    if (!result) return false;
    if (!slot) slot.reset(result);
    return true;
}

void skipBigNum(BinaryFile& file) {
    const uint32_t length = readU32(file);
    if (length != 0 && !file.take(length)) file.skipToEnd();
}

std::string bigNumHex(const BIGNUM* number) {
    if (!number) return {};
    OpensslStringPtr hex(BN_bn2hex(number));
    return hex ? std::string(hex.get()) : std::string();
}

bool writeHexLine(BinaryFile& file, const BIGNUM* number) {
    if (!number) return false;
    // Written from OpenSSL's own text, which is wiped when freed: the line
    // may be a private exponent, and a copy would outlive it unwiped.
    OpensslStringPtr hex(BN_bn2hex(number));
    if (!hex || !*hex) return false;
    const bool a = file.write(hex.get(), static_cast<uint32_t>(std::strlen(hex.get())));
    return a && file.write("\n", 1);
}

}  // namespace Talvek
