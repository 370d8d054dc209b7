#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

#include "util/blocking_queue.h"
#include "util/thread_name.h"

namespace ksr {

// Starts a thread named `name` running `body`. An exception leaving `body` would end the process
// with nothing reported: it ends only the body, and counts in `faults`. Throws when the system
// can't start a thread.
inline std::jthread StartGuardedThread(const wchar_t* name, std::function<void()> body,
                                       std::atomic<size_t>& faults) {
    return std::jthread([name, body = std::move(body), &faults] {
        NameThisThread(name);
        try {
            body();
        } catch (...) {
            ++faults;
        }
    });
}

// Threads that take the items of a queue and hand each to a handler, until the queue is closed
// and empty. Created and destroyed on one thread; the handler runs on the pool's threads (and,
// with RunHere, on the caller's).
template <class T>
class WorkerPool {
  public:
    // Called with the item and the number (from 0) of the thread that took it.
    using Handler = std::function<void(T& item, unsigned worker)>;

    // Starts up to `threads` threads named `name` on `queue`, which must outlive the pool.
    // Threads the system can't start are left out: Threads() says how many run, perhaps none.
    template <class Handle>
    WorkerPool(BlockingQueue<T>& queue, unsigned threads, const wchar_t* name, Handle handle)
        : queue_(queue), handle_(Adapt(std::move(handle))) {
        // Room for all first: a thread started and then dropped would be joined while it waits.
        try {
            threads_.reserve(threads);
        } catch (...) {
            return;
        }
        for (unsigned i = 0; i < threads; ++i) {
            try {
                threads_.push_back(StartGuardedThread(
                    name, [this, i] { Run(i); }, faults_));
            } catch (...) {
                break;
            }
        }
    }
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;
    ~WorkerPool() { Finish(); }

    // Closes the queue and waits until every item in it is handled and the threads have ended.
    void Finish() {
        queue_.Close();
        for (std::jthread& thread : threads_) {
            if (thread.joinable()) thread.join();
        }
    }

    [[nodiscard]] unsigned Threads() const { return static_cast<unsigned>(threads_.size()); }
    // Items whose handler ended in an exception.
    [[nodiscard]] size_t Faults() const { return faults_; }
    // The calling thread takes items too, as worker number Threads(), until the queue is closed
    // and empty.
    void RunHere() { Run(Threads()); }

  private:
    template <class Handle>
    static Handler Adapt(Handle handle) {
        if constexpr (std::is_invocable_v<Handle&, T&, unsigned>) {
            return handle;
        } else {
            return [handle = std::move(handle)](T& item, unsigned) mutable { handle(item); };
        }
    }

    void Run(unsigned worker) {
        for (;;) {
            // A fresh item each time: what the last one held is let go before the thread waits.
            T item;
            if (!queue_.Pop(item)) return;
            try {
                handle_(item, worker);
            } catch (...) {
                ++faults_;
            }
        }
    }

    BlockingQueue<T>& queue_;
    const Handler handle_;
    std::atomic<size_t> faults_{0};
    std::vector<std::jthread> threads_;  // last: joined before the rest goes
};

}  // namespace ksr
