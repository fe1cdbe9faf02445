#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <vector>

#include "fileio/wipingallocator.h"

namespace {

// Keeps a copy of every block handed back to it, as it was at that moment.
struct ReleaseLog {
    std::vector<std::vector<uint8_t>> blocks;
};

template <typename T>
struct RecordingAllocator {
    using value_type = T;
    ReleaseLog* log;

    explicit RecordingAllocator(ReleaseLog* l) : log(l) {}
    template <typename U>
    RecordingAllocator(const RecordingAllocator<U>& other) : log(other.log) {}

    T* allocate(std::size_t n) { return std::allocator<T>().allocate(n); }
    void deallocate(T* p, std::size_t n) {
        const auto* bytes = reinterpret_cast<const uint8_t*>(p);
        log->blocks.emplace_back(bytes, bytes + n * sizeof(T));
        std::allocator<T>().deallocate(p, n);
    }
    template <typename U>
    bool operator==(const RecordingAllocator<U>& other) const {
        return log == other.log;
    }
};

using Watched = Talvek::WipingAllocator<uint8_t, RecordingAllocator<uint8_t>>;

}  // namespace

// Every way a buffer gives memory back (growing, shrinking, destruction)
// hands over blocks with no byte of the secret left in them.
TEST(WipingAllocator, EveryReleasedBlockIsWiped) {
    ReleaseLog log;
    {
        std::vector<uint8_t, Watched> secret{Watched(RecordingAllocator<uint8_t>(&log))};
        for (int i = 0; i < 5000; ++i) secret.push_back(static_cast<uint8_t>(0xA5 ^ i));
        const size_t grown = log.blocks.size();
        EXPECT_GT(grown, 3u);
        secret.resize(10);
        secret.shrink_to_fit();
        EXPECT_GT(log.blocks.size(), grown);
        std::vector<uint8_t, Watched> moved = std::move(secret);
        moved.push_back(1);
    }
    size_t bytes = 0;
    for (const auto& block : log.blocks) {
        bytes += block.size();
        EXPECT_TRUE(std::all_of(block.begin(), block.end(), [](uint8_t b) { return b == 0; }));
    }
    EXPECT_GE(bytes, 5000u);
}
