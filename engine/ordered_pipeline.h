#pragma once

#include <atomic>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <mutex>
#include <thread>
#include <vector>

#include "util/sync.h"

namespace ksr {

// Runs the units of a walk on several threads while keeping their effects in order: each unit's
// `work` (a file copy) runs on any worker, and its `commit` (rows, activity lines, deletion)
// runs on one committing thread, strictly in the order the units were submitted.
class OrderedPipeline {
  public:
    // `flush`, when given, runs on the committing thread after each run of commits, and is
    // told to finish whatever it holds back once nothing has come to commit for a while, or
    // when the walk drains the pipeline. It returns whether it still holds anything back.
    using Flush = std::function<bool(bool finish)>;

    OrderedPipeline(unsigned workers, size_t maxInFlight, Flush flush = {});
    OrderedPipeline(const OrderedPipeline&) = delete;
    OrderedPipeline& operator=(const OrderedPipeline&) = delete;
    ~OrderedPipeline();

    // When `maxInFlight` units are not yet committed, waits until half of them are.
    void Submit(std::function<void()> work, std::function<void()> commit);
    // Returns once every unit submitted so far has committed and been flushed.
    void Drain();
    // Units whose work or commit ended in an exception, which the pipeline's threads stop.
    [[nodiscard]] size_t Faults() const { return faults_; }

  private:
    struct Unit {
        std::function<void()> work;
        std::function<void()> commit;
        bool worked = false;
    };

    // Submit and Drain come from one thread, the walk's.
    void WaitUntilPendingAtMost(std::unique_lock<SrwMutex>& lock, size_t count);
    // A run of done units waits at the head, or the head is done and no other work is under way.
    [[nodiscard]] bool CommitterMayStart() const;
    void RunGuarded(const std::function<void()>& step);
    bool RunFlush(bool finish);
    void Work();
    void CommitInOrder();

    const size_t maxInFlight_;
    const Flush flush_;
    SrwMutex mutex_;
    ConditionVariable workQueued_;   // idle workers wait here
    ConditionVariable commitReady_;  // the committer waits here
    ConditionVariable roomOrEmpty_;  // Submit and Drain wait here
    unsigned idleWorkers_ = 0;
    unsigned working_ = 0;  // units taken by a worker and not yet done
    bool committerWaiting_ = false;
    bool holding_ = false;  // the flush holds work back
    bool draining_ = false;
    std::optional<size_t> submitterWaitsFor_;    // the pending count the waiting walk needs
    std::deque<std::shared_ptr<Unit>> pending_;  // submitted, not yet committed, in order
    std::deque<std::shared_ptr<Unit>> toWork_;   // waiting for a worker
    bool closing_ = false;
    std::atomic<size_t> faults_{0};
    std::vector<std::thread> workers_;
    std::thread committer_;
};

}  // namespace ksr
