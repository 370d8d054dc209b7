#include "engine/source_deleter.h"

#include "engine/file_transfer.h"
#include "util/held_path.h"

namespace ksr {

SourceDeleter::SourceDeleter(unsigned threads) : threadsWanted_(threads) {}

SourceDeleter::~SourceDeleter() {
    {
        std::lock_guard lock(mutex_);
        closing_ = true;
    }
    changed_.notify_all();
    for (std::thread& thread : threads_) thread.join();
}

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

void SourceDeleter::Start(std::vector<Item> items) {
    // The threads start with the first deletion: most runs delete nothing.
    if (!items.empty() && threads_.empty()) {
        for (; threadsWanted_ > 0; --threadsWanted_) {
            try {
                threads_.emplace_back([this] { Run(); });
            } catch (...) {
                threadsWanted_ = 0;  // fewer threads, or none: deleted in place below
                break;
            }
        }
    }
    {
        std::lock_guard lock(mutex_);
        // Queued first: should that fail, nothing was deleted and the caller still knows.
        batches_.push_back({std::move(items)});
        Batch& batch = batches_.back();
        if (threads_.empty()) {
            for (Item& item : batch.items) Delete(item);
            batch.next = batch.finished = batch.items.size();
        } else {
            untaken_ += batch.items.size();
        }
    }
    changed_.notify_all();
}

bool SourceDeleter::OldestDone() const {
    return batches_.empty() || batches_.front().finished == batches_.front().items.size();
}

bool SourceDeleter::Done() {
    std::lock_guard lock(mutex_);
    return OldestDone();
}

std::vector<SourceDeleter::Item> SourceDeleter::Take() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return OldestDone(); });
    if (batches_.empty()) return {};
    std::vector<Item> items = std::move(batches_.front().items);
    batches_.pop_front();
    return items;
}

void SourceDeleter::Run() {
    std::unique_lock lock(mutex_);
    for (;;) {
        // The oldest batch's items go first, so that it is the first done. A batch is not
        // taken back before all its items are finished, so the item stays where it is.
        Item* item = nullptr;
        Batch* batch = nullptr;
        for (Batch& queued : batches_) {
            if (queued.next < queued.items.size()) {
                batch = &queued;
                item = &queued.items[queued.next++];
                break;
            }
        }
        if (!item) {
            // Items handed over are deleted even when closing: their rows are in.
            if (closing_) return;
            changed_.wait(lock, [&] { return closing_ || untaken_ > 0; });
            continue;
        }
        --untaken_;
        lock.unlock();
        Delete(*item);
        lock.lock();
        if (++batch->finished == batch->items.size()) changed_.notify_all();
    }
}

}  // namespace ksr
