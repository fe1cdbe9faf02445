// The relay between two passes over a large message: items arrive in order,
// the ring bounds how far the producer runs ahead, and a failing consumer
// stops the producer instead of letting it fill memory or hang.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "sealing/boundedrelay.h"

using Talvek::BoundedRelay;

TEST(BoundedRelay, TakesEveryItemInOrderAndHandsBuffersBack) {
    std::vector<int> taken;
    BoundedRelay<std::vector<int>> relay(3);
    ASSERT_TRUE(relay.start([&](std::vector<int>& item) {
        taken.insert(taken.end(), item.begin(), item.end());
        item.clear();
        return true;
    }));
    std::vector<int> buffer;
    for (int i = 0; i < 1000; ++i) {
        buffer.assign({i});
        ASSERT_TRUE(relay.push(buffer));
        // What comes back is a slot's earlier content, already taken.
        EXPECT_TRUE(buffer.empty());
    }
    ASSERT_TRUE(relay.finish());
    ASSERT_EQ(taken.size(), 1000u);
    for (int i = 0; i < 1000; ++i) EXPECT_EQ(taken[i], i);
}

TEST(BoundedRelay, ProducerWaitsWhileTheRingIsFull) {
    std::atomic<bool> release{false};
    std::atomic<int> handed{0};
    BoundedRelay<int> relay(2);
    ASSERT_TRUE(relay.start([&](int&) {
        release.wait(false);
        return true;
    }));
    std::thread producer([&] {
        for (int i = 0; i < 10; ++i) {
            int item = i;
            relay.push(item);
            ++handed;
        }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    // The item in the consumer's hands keeps its slot: two in all.
    EXPECT_EQ(handed.load(), 2);
    release = true;
    release.notify_all();
    producer.join();
    EXPECT_EQ(handed.load(), 10);
    EXPECT_TRUE(relay.finish());
}

TEST(BoundedRelay, AFailedConsumerStopsTheProducerAndDropsTheRest) {
    int seen = 0;
    BoundedRelay<int> relay(4);
    ASSERT_TRUE(relay.start([&](int& item) {
        ++seen;
        return item != 5;
    }));
    bool refused = false;
    for (int i = 0; i < 10000 && !refused; ++i) {
        int item = i;
        refused = !relay.push(item);
    }
    EXPECT_TRUE(refused);
    EXPECT_FALSE(relay.finish());
    EXPECT_EQ(seen, 6);
}

TEST(BoundedRelay, FinishWithDropSkipsWhatIsLeft) {
    std::atomic<bool> release{false};
    std::atomic<int> seen{0};
    BoundedRelay<int> relay(8);
    ASSERT_TRUE(relay.start([&](int&) {
        release.wait(false);
        ++seen;
        return true;
    }));
    for (int i = 0; i < 5; ++i) {
        int item = i;
        ASSERT_TRUE(relay.push(item));
    }
    // The consumer is let go only after the drop was asked for.
    std::thread releaser([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        release = true;
        release.notify_all();
    });
    relay.finish(true);
    releaser.join();
    // At most the item already in the consumer's hands when the drop came.
    EXPECT_LE(seen.load(), 1);
}
