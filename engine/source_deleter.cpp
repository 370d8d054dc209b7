#include "engine/source_deleter.h"

#include "engine/file_transfer.h"

namespace ksr {

SourceDeleter::SourceDeleter() {
    try {
        thread_ = std::thread([this] { Run(); });
    } catch (...) {
        // No thread: Start deletes in place.
    }
}

SourceDeleter::~SourceDeleter() {
    if (!thread_.joinable()) return;
    {
        std::lock_guard lock(mutex_);
        closing_ = true;
    }
    changed_.notify_all();
    thread_.join();
}

void SourceDeleter::DeleteAll(std::vector<Item>& items) {
    for (Item& item : items) {
        item.status = DeleteHeldFile(item.source);
        item.source.reset();
        item.stored.reset();
    }
}

void SourceDeleter::Start(std::vector<Item> items) {
    if (!thread_.joinable()) {
        DeleteAll(items);
        items_ = std::move(items);
        return;
    }
    {
        std::lock_guard lock(mutex_);
        items_ = std::move(items);
        queued_ = true;
    }
    changed_.notify_all();
}

bool SourceDeleter::Done() {
    std::lock_guard lock(mutex_);
    return !queued_;
}

std::vector<SourceDeleter::Item> SourceDeleter::Take() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return !queued_; });
    return std::move(items_);
}

void SourceDeleter::Run() {
    std::unique_lock lock(mutex_);
    for (;;) {
        // A batch handed over is deleted even when closing: its rows are in.
        changed_.wait(lock, [&] { return queued_ || closing_; });
        if (!queued_) return;
        std::vector<Item> items = std::move(items_);
        lock.unlock();
        DeleteAll(items);
        lock.lock();
        items_ = std::move(items);
        queued_ = false;
        changed_.notify_all();
    }
}

}  // namespace ksr
