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

// Flushes store copies to disk and reads them back (see VerifyStoreCopy) on threads of their
// own, many at once. One flush waits for the disk; flushes issued together share its trips,
// and the copies go on meanwhile. Created, used and destroyed on one thread, the committer's.
class StoreVerifier {
  public:
    // One store copy: its handle is the verifier's until Wait gives it back.
    struct Ticket {
        unique_hfile file;
        uint64_t bytes = 0;
        std::wstring md5;
        Status status;  // once done: fails with why the copy is not on disk as copied
        bool done = false;
    };

    explicit StoreVerifier(unsigned threads);
    // Finishes every copy handed over first.
    ~StoreVerifier();
    StoreVerifier(const StoreVerifier&) = delete;
    StoreVerifier& operator=(const StoreVerifier&) = delete;

    // Starts verifying `file`, which holds `bytes` bytes of digest `md5`. Without threads of its
    // own, verifies it before returning.
    [[nodiscard]] std::shared_ptr<Ticket> Post(unique_hfile file, uint64_t bytes, std::wstring md5);
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
