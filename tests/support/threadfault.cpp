#include "support/threadfault.h"

#include <atomic>
#include <cerrno>

#include <dlfcn.h>
#include <pthread.h>

namespace {

std::atomic<int> failures{0};

}  // namespace

namespace TestSupport {

void failThreadStarts(int n) {
    failures = n;
}

}  // namespace TestSupport

// Found before the C library's by every caller in the program, std::thread
// included.
extern "C" int pthread_create(pthread_t* thread, const pthread_attr_t* attributes,
                              void* (*start)(void*), void* argument) {
    using Create = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
    static const auto real = reinterpret_cast<Create>(dlsym(RTLD_NEXT, "pthread_create"));
    for (int left = failures.load(); left > 0;) {
        if (failures.compare_exchange_weak(left, left - 1)) return EAGAIN;
    }
    return real(thread, attributes, start, argument);
}
