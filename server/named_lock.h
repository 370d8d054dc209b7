#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "server/database.h"
#include "util/result.h"

namespace ksr {

// A lock the database server keeps by name for the session that took it: every import run on
// the same server takes the same name around a look-up and the insert that depends on it, so
// that two runs never both find nothing and both insert. The server lets it go when the session
// ends, however the run ends. Other writers of the server take no such lock.
//
// Held by the thread that owns `db`, for as long as the object lives.
class NamedLock {
  public:
    NamedLock() = default;
    NamedLock(const NamedLock&) = delete;
    NamedLock& operator=(const NamedLock&) = delete;
    ~NamedLock() { Release(); }

    // Waits for the lock `name` on `db` for at most `seconds`. Fails with the database's error,
    // or, when another session held it all that time, with an error IsLockBusy tells.
    [[nodiscard]] Status Take(DbSession& db, std::wstring_view name, unsigned seconds);
    // Best effort: a session lost meanwhile took the lock with it.
    void Release();
    [[nodiscard]] bool Held() const { return db_ != nullptr; }

  private:
    DbSession* db_ = nullptr;
    std::wstring name_;
};

// Whether NamedLock::Take failed because another session held the lock all the while.
[[nodiscard]] bool IsLockBusy(const Error& error);

// The statements NamedLock sends in one dialect (MySQL, else SQL Server): take, then release.
std::vector<std::wstring> NamedLockStatements(bool mysql);

}  // namespace ksr
