#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>

#include "util/blocking_queue.h"
#include "util/gate.h"
#include "util/handles.h"
#include "util/result.h"
#include "util/worker_pool.h"

namespace ksr {

// Puts store copies on disk before their rows go in (see SettleStoreCopy): flushes them, reads
// back those whose source is to go, and moves them from their temporary names to their own, on
// threads of their own, many at once. One flush waits for the disk; flushes issued together share
// its trips, and the copies go on meanwhile. Created, used and destroyed on one thread, the
// committer's.
class StoreVerifier {
  public:
    // One store copy: its handle is the verifier's until Wait gives it back.
    struct Ticket {
        unique_hfile file;
        uint64_t bytes = 0;
        std::wstring md5;
        bool readBack = true;
        std::wstring partial;  // its temporary name; empty once moved to `target`
        std::wstring target;
        Status status;  // once done: fails with why the copy is not on disk as copied
        bool done = false;
    };

    explicit StoreVerifier(unsigned threads);
    // Finishes every copy handed over first.
    ~StoreVerifier();
    StoreVerifier(const StoreVerifier&) = delete;
    StoreVerifier& operator=(const StoreVerifier&) = delete;

    // Starts settling `file`, which holds `bytes` bytes of digest `md5` (and, with `partial`,
    // lies there until moved to `target`). Without threads of its own, settles it before
    // returning.
    [[nodiscard]] std::shared_ptr<Ticket> Post(unique_hfile file, uint64_t bytes, std::wstring md5,
                                               bool readBack = true, std::wstring partial = {},
                                               std::wstring target = {});
    // Waits until `ticket` (one Post gave) is verified; its handle and status are the caller's
    // again.
    void Wait(Ticket& ticket);

  private:
    // What Post hands out: the ticket, and the gate Wait waits at.
    struct Job : Ticket {
        Gate verified;
    };

    static void Verify(Job& job);

    BlockingQueue<std::shared_ptr<Job>> queue_;  // in the order the copies were made
    WorkerPool<std::shared_ptr<Job>> threads_;
};

}  // namespace ksr
