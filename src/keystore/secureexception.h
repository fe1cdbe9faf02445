#pragma once

#include <exception>
#include <string>
#include <utility>

namespace Talvek {

// The key store's one exception: an RSA object could not be created (memory
// exhausted). Dialogs show its message and count the action as failed.
class SecureException : public std::exception {
public:
    explicit SecureException(std::string message) : message_(std::move(message)) {}
    const char* what() const noexcept override { return message_.c_str(); }
    const std::string& message() const noexcept { return message_; }

private:
    std::string message_;
};

}  // namespace Talvek
