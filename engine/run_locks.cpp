#include "engine/run_locks.h"

namespace ksr {

std::wstring RunLockName(std::wstring_view lock, std::wstring_view database) {
    std::wstring name = std::wstring(lock) + std::wstring(database);
    if (name.size() > 64) name.resize(64);
    return name;
}

Status TakeRunLock(NamedLock& lock, DbSession& db, std::wstring_view name,
                   const std::function<bool()>& goingOn) {
    constexpr int kTries = 16;
    // Each try ends before the statement's own timeout would take the connection for lost.
    const unsigned timeout = db.StatementTimeout();
    const unsigned seconds = timeout > 2 ? timeout / 2 : 1;
    Status taken;
    for (int i = 0; i < kTries; ++i) {
        taken = lock.Take(db, name, seconds);
        if (taken.ok() || !IsLockBusy(taken.error()) || !goingOn()) break;
    }
    return taken;
}

}  // namespace ksr
