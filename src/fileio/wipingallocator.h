#pragma once
// Memory for bytes that may hold private key material (a key file's content,
// a number's bytes, a decoded key base): wiped before it goes back to the
// heap, on every path that releases it (destruction, growth, clear and
// shrink, an exception unwinding), so no freed block keeps a secret.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <type_traits>
#include <utility>
#include <vector>

#include <openssl/crypto.h>

namespace Talvek {

// Wraps another allocator (the standard one in the program) and cleanses
// every block before handing it back. Elements made without a value are left
// as they are: a buffer is grown to be written at once (a file read into it,
// a number converted into it), so zero-filling it first would only cost a
// pass over its memory. Ask for a value (assign(n, 0)) where zeros matter.
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

    // Default-initialised, i.e. not zeroed, when no value is given.
    template <typename U>
    void construct(U* p) noexcept(std::is_nothrow_default_constructible_v<U>) {
        ::new (static_cast<void*>(p)) U;
    }
    template <typename U, typename... Args>
    void construct(U* p, Args&&... args) {
        std::allocator_traits<Upstream>::construct(upstream_, p, std::forward<Args>(args)...);
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
