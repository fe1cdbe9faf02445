#pragma once
// One consumer thread behind a small ring of slots: the producer hands items
// on in order and goes on with the next while the consumer works, waiting
// only when every slot is taken. Two passes over a large message (digest and
// cipher, decryption and writing out) run side by side this way, with memory
// bounded by the ring whatever the message's size.

#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

namespace Talvek {

template <class Item>
class BoundedRelay {
public:
    // Takes one item; false stops the relay (later items are dropped).
    using Consumer = std::function<bool(Item& item)>;

    explicit BoundedRelay(size_t slots) : slots_(slots) {}
    ~BoundedRelay() { finish(true); }
    BoundedRelay(const BoundedRelay&) = delete;
    BoundedRelay& operator=(const BoundedRelay&) = delete;

    // Starts the consumer's thread. False when no thread can be had: the
    // caller then does the consumer's work itself.
    bool start(Consumer consume) {
        consume_ = std::move(consume);
        try {
            thread_ = std::jthread([this] { run(); });
        } catch (const std::system_error&) {
            return false;
        }
        return true;
    }

    // Hands item on. It is swapped into a free slot, so the caller gets that
    // slot's previous content back (a buffer to fill again). Waits while
    // every slot is taken; false once the consumer has failed.
    bool push(Item& item) {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [this] { return count_ < slots_.size() || failed_; });
        if (failed_) return false;
        std::swap(slots_[(head_ + count_) % slots_.size()], item);
        ++count_;
        changed_.notify_all();
        return true;
    }

    // Lets the consumer take what it was handed (or, with drop, throw it
    // away) and ends its thread. True when every item was taken well.
    bool finish(bool drop = false) {
        if (thread_.joinable()) {
            {
                std::lock_guard lock(mutex_);
                closing_ = true;
                dropping_ = drop;
            }
            changed_.notify_all();
            thread_.join();
        }
        return !failed_;
    }

private:
    void run() {
        std::unique_lock lock(mutex_);
        for (;;) {
            changed_.wait(lock, [this] { return count_ > 0 || closing_; });
            if (count_ == 0) return;
            // The producer fills other slots only: this one is counted until
            // it has been taken.
            Item& item = slots_[head_];
            const bool skip = failed_ || dropping_;
            lock.unlock();
            const bool ok = skip || consume_(item);
            lock.lock();
            failed_ = failed_ || !ok;
            head_ = (head_ + 1) % slots_.size();
            --count_;
            changed_.notify_all();
        }
    }

    std::vector<Item> slots_;
    size_t head_ = 0, count_ = 0;  // the slots handed on and not yet taken
    bool closing_ = false, dropping_ = false, failed_ = false;
    Consumer consume_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::jthread thread_;  // last: joined before the rest goes
};

}  // namespace Talvek
