#include "engine/ordered_pipeline.h"

#include <algorithm>

namespace ksr {

// Waking a sleeping thread is a trip through the kernel, not cheap next to the copy of a small
// file, so each role sleeps on its own condition and is woken only when it can make progress: a
// worker when there is work and it is idle, the committer once a run of units at the head is
// done, and the submitter once half of the window is free again.
constexpr size_t kCommitRun = 8;
// Work held back by the flush waits at most this long for more to come.
constexpr DWORD kFlushAfterMs = 100;

OrderedPipeline::OrderedPipeline(unsigned workers, size_t maxInFlight, Flush flush)
    : maxInFlight_(std::max<size_t>(maxInFlight, 1)), flush_(std::move(flush)) {
    try {
        for (unsigned i = 0; i < workers; ++i) workers_.emplace_back([this] { Work(); });
        committer_ = std::thread([this] { CommitInOrder(); });
    } catch (...) {
        // Threads that did start must be joined before the exception goes on.
        {
            std::lock_guard lock(mutex_);
            closing_ = true;
        }
        workQueued_.notify_all();
        for (std::thread& worker : workers_) worker.join();
        throw;
    }
}

OrderedPipeline::~OrderedPipeline() {
    Drain();
    {
        std::lock_guard lock(mutex_);
        closing_ = true;
    }
    workQueued_.notify_all();
    commitReady_.notify_all();
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
        }
        wakeCommitter = committerWaiting_ && CommitterMayStart();
    }
    if (wakeWorker) workQueued_.notify_one();
    if (wakeCommitter) commitReady_.notify_one();
}

void OrderedPipeline::Drain() {
    std::unique_lock lock(mutex_);
    draining_ = true;
    if (committerWaiting_ && CommitterMayStart()) commitReady_.notify_one();
    WaitUntilPendingAtMost(lock, 0);
    draining_ = false;
}

void OrderedPipeline::WaitUntilPendingAtMost(std::unique_lock<SrwMutex>& lock, size_t count) {
    submitterWaitsFor_ = count;
    // Drained means flushed too.
    roomOrEmpty_.wait(lock, [&] { return pending_.size() <= count && (count > 0 || !holding_); });
    submitterWaitsFor_.reset();
}

void OrderedPipeline::RunGuarded(const std::function<void()>& step) {
    // An exception leaving a thread would end the process with nothing reported.
    try {
        step();
    } catch (...) {
        ++faults_;
    }
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
        ++working_;
        lock.unlock();
        RunGuarded(unit->work);
        lock.lock();
        --working_;
        unit->worked = true;
        if (committerWaiting_ && CommitterMayStart()) commitReady_.notify_one();
    }
}

bool OrderedPipeline::CommitterMayStart() const {
    if (closing_) return true;
    if (holding_ && draining_ && pending_.empty()) return true;
    if (pending_.empty() || !pending_.front()->worked) return false;
    // Nothing in the works can lengthen the run: what is done is all there will be for now.
    if (toWork_.empty() && working_ == 0) return true;
    size_t run = 0;
    for (const auto& unit : pending_) {
        if (!unit->worked || ++run >= kCommitRun) break;
    }
    return run >= kCommitRun;
}

void OrderedPipeline::CommitInOrder() {
    std::unique_lock lock(mutex_);
    for (;;) {
        committerWaiting_ = true;
        bool ready = true;
        if (holding_) {
            ready = commitReady_.wait_for(lock, kFlushAfterMs, [&] { return CommitterMayStart(); });
        } else {
            commitReady_.wait(lock, [&] { return CommitterMayStart(); });
        }
        committerWaiting_ = false;
        if (pending_.empty() || !pending_.front()->worked) {
            if (holding_ && (!ready || draining_ || closing_)) {
                lock.unlock();
                const bool holding = RunFlush(true);
                lock.lock();
                holding_ = holding;
                if (submitterWaitsFor_ && pending_.size() <= *submitterWaitsFor_ && !holding_)
                    roomOrEmpty_.notify_one();
                continue;
            }
            if (closing_) return;
            continue;
        }
        // Once started, everything done at the head is committed before sleeping again.
        while (!pending_.empty() && pending_.front()->worked) {
            std::shared_ptr<Unit> unit = pending_.front();
            lock.unlock();
            if (unit->commit) RunGuarded(unit->commit);
            lock.lock();
            pending_.pop_front();
            holding_ = holding_ || static_cast<bool>(flush_);
            if (submitterWaitsFor_ && *submitterWaitsFor_ > 0 &&
                pending_.size() <= *submitterWaitsFor_)
                roomOrEmpty_.notify_one();
        }
        if (flush_) {
            const bool finish = draining_ && pending_.empty();
            lock.unlock();
            const bool holding = RunFlush(finish);
            lock.lock();
            holding_ = holding;
        }
        if (submitterWaitsFor_ && pending_.size() <= *submitterWaitsFor_ &&
            (*submitterWaitsFor_ > 0 || !holding_))
            roomOrEmpty_.notify_one();
    }
}

bool OrderedPipeline::RunFlush(bool finish) {
    try {
        return flush_(finish);
    } catch (...) {
        ++faults_;
        return false;
    }
}

}  // namespace ksr
