#include "engine/store_verifier.h"

#include "engine/file_transfer.h"

namespace ksr {

StoreVerifier::StoreVerifier(unsigned threads) {
    for (unsigned i = 0; i < threads; ++i) {
        try {
            threads_.emplace_back([this] { Run(); });
        } catch (...) {
            break;  // fewer threads, or none: Post verifies in place
        }
    }
}

StoreVerifier::~StoreVerifier() {
    {
        std::lock_guard lock(mutex_);
        closing_ = true;
    }
    queued_.notify_all();
    for (std::thread& thread : threads_) thread.join();
}

std::shared_ptr<StoreVerifier::Ticket> StoreVerifier::Post(unique_hfile file, uint64_t bytes,
                                                           std::wstring md5) {
    auto ticket = std::make_shared<Ticket>();
    ticket->file = std::move(file);
    ticket->bytes = bytes;
    ticket->md5 = std::move(md5);
    if (threads_.empty()) {
        ticket->status = VerifyStoreCopy(ticket->file.get(), ticket->bytes, ticket->md5);
        ticket->done = true;
        return ticket;
    }
    {
        std::lock_guard lock(mutex_);
        queue_.push_back(ticket);
    }
    queued_.notify_one();
    return ticket;
}

void StoreVerifier::Wait(Ticket& ticket) {
    std::unique_lock lock(mutex_);
    done_.wait(lock, [&] { return ticket.done; });
}

void StoreVerifier::Run() {
    std::unique_lock lock(mutex_);
    for (;;) {
        // Copies handed over are verified even when closing: a handle is never left behind.
        queued_.wait(lock, [&] { return closing_ || !queue_.empty(); });
        if (queue_.empty()) return;
        std::shared_ptr<Ticket> ticket = std::move(queue_.front());
        queue_.pop_front();
        lock.unlock();
        Status status = Win32Error(ERROR_NOT_ENOUGH_MEMORY);
        try {
            status = VerifyStoreCopy(ticket->file.get(), ticket->bytes, ticket->md5);
        } catch (...) {
        }
        lock.lock();
        ticket->status = std::move(status);
        ticket->done = true;
        done_.notify_all();
    }
}

}  // namespace ksr
