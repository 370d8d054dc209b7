#include "engine/statement_watch.h"

#include "util/thread_name.h"

namespace ksr {
namespace {

// How often the sessions are looked at.
constexpr DWORD kTickMs = 100;
// A statement that waits this long makes the watch ask the window whether to stop; quicker
// ones finish before a stop could matter, and the window is asked between files anyway.
constexpr ULONGLONG kAskAfterMs = 1000;
// Once stopped, a statement still waiting after this long is cancelled; one the database
// answers at once is left to finish, so that rows it writes are not given up for nothing.
constexpr ULONGLONG kCancelAfterMs = 300;

}  // namespace

StatementWatch::StatementWatch(std::vector<DbSession*> sessions,
                               std::function<bool()> stopRequested)
    : sessions_(std::move(sessions)), stopRequested_(std::move(stopRequested)) {
    thread_ = std::thread([this] {
        NameThisThread(L"ksr watch");
        Watch();
    });
}

StatementWatch::~StatementWatch() {
    {
        const std::lock_guard lock(mutex_);
        ending_ = true;
    }
    wake_.notify_all();
    thread_.join();
}

void StatementWatch::Stop() {
    stopped_ = true;
    wake_.notify_all();
}

void StatementWatch::Watch() {
    std::unique_lock lock(mutex_);
    while (!ending_) {
        wake_.wait_for(lock, kTickMs, [this] { return ending_; });
        if (ending_) break;
        lock.unlock();
        try {
            for (DbSession* session : sessions_) {
                const ULONGLONG waited = session->RunningMs();
                if (waited == 0) continue;
                if (!stopped_ && waited >= kAskAfterMs && stopRequested_()) stopped_ = true;
                if (stopped_ && waited >= kCancelAfterMs) session->CancelRunning();
            }
        } catch (...) {
            // A window that can't be asked leaves the run to its own stop checks.
        }
        lock.lock();
    }
}

}  // namespace ksr
