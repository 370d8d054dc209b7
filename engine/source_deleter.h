#pragma once

#include <windows.h>

#include <deque>
#include <thread>
#include <vector>

#include "util/handles.h"
#include "util/result.h"
#include "util/sync.h"

namespace ksr {

// Deletes held sources (see CopyResult::source) on threads of their own, batch after batch, so
// that the thread writing rows does not wait for them. Under Wine each deletion and each close
// is a request to the Wine server that waits its turn behind the copies' requests; one thread
// alone spends most of its time waiting, several share the waits.
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
        std::vector<Item> items;
        size_t next = 0;      // items[next] is the next one a thread takes
        size_t finished = 0;  // items deleted (or not) and closed
    };

    static void Delete(Item& item);
    // Under the lock: no batch is queued, or the oldest one's items are all finished.
    [[nodiscard]] bool OldestDone() const;
    void Run();

    SrwMutex mutex_;
    ConditionVariable changed_;
    std::deque<Batch> batches_;  // handed over, in order, not yet taken back
    size_t untaken_ = 0;         // items of theirs no thread has taken yet
    bool closing_ = false;
    unsigned threadsWanted_;  // threads not yet started
    std::vector<std::thread> threads_;
};

}  // namespace ksr
