#pragma once
// Hand-built key file bytes, written from the record layouts independently of
// the key store's own writers, for layout tests and damaged or hostile files.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <openssl/bn.h>

#include "keystore/rsakeyrecord.h"

namespace TestSupport {

class RecordBytes {
public:
    RecordBytes& magic(const char* fiveBytes);
    RecordBytes& u8(uint8_t value);
    RecordBytes& u32(uint32_t value);
    // u32 length and the bytes, no terminator.
    RecordBytes& text(const std::string& bytes);
    // u32 length and the big-endian magnitude without leading zeros.
    RecordBytes& number(const BIGNUM* value);
    RecordBytes& raw(const std::vector<uint8_t>& bytes);
    RecordBytes& raw(const std::string& bytes);
    // A "KRSK0" record: kind 1 with n and e, kind 2 with all eight numbers.
    RecordBytes& publicKey(const Talvek::RsaKeyRecord& key);
    RecordBytes& privateKey(const Talvek::RsaKeyRecord& key);

    const std::vector<uint8_t>& bytes() const { return bytes_; }
    size_t size() const { return bytes_.size(); }

private:
    std::vector<uint8_t> bytes_;
};

// The bytes a writer puts into a fresh key file (closed, so saved); the
// writer's own result goes to *result when given.
std::vector<uint8_t> bytesWrittenBy(const std::function<bool(Talvek::FileWriter&)>& writer,
                                    bool* result = nullptr);
// Opens the given bytes as a key file and hands it to the reader; returns the
// reader's result. bytesLeft receives the number of bytes the reader left.
bool readFromBytes(const std::vector<uint8_t>& bytes,
                   const std::function<bool(Talvek::FileReader&)>& reader,
                   uint64_t* bytesLeft = nullptr);

}  // namespace TestSupport
