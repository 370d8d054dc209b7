#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>
#include <thread>

#include "util/blocking_queue.h"
#include "util/gate.h"
#include "util/worker_pool.h"

namespace ksr {

// Runs the units of a walk on several threads while keeping their effects in order: each unit's
// `work` (a file copy) runs on any worker, and its `commit` (rows, activity lines, deletion)
// runs on one committing thread, strictly in the order the units were submitted. Created,
// fed and destroyed on one thread, the walk's.
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
    [[nodiscard]] size_t Faults() const { return faults_ + workers_.Faults(); }

  private:
    struct Unit {
        std::function<void()> work;
        std::function<void()> commit;
        bool drain = false;  // no unit: Drain waits for the committer to come to it
        Gate done;           // its work is done, or (for a drain) all before it is flushed
    };
    using UnitQueue = BlockingQueue<std::shared_ptr<Unit>>;

    // On the committing thread.
    void CommitInOrder();
    bool NextUnit(std::shared_ptr<Unit>& unit, bool& holding);
    void AwaitWork(Unit& unit, bool& holding);
    bool RunFlush(bool finish);
    // On any thread.
    void RunGuarded(const std::function<void()>& step);

    const Flush flush_;
    std::atomic<size_t> faults_{0};
    UnitQueue toWork_;   // submitted units with work, until a worker takes them
    UnitQueue pending_;  // submitted, not yet committed, in order: its room is the window
    WorkerPool<std::shared_ptr<Unit>> workers_;
    std::jthread committer_;
};

}  // namespace ksr
