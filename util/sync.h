#pragma once

#include <windows.h>

#include <mutex>

namespace ksr {

// A mutex and a condition variable on the system's slim reader/writer lock. Waiting and waking
// stay inside the process, where the runtime's portable ones may cost a kernel object each.
class SrwMutex {
  public:
    SrwMutex() = default;
    SrwMutex(const SrwMutex&) = delete;
    SrwMutex& operator=(const SrwMutex&) = delete;

    void lock() { AcquireSRWLockExclusive(&lock_); }
    void unlock() { ReleaseSRWLockExclusive(&lock_); }
    SRWLOCK* native() { return &lock_; }

  private:
    SRWLOCK lock_ = SRWLOCK_INIT;
};

class ConditionVariable {
  public:
    ConditionVariable() = default;
    ConditionVariable(const ConditionVariable&) = delete;
    ConditionVariable& operator=(const ConditionVariable&) = delete;

    template <class Predicate>
    void wait(std::unique_lock<SrwMutex>& lock, Predicate ready) {
        while (!ready())
            SleepConditionVariableSRW(&condition_, lock.mutex()->native(), INFINITE, 0);
    }
    // Waits until `ready` holds or `milliseconds` pass without it; returns `ready()`.
    template <class Predicate>
    bool wait_for(std::unique_lock<SrwMutex>& lock, DWORD milliseconds, Predicate ready) {
        const ULONGLONG until = GetTickCount64() + milliseconds;
        while (!ready()) {
            const ULONGLONG now = GetTickCount64();
            if (now >= until) return false;
            SleepConditionVariableSRW(&condition_, lock.mutex()->native(),
                                      static_cast<DWORD>(until - now), 0);
        }
        return true;
    }
    void notify_one() { WakeConditionVariable(&condition_); }
    void notify_all() { WakeAllConditionVariable(&condition_); }

  private:
    CONDITION_VARIABLE condition_ = CONDITION_VARIABLE_INIT;
};

}  // namespace ksr
