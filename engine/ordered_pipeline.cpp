#include "engine/ordered_pipeline.h"

#include <algorithm>
#include <utility>

namespace ksr {
namespace {

// Work held back by the flush waits at most this long for more to come.
constexpr DWORD kFlushAfterMs = 100;

}  // namespace

// The units wait in `pending_` in submission order, the committer taking each only once it is
// committed: the queue's room is the window, and its low-water mark lets the walk go on once half
// of the window is free again. Those with work wait in `toWork_` too, for any worker; the unit's
// gate tells the committer its work is done.
OrderedPipeline::OrderedPipeline(unsigned workers, size_t maxInFlight, Flush flush)
    : flush_(std::move(flush)),
      pending_(std::max<size_t>(maxInFlight, 1), std::max<size_t>(maxInFlight, 1) / 2),
      workers_(toWork_, workers, L"ksr copy",
               [this](std::shared_ptr<Unit>& unit) {
                   RunGuarded(unit->work);
                   unit->done.Open();
               }),
      // Should it not start, the workers are stopped as the exception leaves.
      committer_(StartGuardedThread(
          L"ksr rows", [this] { CommitInOrder(); }, faults_)) {}

OrderedPipeline::~OrderedPipeline() {
    // The committer commits and flushes what is queued before it ends; the threads are joined
    // as the members go.
    pending_.Close();
    toWork_.Close();
}

void OrderedPipeline::Submit(std::function<void()> work, std::function<void()> commit) {
    auto unit = std::make_shared<Unit>();
    unit->work = std::move(work);
    unit->commit = std::move(commit);
    if (!unit->work) unit->done.Open();
    pending_.Push(unit);
    if (!unit->work) return;
    bool queued = false;
    if (workers_.Threads() > 0) {
        try {
            queued = toWork_.Push(unit);
        } catch (...) {
        }
    }
    // Without a worker the walk's thread does the work: the committer waits for it.
    if (!queued) {
        RunGuarded(unit->work);
        unit->done.Open();
    }
}

void OrderedPipeline::Drain() {
    auto drain = std::make_shared<Unit>();
    drain->drain = true;
    pending_.Push(drain);
    drain->done.Wait();
}

void OrderedPipeline::RunGuarded(const std::function<void()>& step) {
    // An exception leaving a thread would end the process with nothing reported.
    try {
        step();
    } catch (...) {
        ++faults_;
    }
}

bool OrderedPipeline::RunFlush(bool finish) {
    if (!flush_) return false;
    try {
        return flush_(finish);
    } catch (...) {
        ++faults_;
        return false;
    }
}

void OrderedPipeline::CommitInOrder() {
    bool holding = false;  // the flush holds work back
    std::shared_ptr<Unit> unit;
    while (NextUnit(unit, holding)) {
        if (unit->drain) {
            if (holding) holding = RunFlush(true);
        } else {
            AwaitWork(*unit, holding);
            if (unit->commit) RunGuarded(unit->commit);
            holding = holding || static_cast<bool>(flush_);
        }
        std::shared_ptr<Unit> committed;
        (void)pending_.PopFor(committed, 0);  // the unit's room is the walk's again
        if (unit->drain) unit->done.Open();
    }
    if (holding) RunFlush(true);
}

// A run of commits ends when the next unit is not queued yet, or its work not done yet: the
// flush runs then, and while it holds work back, it is told to finish once nothing came to
// commit for a while.
bool OrderedPipeline::NextUnit(std::shared_ptr<Unit>& unit, bool& holding) {
    using Popped = UnitQueue::Popped;
    Popped next = pending_.PeekFor(unit, 0);
    if (next == Popped::Timeout && holding) holding = RunFlush(false);
    while (next == Popped::Timeout) {
        next = pending_.PeekFor(unit, holding ? kFlushAfterMs : INFINITE);
        if (next == Popped::Timeout) holding = RunFlush(true);
    }
    return next == Popped::Item;
}

void OrderedPipeline::AwaitWork(Unit& unit, bool& holding) {
    if (unit.done.IsOpen()) return;
    if (holding) holding = RunFlush(false);
    while (!unit.done.WaitFor(holding ? kFlushAfterMs : INFINITE)) holding = RunFlush(true);
}

}  // namespace ksr
