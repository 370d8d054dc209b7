#include "engine/ordered_pipeline.h"

#include <algorithm>

namespace ksr {

// Every wake-up of a sleeping thread costs a trip through the kernel (and, on a virtual machine,
// often through the host), which for a small file is a good share of its whole copy. So each
// role sleeps on its own condition and is woken only when it can make progress: a worker when
// there is work and it is idle, the committer when the oldest unit is done, and the submitter
// only once half of the window is free again rather than after every single commit.

OrderedPipeline::OrderedPipeline(unsigned workers, size_t maxInFlight)
    : maxInFlight_(std::max<size_t>(maxInFlight, 1)) {
    for (unsigned i = 0; i < workers; ++i) workers_.emplace_back([this] { Work(); });
    committer_ = std::thread([this] { CommitInOrder(); });
}

OrderedPipeline::~OrderedPipeline() {
    Drain();
    {
        std::lock_guard lock(mutex_);
        closing_ = true;
    }
    workQueued_.notify_all();
    headWorked_.notify_all();
    for (std::thread& worker : workers_) worker.join();
    committer_.join();
}

void OrderedPipeline::Submit(std::function<void()> work, std::function<void()> commit) {
    auto unit = std::make_shared<Unit>();
    unit->work = std::move(work);
    unit->commit = std::move(commit);
    unit->worked = !unit->work;
    bool wakeWorker = false, wakeCommitter = false;
    {
        std::unique_lock lock(mutex_);
        if (pending_.size() >= maxInFlight_) WaitUntilPendingAtMost(lock, maxInFlight_ / 2);
        pending_.push_back(unit);
        if (unit->work) {
            toWork_.push_back(unit);
            wakeWorker = idleWorkers_ > 0;
        } else {
            wakeCommitter = pending_.size() == 1 && committerWaiting_;
        }
    }
    if (wakeWorker) workQueued_.notify_one();
    if (wakeCommitter) headWorked_.notify_one();
}

void OrderedPipeline::Drain() {
    std::unique_lock lock(mutex_);
    WaitUntilPendingAtMost(lock, 0);
}

void OrderedPipeline::WaitUntilPendingAtMost(std::unique_lock<SrwMutex>& lock, size_t count) {
    submitterWaitsFor_ = count;
    submitterWaiting_ = true;
    roomOrEmpty_.wait(lock, [&] { return pending_.size() <= count; });
    submitterWaiting_ = false;
}

void OrderedPipeline::Work() {
    std::unique_lock lock(mutex_);
    for (;;) {
        if (toWork_.empty() && !closing_) {
            ++idleWorkers_;
            workQueued_.wait(lock, [&] { return closing_ || !toWork_.empty(); });
            --idleWorkers_;
        }
        if (toWork_.empty()) return;
        std::shared_ptr<Unit> unit = toWork_.front();
        toWork_.pop_front();
        lock.unlock();
        unit->work();
        lock.lock();
        unit->worked = true;
        if (committerWaiting_ && pending_.front() == unit) headWorked_.notify_one();
    }
}

void OrderedPipeline::CommitInOrder() {
    std::unique_lock lock(mutex_);
    for (;;) {
        committerWaiting_ = true;
        headWorked_.wait(
            lock, [&] { return closing_ || (!pending_.empty() && pending_.front()->worked); });
        committerWaiting_ = false;
        if (pending_.empty() || !pending_.front()->worked) return;  // closing
        std::shared_ptr<Unit> unit = pending_.front();
        lock.unlock();
        if (unit->commit) unit->commit();
        lock.lock();
        pending_.pop_front();
        if (submitterWaiting_ && pending_.size() <= submitterWaitsFor_) roomOrEmpty_.notify_one();
    }
}

}  // namespace ksr
