#include "fileio/binaryfile.h"

#include <span>

namespace Talvek {

bool BinaryFile::open(const std::string& path, unsigned access, Disposition disposition,
                      Share share, Permissions permissions) {
    if (isOpen() || (access & ReadWrite) == 0) return false;
    if (disposition == Disposition::CreateAlways) return writer_.create(path, permissions).ok();
    return reader_.open(path,
                        share == Share::None ? FileLock::Kind::Exclusive : FileLock::Kind::Shared,
                        (access & Write) != 0)
        .ok();
}

bool BinaryFile::close() {
    reader_.close();
    return writer_.close().ok();
}

bool BinaryFile::read(void* buffer, uint32_t count, uint32_t* moved) {
    if (moved) *moved = 0;
    if (!isOpen() || !buffer) return false;
    if (count == 0) return true;
    if (!reader_.isOpen()) return false;
    const uint64_t n = std::min<uint64_t>(count, reader_.remaining());
    reader_.read({static_cast<uint8_t*>(buffer), static_cast<size_t>(n)});
    if (moved) *moved = static_cast<uint32_t>(n);
    return true;
}

bool BinaryFile::write(const void* buffer, uint32_t count, uint32_t* moved) {
    if (moved) *moved = 0;
    if (!isOpen() || !buffer) return false;
    if (count == 0) return true;
    if (!writer_.write({static_cast<const uint8_t*>(buffer), count})) return false;
    if (moved) *moved = count;
    return true;
}

uint32_t BinaryFile::size(uint32_t* high) const {
    const uint64_t s = reader_.isOpen() ? reader_.size() : writer_.isOpen() ? writer_.size() : 0;
    if (high) *high = static_cast<uint32_t>(s >> 32);
    return static_cast<uint32_t>(s & 0xFFFFFFFFu);
}

}  // namespace Talvek
