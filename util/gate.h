#pragma once

#include <windows.h>

#include <mutex>

#include "util/sync.h"

namespace ksr {

// A one-way signal between threads: closed until one thread opens it, then open for good. Any
// thread may wait for it; opening wakes the system only when some thread waits.
class Gate {
  public:
    Gate() = default;
    Gate(const Gate&) = delete;
    Gate& operator=(const Gate&) = delete;

    // The gate must outlive the call: whoever destroys it after waiting can't tell when the
    // opener is done with it, so the opener keeps its own reference (a shared_ptr) meanwhile.
    void Open() {
        bool wake = false;
        {
            std::lock_guard lock(mutex_);
            open_ = true;
            wake = waiting_ > 0;
        }
        if (wake) opened_.notify_all();
    }
    [[nodiscard]] bool IsOpen() {
        std::lock_guard lock(mutex_);
        return open_;
    }
    void Wait() { (void)WaitFor(INFINITE); }
    // Whether it opened within `milliseconds` (INFINITE: as long as it takes).
    bool WaitFor(DWORD milliseconds) {
        std::unique_lock lock(mutex_);
        if (open_) return true;
        ++waiting_;
        bool open = true;
        if (milliseconds == INFINITE) {
            opened_.wait(lock, [&] { return open_; });
        } else {
            open = opened_.wait_for(lock, milliseconds, [&] { return open_; });
        }
        --waiting_;
        return open;
    }

  private:
    SrwMutex mutex_;
    ConditionVariable opened_;
    unsigned waiting_ = 0;
    bool open_ = false;
};

}  // namespace ksr
