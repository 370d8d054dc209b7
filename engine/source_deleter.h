#pragma once

#include <windows.h>

#include <atomic>
#include <cstddef>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "util/blocking_queue.h"
#include "util/gate.h"
#include "util/handles.h"
#include "util/result.h"
#include "util/worker_pool.h"

namespace ksr {

// Deletes held sources (see CopyResult::source) on threads of their own, batch after batch, so
// that the thread writing rows does not wait for them. Under Wine each deletion and each close
// is a request to the Wine server that waits its turn behind the copies' requests; one thread
// alone spends most of its time waiting, several share the waits. Start, Done and Take come
// from one thread at a time (the committer's).
class SourceDeleter {
  public:
    struct Item {
        unique_hfile source;  // deleted through this handle, then closed
        unique_hfile stored;  // the store copy, kept locked until the source is gone
        Status status;        // fails with why the source is still there
        // Where the held source must still be (see WhereHeld); it fails with
        // ERROR_REPARSE_POINT_ENCOUNTERED, not deleted, when it is not the listed file.
        std::wstring listed;
        std::wstring root;
    };

    explicit SourceDeleter(unsigned threads = kThreads);
    // Finishes every batch handed over first.
    ~SourceDeleter();
    SourceDeleter(const SourceDeleter&) = delete;
    SourceDeleter& operator=(const SourceDeleter&) = delete;

    // Queues `items`, whose rows are committed, for deleting after the batches handed over
    // before. Without a thread of its own, deletes them before returning. When it throws,
    // nothing of `items` was deleted.
    void Start(std::vector<Item> items);
    // Whether the oldest batch not taken back is done (or there is none), so that Take returns
    // at once.
    [[nodiscard]] bool Done();
    // Waits for the oldest batch not taken back and gives it back, each item's error filled in
    // and its handles closed.
    [[nodiscard]] std::vector<Item> Take();

    static constexpr unsigned kThreads = 4;

  private:
    struct Batch {
        explicit Batch(std::vector<Item> taken)
            : items(std::move(taken)), count(items.size()), left(count) {}
        std::vector<Item> items;
        const size_t count;           // of items; they are gone once taken back
        std::atomic<size_t> next{0};  // items[next] is the next one a thread takes
        std::atomic<size_t> left;     // items not yet deleted (or not) and closed
        Gate done;                    // opens once none is left
    };
    // One thread's share of a batch: the items it takes until none is left to take.
    using Share = std::shared_ptr<Batch>;

    static void Delete(Item& item);
    static void DeleteShare(Batch& batch);

    std::deque<std::shared_ptr<Batch>> batches_;  // handed over, in order, not yet taken back
    const unsigned threads_;                      // wanted
    BlockingQueue<Share> shares_;                 // oldest batch first
    std::optional<WorkerPool<Share>> pool_;       // from the first deletion on
};

}  // namespace ksr
