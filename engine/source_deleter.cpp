#include "engine/source_deleter.h"

#include <algorithm>

#include "engine/file_transfer.h"
#include "util/held_path.h"

namespace ksr {

SourceDeleter::SourceDeleter(unsigned threads) : threads_(threads) {}

// The pool deletes every batch handed over before its threads end: their rows are in.
SourceDeleter::~SourceDeleter() = default;

void SourceDeleter::Delete(Item& item) {
    if (!item.listed.empty()) {
        const Result<HeldAt> at = WhereHeld(item.source.get(), item.listed, item.root);
        if (!at || *at != HeldAt::Listed) {
            item.status = Win32Error(at ? ERROR_REPARSE_POINT_ENCOUNTERED : at.error().win32);
            item.source.reset();
            item.stored.reset();
            return;
        }
    }
    item.status = DeleteHeldFile(item.source);
    item.source.reset();
    item.stored.reset();
}

void SourceDeleter::DeleteShare(Batch& batch) {
    // A batch is not taken back before all its items are finished, so the item stays where it
    // is; a share taken after the last item touches none.
    for (size_t i = batch.next++; i < batch.count; i = batch.next++) {
        Item& item = batch.items[i];
        try {
            Delete(item);
        } catch (...) {
            item.status = UnexpectedFailure();
            item.source.reset();
            item.stored.reset();
        }
        if (--batch.left == 0) batch.done.Open();
    }
}

void SourceDeleter::Start(std::vector<Item> items) {
    // The threads start with the first deletion: most runs delete nothing.
    if (!items.empty() && !pool_) {
        pool_.emplace(shares_, threads_, L"ksr delete", [](Share& share) { DeleteShare(*share); });
    }
    // Queued first: should that fail, nothing was deleted and the caller still knows.
    auto batch = std::make_shared<Batch>(std::move(items));
    batches_.push_back(batch);
    if (batch->count == 0) {
        batch->done.Open();
        return;
    }
    if (pool_->Threads() == 0) {
        DeleteShare(*batch);  // without a thread of its own, deleted in place
        return;
    }
    try {
        shares_.Push(batch);
    } catch (...) {
        batches_.pop_back();
        throw;
    }
    // Once one share is queued, the whole batch is deleted: further shares only hurry it.
    const size_t shares = std::min<size_t>(pool_->Threads(), batch->count);
    try {
        for (size_t i = 1; i < shares; ++i) shares_.Push(batch);
    } catch (...) {
    }
}

bool SourceDeleter::Done() {
    return batches_.empty() || batches_.front()->done.IsOpen();
}

std::vector<SourceDeleter::Item> SourceDeleter::Take() {
    if (batches_.empty()) return {};
    batches_.front()->done.Wait();
    std::vector<Item> items = std::move(batches_.front()->items);
    batches_.pop_front();
    return items;
}

}  // namespace ksr
