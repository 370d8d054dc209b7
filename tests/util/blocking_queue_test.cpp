// The queue, gate and worker pool the import's threads hand work over with. A lost wake-up
// shows as a thread that never returns: every wait here has a deadline, after which the queue
// is closed so that the test ends and fails rather than hangs.
#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <chrono>
#include <future>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "util/blocking_queue.h"
#include "util/gate.h"
#include "util/worker_pool.h"

namespace ksr {
namespace {

using IntQueue = BlockingQueue<int>;
constexpr auto kDeadline = std::chrono::seconds(20);

// Runs `body` on a thread of its own; false (and the body left running) when it does not
// return by the deadline.
template <class Body>
bool ReturnsInTime(std::future<void>& running, Body body) {
    running = std::async(std::launch::async, std::move(body));
    return running.wait_for(kDeadline) == std::future_status::ready;
}

struct Hammer {
    size_t capacity, lowWater;
    int producers, consumers;
    IntQueue::Order order;
};

// Producers and consumers crowd a small queue, so that each side keeps blocking on the other:
// every item arrives exactly once and, first in first out, each producer's in its order.
TEST(BlockingQueue, ProducersAndConsumersHammeringASmallQueueLoseNothing) {
    const Hammer cases[] = {{1, 0, 3, 3, IntQueue::Order::Fifo},
                            {4, 2, 4, 1, IntQueue::Order::Fifo},
                            {2, 0, 1, 4, IntQueue::Order::Fifo},
                            {8, 4, 2, 2, IntQueue::Order::Lifo}};
    constexpr int kEach = 3000;
    for (const Hammer& c : cases) {
        IntQueue queue(c.capacity, c.lowWater, c.order);
        std::vector<std::vector<int>> got(static_cast<size_t>(c.consumers));
        std::future<void> run;
        const bool ended = ReturnsInTime(run, [&] {
            std::vector<std::jthread> threads;
            for (auto& mine : got) {
                threads.emplace_back([&queue, &mine] {
                    for (int item = 0; queue.Pop(item);) mine.push_back(item);
                });
            }
            std::vector<std::jthread> producers;
            for (int p = 0; p < c.producers; ++p) {
                producers.emplace_back([&queue, p] {
                    for (int i = 0; i < kEach; ++i) queue.Push(p * kEach + i);
                });
            }
            producers.clear();  // joined: everything is pushed
            queue.Close();
        });
        if (!ended) queue.Close();
        run.get();
        ASSERT_TRUE(ended) << "capacity " << c.capacity << ": a thread was never woken";
        std::vector<int> seen(static_cast<size_t>(c.producers * kEach));
        for (const auto& mine : got) {
            std::vector<int> last(static_cast<size_t>(c.producers), -1);
            for (const int item : mine) {
                ++seen[static_cast<size_t>(item)];
                int& before = last[static_cast<size_t>(item / kEach)];
                if (c.order == IntQueue::Order::Fifo) {
                    EXPECT_GT(item, before);
                }
                before = item;
            }
        }
        for (const int times : seen) {
            ASSERT_EQ(times, 1) << "capacity " << c.capacity;
        }
    }
}

// Close wakes a producer blocked on a full queue and a consumer blocked on an empty one; what
// was queued before is still taken, nothing after.
TEST(BlockingQueue, CloseWakesBlockedPushAndPop) {
    IntQueue full(1);
    full.Push(1);
    IntQueue empty;
    std::future<void> run;
    std::atomic<bool> pushed{true}, popped{true};
    const bool ended = ReturnsInTime(run, [&] {
        std::jthread producer([&] { pushed = full.Push(2); });
        std::jthread consumer([&] {
            int item = 0;
            popped = empty.Pop(item);
        });
        Sleep(50);  // both asleep by now, most likely
        full.Close();
        empty.Close();
    });
    if (!ended) {
        full.Close();
        empty.Close();
    }
    run.get();
    ASSERT_TRUE(ended);
    EXPECT_FALSE(pushed) << "a push into a closed queue fails";
    EXPECT_FALSE(popped);
    int item = 0;
    EXPECT_TRUE(full.Pop(item));
    EXPECT_EQ(item, 1);
    EXPECT_FALSE(full.Pop(item));
    EXPECT_FALSE(full.Push(3));
}

TEST(BlockingQueue, PopForTellsATimeoutFromAClose) {
    IntQueue queue;
    int item = 0;
    const ULONGLONG start = GetTickCount64();
    EXPECT_EQ(queue.PopFor(item, 60), IntQueue::Popped::Timeout);
    EXPECT_GE(GetTickCount64() - start, 50u);
    EXPECT_EQ(queue.PopFor(item, 0), IntQueue::Popped::Timeout);

    queue.Push(7);
    EXPECT_EQ(queue.PeekFor(item, 0), IntQueue::Popped::Item);
    EXPECT_EQ(item, 7);
    queue.Close();
    item = 0;
    EXPECT_EQ(queue.PopFor(item, 60), IntQueue::Popped::Item) << "peeked, still queued";
    EXPECT_EQ(item, 7);
    EXPECT_EQ(queue.PopFor(item, INFINITE), IntQueue::Popped::Closed);
    EXPECT_EQ(queue.PeekFor(item, 60), IntQueue::Popped::Closed);
}

// Gates opened one after another while threads wait at each in turn: an opening that is missed
// leaves a waiter asleep until its wait runs out.
TEST(Gate, EveryOpeningReachesItsWaiters) {
    constexpr int kGates = 2000;
    constexpr DWORD kWaitMs = 5000;  // far beyond any wait the opener makes
    std::vector<Gate> gates(kGates);
    std::atomic<int> passed{0}, late{0};
    std::vector<std::jthread> waiters;
    for (int w = 0; w < 3; ++w) {
        waiters.emplace_back([&] {
            for (Gate& gate : gates) {
                const ULONGLONG began = GetTickCount64();
                if (!gate.WaitFor(kWaitMs) || GetTickCount64() - began >= kWaitMs / 2) ++late;
                ++passed;
            }
        });
    }
    for (int i = 0; i < kGates; ++i) {
        if (i % 100 == 0) Sleep(1);  // sometimes the waiters are asleep, sometimes not yet
        gates[static_cast<size_t>(i)].Open();
    }
    waiters.clear();
    EXPECT_EQ(passed, 3 * kGates);
    EXPECT_EQ(late, 0) << "waiters were not woken";

    Gate closed;
    EXPECT_FALSE(closed.WaitFor(20));
    EXPECT_FALSE(closed.IsOpen());
}

// GetThreadDescription, where the system has it.
std::wstring ThisThreadName() {
    using GetDescription = HRESULT(WINAPI*)(HANDLE, PWSTR*);
    const HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    void* const found =
        kernel ? reinterpret_cast<void*>(GetProcAddress(kernel, "GetThreadDescription")) : nullptr;
    if (!found) return L"?";
    PWSTR name = nullptr;
    if (FAILED(reinterpret_cast<GetDescription>(found)(GetCurrentThread(), &name))) return L"?";
    std::wstring copy = name ? name : L"";
    LocalFree(name);
    return copy;
}

// Every item is handled once, on the pool's threads (and the caller's, when it helps); a
// handler that throws counts as a fault and the thread goes on.
TEST(WorkerPool, HandlesEveryItemOnceAndCountsHandlersThatThrow) {
    constexpr int kItems = 500;
    IntQueue queue(8);
    std::vector<std::atomic<int>> handled(kItems);
    std::atomic<int> unnamed{0};
    const DWORD caller = GetCurrentThreadId();
    WorkerPool<int> pool(queue, 3, L"ksr test", [&](int& item, unsigned worker) {
        const bool onCaller = GetCurrentThreadId() == caller;
        EXPECT_EQ(worker == 3, onCaller);
        if (!onCaller && ThisThreadName() != L"ksr test" && ThisThreadName() != L"?") ++unnamed;
        ++handled[static_cast<size_t>(item)];
        if (item % 100 == 0) throw std::runtime_error("fails");
    });
    ASSERT_EQ(pool.Threads(), 3u);
    std::jthread producer([&] {
        for (int i = 0; i < kItems; ++i) queue.Push(i);
        queue.Close();
    });
    pool.RunHere();
    pool.Finish();
    for (const auto& times : handled) EXPECT_EQ(times, 1);
    EXPECT_EQ(pool.Faults(), size_t{kItems / 100});
    EXPECT_EQ(unnamed, 0);
}

}  // namespace
}  // namespace ksr
