#pragma once
// The one owner of a file descriptor: whatever opens a file, folder or socket
// keeps it here, so that every path out of a function closes it, also the
// early returns of a failure, and a moved-from owner closes nothing.

#include <cerrno>
#include <utility>

#include <unistd.h>

namespace Talvek {

class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) noexcept : fd_(fd) {}
    ~UniqueFd() { reset(); }
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int get() const noexcept { return fd_; }
    bool valid() const noexcept { return fd_ >= 0; }
    explicit operator bool() const noexcept { return valid(); }

    // Gives the descriptor up without closing it.
    [[nodiscard]] int release() noexcept { return std::exchange(fd_, -1); }
    // Closes the descriptor held, if any, and takes fd instead. errno is
    // kept, so a failure's cause read after the cleanup is still its own.
    void reset(int fd = -1) noexcept {
        const int old = std::exchange(fd_, fd);
        if (old >= 0 && old != fd) {
            const int saved = errno;
            ::close(old);
            errno = saved;
        }
    }
    // Closes now and says whether the system took it: a socket or a file
    // whose close fails may have lost what was written to it.
    int close() noexcept {
        const int old = release();
        return old >= 0 ? ::close(old) : 0;
    }

private:
    int fd_ = -1;
};

}  // namespace Talvek
