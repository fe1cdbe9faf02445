#include "support/recordbytes.h"

#include <cstring>
#include <stdexcept>

#include "support/tempdir.h"

namespace TestSupport {

RecordBytes& RecordBytes::magic(const char* fiveBytes) {
    bytes_.insert(bytes_.end(), fiveBytes, fiveBytes + 5);
    return *this;
}

RecordBytes& RecordBytes::u8(uint8_t value) {
    bytes_.push_back(value);
    return *this;
}

RecordBytes& RecordBytes::u32(uint32_t value) {
    for (int i = 0; i < 4; ++i) bytes_.push_back(static_cast<uint8_t>(value >> (8 * i)));
    return *this;
}

RecordBytes& RecordBytes::text(const std::string& bytes) {
    u32(static_cast<uint32_t>(bytes.size()));
    return raw(bytes);
}

RecordBytes& RecordBytes::number(const BIGNUM* value) {
    std::vector<uint8_t> magnitude(static_cast<size_t>(BN_num_bytes(value)));
    BN_bn2bin(value, magnitude.data());
    u32(static_cast<uint32_t>(magnitude.size()));
    return raw(magnitude);
}

RecordBytes& RecordBytes::raw(const std::vector<uint8_t>& bytes) {
    bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
    return *this;
}

RecordBytes& RecordBytes::raw(const std::string& bytes) {
    bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
    return *this;
}

RecordBytes& RecordBytes::publicKey(const Talvek::RsaKeyRecord& key) {
    return magic("KRSK0").u32(1).text(key.name()).number(key.n()).number(key.e());
}

RecordBytes& RecordBytes::privateKey(const Talvek::RsaKeyRecord& key) {
    magic("KRSK0").u32(2).text(key.name());
    for (const BIGNUM* b :
         {key.n(), key.e(), key.d(), key.p(), key.q(), key.dmp1(), key.dmq1(), key.iqmp()}) {
        number(b);
    }
    return *this;
}

std::vector<uint8_t> bytesWrittenBy(const std::function<bool(Talvek::FileWriter&)>& writer,
                                    bool* result) {
    TempDir dir;
    const std::string path = dir.file("written");
    Talvek::FileWriter file;
    if (!file.create(path)) throw std::runtime_error("cannot create " + path);
    const bool ok = writer(file);
    if (result) *result = ok;
    if (!file.close()) throw std::runtime_error("cannot save " + path);
    return readBytes(path);
}

bool readFromBytes(const std::vector<uint8_t>& bytes,
                   const std::function<bool(Talvek::FileReader&)>& reader, uint64_t* bytesLeft) {
    TempDir dir;
    const std::string path = dir.file("read");
    writeBytes(path, bytes);
    Talvek::FileReader file;
    if (!file.openExisting(path)) throw std::runtime_error("cannot open " + path);
    const bool ok = reader(file);
    if (bytesLeft) *bytesLeft = file.remaining();
    return ok;
}

}  // namespace TestSupport
