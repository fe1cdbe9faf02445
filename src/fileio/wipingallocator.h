#pragma once
// Memory for bytes that may hold private key material (a key file's content,
// a number's bytes, a decoded key base): wiped before it goes back to the
// heap, on every path that releases it (destruction, growth, clear and
// shrink, an exception unwinding), so no freed block keeps a secret.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include <openssl/crypto.h>

namespace Talvek {

// Wraps another allocator (the standard one in the program) and cleanses
// every block before handing it back.
template <typename T, typename Upstream = std::allocator<T>>
class WipingAllocator {
public:
    using value_type = T;
    template <typename U>
    struct rebind {
        using other =
            WipingAllocator<U, typename std::allocator_traits<Upstream>::template rebind_alloc<U>>;
    };

    WipingAllocator() = default;
    explicit WipingAllocator(const Upstream& upstream) : upstream_(upstream) {}
    template <typename U, typename V>
    WipingAllocator(const WipingAllocator<U, V>& other) : upstream_(other.upstream()) {}

    T* allocate(std::size_t n) { return std::allocator_traits<Upstream>::allocate(upstream_, n); }
    void deallocate(T* p, std::size_t n) {
        if (p) OPENSSL_cleanse(p, n * sizeof(T));
        std::allocator_traits<Upstream>::deallocate(upstream_, p, n);
    }

    const Upstream& upstream() const { return upstream_; }

    template <typename U, typename V>
    bool operator==(const WipingAllocator<U, V>& other) const {
        return upstream_ == other.upstream();
    }

private:
    Upstream upstream_;
};

// Bytes that may hold secrets.
using SecretBytes = std::vector<uint8_t, WipingAllocator<uint8_t>>;

}  // namespace Talvek
