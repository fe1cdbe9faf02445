#include "cli/input.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/crypto.h>

#include <cerrno>
#include <cstring>
#include <istream>
#include <memory>
#include <ostream>
#include <vector>

#include "cli/keyexchange.h"
#include "fileio/filereader.h"
#include "fileio/uniquefd.h"

namespace Talvek::Cli {

namespace {

// Input arrives in blocks of plain memory, wiped when released, and is
// joined once its size is known. Growing one SecretBytes instead would
// construct and copy its bytes one by one, which in an unoptimised build
// costs seconds for input near the cap.
constexpr size_t kBlock = 1 << 20;

struct Block {
    std::unique_ptr<uint8_t[]> bytes{new uint8_t[kBlock]};
    size_t used = 0;
    Block() = default;
    Block(const Block&) = delete;
    Block& operator=(const Block&) = delete;
    ~Block() { OPENSSL_cleanse(bytes.get(), kBlock); }
};

// Why a read stopped short: an error number, or too much input.
struct ReadStop {
    int error = 0;
    bool tooLarge = false;
};

// Reads through fill(buffer, room), which returns the bytes it put there, 0
// at the end or -1 with errno set, and joins what came into data.
template <typename Fill>
bool readBlocks(Fill fill, SecretBytes& data, ReadStop& stop) {
    std::vector<std::unique_ptr<Block>> blocks;
    size_t total = 0;
    for (;;) {
        if (blocks.empty() || blocks.back()->used == kBlock) {
            blocks.push_back(std::make_unique<Block>());
        }
        Block& block = *blocks.back();
        const ssize_t n = fill(block.bytes.get() + block.used, kBlock - block.used);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            stop.error = errno;
            return false;
        }
        if (n == 0) break;
        block.used += static_cast<size_t>(n);
        total += static_cast<size_t>(n);
        if (total > kMaxKeyFileBytes) {
            stop.tooLarge = true;
            return false;
        }
    }
    data.resize(total);
    size_t at = 0;
    for (const auto& block : blocks) {
        if (block->used) std::memcpy(data.data() + at, block->bytes.get(), block->used);
        at += block->used;
    }
    return true;
}

bool readDescriptor(int fd, SecretBytes& data, ReadStop& stop) {
    return readBlocks([fd](uint8_t* buffer, size_t room) { return ::read(fd, buffer, room); },
                      data, stop);
}

bool readStream(std::istream& in, SecretBytes& data, ReadStop& stop) {
    const bool ok = readBlocks(
        [&in](uint8_t* buffer, size_t room) -> ssize_t {
            in.read(reinterpret_cast<char*>(buffer), static_cast<std::streamsize>(room));
            return in.gcount();
        },
        data, stop);
    if (ok && in.bad()) {
        stop.error = EIO;
        return false;
    }
    return ok;
}

bool readPath(const std::string& path, SecretBytes& data, ReadStop& stop) {
    const UniqueFd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
    if (!file) {
        stop.error = errno;
        return false;
    }
    struct stat st {};
    if (fstat(file.get(), &st) == 0 && S_ISREG(st.st_mode)) {
        // A file already too large is refused before a byte is read.
        if (static_cast<uint64_t>(st.st_size) > kMaxKeyFileBytes) {
            stop.tooLarge = true;
            return false;
        }
    }
    return readDescriptor(file.get(), data, stop);
}

}  // namespace

bool readInput(const std::string& path, SecretBytes& data, const std::string& failed, Io& io) {
    data.clear();
    ReadStop stop;
    bool ok = false;
    if (!namesStdin(path)) {
        ok = readPath(path, data, stop);
    } else if (io.inFd >= 0) {
        ok = readDescriptor(io.inFd, data, stop);
    } else {
        ok = readStream(io.in, data, stop);
    }
    if (ok) return true;
    data.clear();
    if (!failed.empty()) printMessage(io.err, failed);
    const std::string name = namesStdin(path) ? kStdinName : path;
    io.err << "talvekkey: " << name << ": ";
    if (stop.tooLarge) {
        io.err << "more than " << (kMaxKeyFileBytes >> 20) << " MiB of input\n";
    } else {
        io.err << fileFaultText({name, FileFault::System, stop.error}) << "\n";
    }
    return false;
}

}  // namespace Talvek::Cli
