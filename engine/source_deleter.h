#pragma once

#include <windows.h>

#include <thread>
#include <vector>

#include "util/handles.h"
#include "util/result.h"
#include "util/sync.h"

namespace ksr {

// Deletes held sources (see CopyResult::source) on a thread of its own, a batch at a time, so
// that the thread writing rows never waits for them: under Wine each deletion and each close
// is a request to the Wine server, and the copies stall while the rows wait.
class SourceDeleter {
  public:
    struct Item {
        unique_hfile source;  // deleted through this handle, then closed
        unique_hfile stored;  // the store copy, kept locked until the source is gone
        Status status;        // fails with why the source is still there
    };

    SourceDeleter();
    // Finishes the batch in hand first.
    ~SourceDeleter();
    SourceDeleter(const SourceDeleter&) = delete;
    SourceDeleter& operator=(const SourceDeleter&) = delete;

    // Starts deleting `items`, whose rows are committed; the batch handed over before must have
    // been taken back. Without a thread of its own, deletes them before returning.
    void Start(std::vector<Item> items);
    // Whether the batch handed over is done, so that Take returns at once.
    bool Done();
    // Waits for the batch handed over and gives it back, each item's error filled in and its
    // handles closed.
    [[nodiscard]] std::vector<Item> Take();

  private:
    static void DeleteAll(std::vector<Item>& items);
    void Run();

    SrwMutex mutex_;
    ConditionVariable changed_;
    std::vector<Item> items_;
    bool queued_ = false;  // handed over, not yet deleted
    bool closing_ = false;
    std::thread thread_;
};

}  // namespace ksr
