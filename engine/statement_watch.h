#pragma once

#include <windows.h>

#include <atomic>
#include <functional>
#include <thread>
#include <vector>

#include "server/database.h"
#include "util/sync.h"

namespace ksr {

// Watches the run's database sessions from a thread of its own, so that a database that takes
// a statement but does not answer it (a backup's lock, a long table change) cannot hold a run
// the operator stopped: once the stop is known, the statement waiting is cancelled and every
// later one that waits too. Created and destroyed on the run's thread; the sessions outlive it.
class StatementWatch {
  public:
    // `stopRequested` is asked on the watch's thread, and only while a statement has waited
    // long enough to matter.
    StatementWatch(std::vector<DbSession*> sessions, std::function<bool()> stopRequested);
    ~StatementWatch();
    StatementWatch(const StatementWatch&) = delete;
    StatementWatch& operator=(const StatementWatch&) = delete;

    // The run learned of the stop on its own thread. Called from any thread.
    void Stop();
    // Whether the stop is known here: a statement failing from now on may have been cancelled.
    // Called from any thread.
    [[nodiscard]] bool Stopped() const { return stopped_; }

  private:
    void Watch();

    std::vector<DbSession*> sessions_;
    std::function<bool()> stopRequested_;
    std::atomic<bool> stopped_{false};
    SrwMutex mutex_;
    ConditionVariable wake_;
    bool ending_ = false;
    std::thread thread_;
};

}  // namespace ksr
