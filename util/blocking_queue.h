#pragma once

#include <windows.h>

#include <algorithm>
#include <cstddef>
#include <deque>
#include <limits>
#include <mutex>
#include <utility>

#include "util/sync.h"

namespace ksr {

// A first-in first-out queue between threads: bounded, and closable so that its consumers can
// end. Any thread may push and pop. Under Wine, waking a sleeping thread is a trip through the
// kernel, not cheap next to the copy of a small file: a side is woken only while one of its
// threads waits, and a producer that found the queue full only once it is down to its low-water
// mark, so that it goes on with room for several items rather than one.
template <class T>
class BlockingQueue {
  public:
    enum class Popped { Item, Timeout, Closed };
    // Lifo hands out the newest item first: a work list that queues what each item finds (the
    // folders below a folder) is then walked depth first and holds fewer items at a time.
    enum class Order { Fifo, Lifo };
    static constexpr size_t kUnbounded = std::numeric_limits<size_t>::max();

    // At most `capacity` items (at least one); a producer waiting for room goes on once the
    // queue holds `lowWater` items or fewer (by default as soon as there is room).
    explicit BlockingQueue(size_t capacity = kUnbounded, size_t lowWater = kUnbounded,
                           Order order = Order::Fifo)
        : capacity_(std::max<size_t>(capacity, 1)),
          lowWater_(std::min(lowWater, capacity_ - 1)),
          lifo_(order == Order::Lifo) {}
    BlockingQueue(const BlockingQueue&) = delete;
    BlockingQueue& operator=(const BlockingQueue&) = delete;

    // Waits while the queue is full. Once it is closed, drops `item` and returns false.
    bool Push(T item) {
        bool wake = false;
        {
            std::unique_lock lock(mutex_);
            if (items_.size() >= capacity_ && !closed_) {
                ++pushersWaiting_;
                notFull_.wait(lock, [&] { return closed_ || items_.size() < capacity_; });
                --pushersWaiting_;
            }
            if (closed_) return false;
            items_.push_back(std::move(item));
            wake = poppersWaiting_ > 0;
        }
        if (wake) notEmpty_.notify_one();
        return true;
    }

    // Takes the oldest item (the newest, Lifo) into `item`, waiting for one; false once the queue
    // is closed and empty (items pushed before Close are still taken).
    bool Pop(T& item) { return PopFor(item, INFINITE) == Popped::Item; }
    // The same, waiting at most `milliseconds` (INFINITE: as long as it takes; 0: not at all).
    Popped PopFor(T& item, DWORD milliseconds) {
        bool wake = false;
        {
            std::unique_lock lock(mutex_);
            const Popped popped = AwaitItem(lock, milliseconds);
            if (popped != Popped::Item) return popped;
            item = std::move(Next());
            if (lifo_) {
                items_.pop_back();
            } else {
                items_.pop_front();
            }
            wake = pushersWaiting_ > 0 && items_.size() <= lowWater_;
        }
        if (wake) notFull_.notify_one();
        return Popped::Item;
    }
    // Copies the item PopFor would take into `item`, but leaves it queued, taking
    // its room, until a Pop takes it. Only for a queue with a single consumer.
    Popped PeekFor(T& item, DWORD milliseconds) {
        std::unique_lock lock(mutex_);
        const Popped popped = AwaitItem(lock, milliseconds);
        if (popped == Popped::Item) item = Next();
        return popped;
    }

    // Makes every Push fail from now on and wakes every thread that waits; the items queued
    // already are still taken.
    void Close() {
        bool wakePoppers = false, wakePushers = false;
        {
            std::lock_guard lock(mutex_);
            closed_ = true;
            wakePoppers = poppersWaiting_ > 0;
            wakePushers = pushersWaiting_ > 0;
        }
        if (wakePoppers) notEmpty_.notify_all();
        if (wakePushers) notFull_.notify_all();
    }

  private:
    T& Next() { return lifo_ ? items_.back() : items_.front(); }
    // Under the lock: waits at most `milliseconds` until an item is queued or the queue closed.
    Popped AwaitItem(std::unique_lock<SrwMutex>& lock, DWORD milliseconds) {
        if (items_.empty() && !closed_ && milliseconds > 0) {
            const auto ready = [&] { return closed_ || !items_.empty(); };
            ++poppersWaiting_;
            if (milliseconds == INFINITE) {
                notEmpty_.wait(lock, ready);
            } else {
                notEmpty_.wait_for(lock, milliseconds, ready);
            }
            --poppersWaiting_;
        }
        if (!items_.empty()) return Popped::Item;
        return closed_ ? Popped::Closed : Popped::Timeout;
    }

    const size_t capacity_;
    const size_t lowWater_;
    const bool lifo_;
    SrwMutex mutex_;
    ConditionVariable notEmpty_;  // consumers wait here
    ConditionVariable notFull_;   // producers wait here
    std::deque<T> items_;
    unsigned poppersWaiting_ = 0;
    unsigned pushersWaiting_ = 0;
    bool closed_ = false;
};

}  // namespace ksr
