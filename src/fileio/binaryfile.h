#pragma once
// A shim: the file object in the shape its description gives it (open with
// access, disposition and sharing; read and write through a buffer, a count
// and an out-count of bytes moved; a size split in two 32-bit words). Kept
// for that described contract only. Our own code reads through FileReader
// and writes through FileWriter, which this forwards to.

#include <cstdint>
#include <string>

#include "fileio/filereader.h"
#include "fileio/filewriter.h"

namespace Talvek {

class BinaryFile {
public:
    enum Access : unsigned { Read = 1, Write = 2, ReadWrite = 3 };
    enum class Disposition { OpenExisting, CreateAlways };
    enum class Share { None, Read };
    using Permissions = FileWriter::Permissions;

    BinaryFile() = default;
    BinaryFile(const BinaryFile&) = delete;
    BinaryFile& operator=(const BinaryFile&) = delete;

    // OpenExisting reads the file whole, locked shared or exclusively as
    // share says; CreateAlways writes a new file that replaces the old one
    // at close(). False when already open.
    bool open(const std::string& path, unsigned access, Disposition disposition, Share share,
              Permissions permissions = Permissions::OwnerOnly);
    // Read and write access, created anew or truncated, not shared.
    bool create(const std::string& path, Permissions permissions = Permissions::OwnerOnly) {
        return open(path, ReadWrite, Disposition::CreateAlways, Share::None, permissions);
    }
    // Read and write access, must exist, not shared: how key files are read.
    bool openExisting(const std::string& path) {
        return open(path, ReadWrite, Disposition::OpenExisting, Share::None);
    }
    // True when closed; for a created file false when its content could not
    // be stored.
    bool close();
    bool isOpen() const { return reader_.isOpen() || writer_.isOpen(); }

    // The out-count is set to 0 first; false when not open or without a
    // buffer; true at once for a count of 0. A short read at the end of the
    // file succeeds with fewer bytes.
    bool read(void* buffer, uint32_t count, uint32_t* moved = nullptr);
    bool write(const void* buffer, uint32_t count, uint32_t* moved = nullptr);
    // Size of the file being read, or bytes written so far; 0 when closed.
    uint32_t size(uint32_t* high = nullptr) const;

private:
    FileReader reader_;
    FileWriter writer_;
};

}  // namespace Talvek
