#include "engine/store_verifier.h"

#include <utility>

#include "engine/file_transfer.h"

namespace ksr {

StoreVerifier::StoreVerifier(unsigned threads)
    : threads_(queue_, threads, L"ksr verify", [](std::shared_ptr<Job>& job) { Verify(*job); }) {}

// Copies handed over are verified before the threads end: a handle is never left behind.
StoreVerifier::~StoreVerifier() = default;

void StoreVerifier::Verify(Job& job) {
    try {
        job.status = SettleStoreCopy(job.file.get(), job.bytes, job.md5, job.readBack, job.partial,
                                     job.target);
        if (job.status.ok()) job.partial.clear();
    } catch (...) {
        job.status = UnexpectedFailure();
    }
    job.done = true;
    job.verified.Open();
}

std::shared_ptr<StoreVerifier::Ticket> StoreVerifier::Post(unique_hfile file, uint64_t bytes,
                                                           std::wstring md5, bool readBack,
                                                           std::wstring partial,
                                                           std::wstring target) {
    auto job = std::make_shared<Job>();
    job->file = std::move(file);
    job->bytes = bytes;
    job->md5 = std::move(md5);
    job->readBack = readBack;
    job->partial = std::move(partial);
    job->target = std::move(target);
    // Without threads of its own (none could be started), verified here.
    if (threads_.Threads() == 0) {
        Verify(*job);
    } else {
        queue_.Push(job);
    }
    return job;
}

void StoreVerifier::Wait(Ticket& ticket) {
    static_cast<Job&>(ticket).verified.Wait();
}

}  // namespace ksr
