#include "engine/ordered_pipeline.h"

namespace ksr {

OrderedPipeline::OrderedPipeline(unsigned workers, size_t maxInFlight) : maxInFlight_(maxInFlight) {
    for (unsigned i = 0; i < workers; ++i) workers_.emplace_back([this] { Work(); });
    committer_ = std::thread([this] { CommitInOrder(); });
}

OrderedPipeline::~OrderedPipeline() {
    Drain();
    {
        std::lock_guard lock(mutex_);
        closing_ = true;
    }
    changed_.notify_all();
    for (std::thread& worker : workers_) worker.join();
    committer_.join();
}

void OrderedPipeline::Submit(std::function<void()> work, std::function<void()> commit) {
    auto unit = std::make_shared<Unit>();
    unit->work = std::move(work);
    unit->commit = std::move(commit);
    unit->worked = !unit->work;
    {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return pending_.size() < maxInFlight_; });
        pending_.push_back(unit);
        if (unit->work) toWork_.push_back(unit);
    }
    changed_.notify_all();
}

void OrderedPipeline::Drain() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return pending_.empty(); });
}

void OrderedPipeline::Work() {
    std::unique_lock lock(mutex_);
    for (;;) {
        changed_.wait(lock, [&] { return closing_ || !toWork_.empty(); });
        if (toWork_.empty()) return;
        std::shared_ptr<Unit> unit = toWork_.front();
        toWork_.pop_front();
        lock.unlock();
        unit->work();
        lock.lock();
        unit->worked = true;
        changed_.notify_all();
    }
}

void OrderedPipeline::CommitInOrder() {
    std::unique_lock lock(mutex_);
    for (;;) {
        changed_.wait(lock,
                      [&] { return closing_ || (!pending_.empty() && pending_.front()->worked); });
        if (pending_.empty() || !pending_.front()->worked) {
            if (closing_) return;
            continue;
        }
        std::shared_ptr<Unit> unit = pending_.front();
        lock.unlock();
        if (unit->commit) unit->commit();
        lock.lock();
        pending_.pop_front();
        changed_.notify_all();
    }
}

}  // namespace ksr
